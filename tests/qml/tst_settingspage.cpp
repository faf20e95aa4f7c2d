#include "TestService.h"
#include "UiDriver.h"

#include "handlers/SettingsHandler.h"
#include "handlers/UpdateHandler.h"
#include "net/RequestSender.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickWindow>
#include <QScopeGuard>
#include <QSet>
#include <QTemporaryDir>
#include <QUrl>

namespace {
constexpr int elideNone = 3; // Text.ElideNone
constexpr int wrapAnywhere = 3; // Text.WrapAnywhere

// The folder model behind the file list of an open dialog: the model of the
// view that shows it. The dialog lives in a window of its own, so every
// window is searched.
QObject *folderModel()
{
    const QWindowList windows = QGuiApplication::allWindows();
    for (QWindow *window : windows) {
        auto *quickWindow = qobject_cast<QQuickWindow *>(window);
        if (!quickWindow || !quickWindow->isVisible())
            continue;
        QList<QObject *> pending{quickWindow->contentItem()};
        QSet<QObject *> seen;
        while (!pending.isEmpty()) {
            QObject *object = pending.takeFirst();
            if (seen.contains(object))
                continue;
            seen.insert(object);
            auto *model = object->property("model").value<QObject *>();
            if (model && model->inherits("QQuickFolderListModel"))
                return model;
            pending.append(object->children());
            if (auto *item = qobject_cast<QQuickItem *>(object)) {
                for (QQuickItem *child : item->childItems())
                    pending.append(child);
            }
        }
    }
    return nullptr;
}

// The names the open dialog lists once it has read this folder, which must
// hold a subfolder.
QStringList listedNames(const QUrl &folder)
{
    // The dialog makes its model in the background when it first opens.
    QObject *model = nullptr;
    waitUntil([&] { return (model = folderModel()) != nullptr; });
    // Every folder listed here holds a subfolder, so a list without entries
    // of this folder is one still being read.
    const auto firstEntry = [&] {
        QVariant path;
        QMetaObject::invokeMethod(model, "get", Q_RETURN_ARG(QVariant, path), Q_ARG(int, 0),
                                  Q_ARG(QString, QStringLiteral("filePath")));
        return path.toString();
    };
    if (!model || !waitUntil([&] {
            return model->property("count").toInt() > 0
                && firstEntry().startsWith(folder.toLocalFile() + QLatin1Char('/'));
        }))
        return {};
    QStringList names;
    for (int row = 0; row < model->property("count").toInt(); ++row) {
        QVariant name;
        QMetaObject::invokeMethod(model, "get", Q_RETURN_ARG(QVariant, name), Q_ARG(int, row),
                                  Q_ARG(QString, QStringLiteral("fileName")));
        names.append(name.toString());
    }
    names.sort();
    return names;
}
} // namespace

// The two path rows and their file dialogs, with real files in temporary
// folders and the Update page using what was chosen.
class TestSettingsPage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void bothRowsReadEmptyWhenNothingIsStored();
    void rowsAreLaidOutInTwoBlocks();
    void acceptedFileIsStoredAsUrlAndShownAsNativePath();
    void cancelledDialogChangesNothing();
    void euroscopeDialogListsOnlyTheExecutable();
    void longPathIsCutToOneLineWithoutEllipsis();
    void sectorRowShowsItsToolTip();
    void chosenSectorFolderIsUsedByTheNextCheck();

private:
    QTemporaryDir content;
    QTemporaryDir files;
    UiDriver ui;
    QQuickItem *esPathText = nullptr;
    QQuickItem *sectorPathText = nullptr;
    QObject *esPathDialog = nullptr;
    QObject *sectorPathDialog = nullptr;
};

void TestSettingsPage::initTestCase()
{
    QVERIFY2(content.isValid() && files.isValid(), "Temporary folders could be made.");
    QVERIFY(writeFile(content.filePath(QStringLiteral("sector/Brenmar.sct")), "[INFO]\nBrenmar\n"));

    // A EuroScope folder with the executable beside things the dialog must not list.
    for (const QString &name : {QStringLiteral("EuroScope.exe"), QStringLiteral("Uninstall.exe"),
                                QStringLiteral("EuroScope.txt")})
        QVERIFY(writeFile(files.filePath(QStringLiteral("EuroScope/") + name), "x"));
    QVERIFY(QDir(files.path()).mkpath(QStringLiteral("EuroScope/Plugins")));
    QVERIFY(QDir(files.path()).mkpath(QStringLiteral("Sector")));

    if (!ui.startLoggedIn(content))
        return;
    QVERIFY2(ui.showPage(QStringLiteral("settingsPlaceholder")), "The settings page slid in.");
    esPathText = ui.item(QStringLiteral("esPathText"));
    sectorPathText = ui.item(QStringLiteral("sectorPathText"));
    esPathDialog = ui.object(QStringLiteral("esPathDialog"));
    sectorPathDialog = ui.object(QStringLiteral("sectorPathDialog"));
    QVERIFY(esPathText && sectorPathText && esPathDialog && sectorPathDialog);
}

void TestSettingsPage::cleanupTestCase()
{
    QFile::remove(SettingsHandler::settingsFilePath());
}

void TestSettingsPage::bothRowsReadEmptyWhenNothingIsStored()
{
    QCOMPARE(esPathText->property("text").toString(), QStringLiteral("Empty"));
    QCOMPARE(sectorPathText->property("text").toString(), QStringLiteral("Empty"));
}

void TestSettingsPage::rowsAreLaidOutInTwoBlocks()
{
    QQuickItem *esBlock = ui.item(QStringLiteral("esBlock"));
    QQuickItem *sectorBlock = ui.item(QStringLiteral("sectorBlock"));
    QVERIFY(esBlock && sectorBlock);
    QCOMPARE(esBlock->position(), QPointF(80, 64));
    QCOMPARE(sectorBlock->position(), QPointF(80, 139));
    for (const QString &prefix : {QStringLiteral("es"), QStringLiteral("sector")}) {
        QQuickItem *block = prefix == QLatin1String("es") ? esBlock : sectorBlock;
        QQuickItem *row = ui.item(prefix + QStringLiteral("RowContainer"));
        QQuickItem *text = ui.item(prefix + QStringLiteral("PathText"));
        QQuickItem *open = ui.item(prefix + QStringLiteral("OpenButton"));
        QVERIFY(row && text && open);
        QCOMPARE(block->size(), QSizeF(540, 55));
        QCOMPARE(row->width(), 540.0);
        QCOMPARE(row->y() + row->height(), 55.0);
        QCOMPARE(text->x(), 10.0);
        QCOMPARE(text->width(), 540.0 - 10 - 100);
        QVERIFY2(qAbs(text->y() + text->height() / 2 - row->height() / 2) <= 0.5,
                 "The path is centred vertically.");
        QCOMPARE(open->x(), 450.0);
        QCOMPARE(open->size(), QSizeF(90, row->height()));
        ui.moveTo(open);
        QCOMPARE(ui.cursorShape(), Qt::PointingHandCursor);
    }
    ui.moveAway();
}

void TestSettingsPage::euroscopeDialogListsOnlyTheExecutable()
{
    ui.click(ui.item(QStringLiteral("esOpenButton")));
    QVERIFY2(esPathDialog->property("visible").toBool(), "\"Open\" showed the EuroScope dialog.");
    // Into the EuroScope folder, as the user would go there.
    const QUrl folder = QUrl::fromLocalFile(files.filePath(QStringLiteral("EuroScope")));
    esPathDialog->setProperty("folder", folder);
    QCOMPARE(esPathDialog->property("title").toString(),
             QStringLiteral("Please specify the Euroscope.exe"));
    const QStringList listed = listedNames(folder);
    QMetaObject::invokeMethod(esPathDialog, "reject");
    QCOMPARE(esPathDialog->property("nameFilters").toStringList(),
             QStringList{QStringLiteral("Euroscope executable (EuroScope.exe)")});
    // Qt's own dialog, used where the platform has none, understands only
    // wildcard patterns and so lists no file here at all; the native dialogs
    // list EuroScope.exe. Either way the other files stay out and folders stay in.
    QVERIFY2(listed.contains(QStringLiteral("Plugins")), qPrintable(listed.join(QLatin1Char(','))));
    QVERIFY2(!listed.contains(QStringLiteral("Uninstall.exe"))
                 && !listed.contains(QStringLiteral("EuroScope.txt")),
             qPrintable(listed.join(QLatin1Char(','))));
}

void TestSettingsPage::acceptedFileIsStoredAsUrlAndShownAsNativePath()
{
    const QString chosen = files.filePath(QStringLiteral("EuroScope/EuroScope.exe"));
    ui.click(ui.item(QStringLiteral("esOpenButton")));
    QVERIFY(esPathDialog->property("visible").toBool());
    bool added = false;
    QMetaObject::invokeMethod(esPathDialog, "clearSelection");
    QMetaObject::invokeMethod(esPathDialog, "addSelection", Q_RETURN_ARG(bool, added),
                              Q_ARG(QUrl, QUrl::fromLocalFile(chosen)));
    QVERIFY2(added, "The dialog took the existing executable.");
    QMetaObject::invokeMethod(esPathDialog, "accept");

    QCOMPARE(settings()->euroscopePath(), fileUrl(chosen));
    QCOMPARE(esPathText->property("text").toString(), QDir::toNativeSeparators(chosen));
    // The next opening starts from the stored value.
    QCOMPARE(esPathDialog->property("folder").toUrl(), QUrl(fileUrl(chosen)));

    ui.click(ui.item(QStringLiteral("sectorOpenButton")));
    QVERIFY(sectorPathDialog->property("visible").toBool());
    QCOMPARE(sectorPathDialog->property("title").toString(),
             QStringLiteral("Please specify a folder to be used for a sector"));
    QVERIFY(sectorPathDialog->property("selectFolder").toBool());
    QMetaObject::invokeMethod(sectorPathDialog, "clearSelection");
    QMetaObject::invokeMethod(
        sectorPathDialog, "addSelection", Q_RETURN_ARG(bool, added),
        Q_ARG(QUrl, QUrl::fromLocalFile(files.filePath(QStringLiteral("Sector")))));
    QVERIFY2(added, "The dialog took the existing folder.");
    QMetaObject::invokeMethod(sectorPathDialog, "accept");
    QCOMPARE(settings()->sectorPath(), fileUrl(files.filePath(QStringLiteral("Sector"))));
    QCOMPARE(sectorPathText->property("text").toString(),
             QDir::toNativeSeparators(files.filePath(QStringLiteral("Sector"))));
}

void TestSettingsPage::cancelledDialogChangesNothing()
{
    const QString stored = settings()->euroscopePath();
    const QString shown = esPathText->property("text").toString();
    ui.click(ui.item(QStringLiteral("esOpenButton")));
    QVERIFY(esPathDialog->property("visible").toBool());
    QMetaObject::invokeMethod(esPathDialog, "reject");
    QVERIFY(!esPathDialog->property("visible").toBool());
    QCOMPARE(settings()->euroscopePath(), stored);
    QCOMPARE(esPathText->property("text").toString(), shown);
}

void TestSettingsPage::longPathIsCutToOneLineWithoutEllipsis()
{
    const auto restore
        = qScopeGuard([before = settings()->sectorPath()] { settings()->setSectorPath(before); });
    // A short word, then one far longer than the row: breaking at words only
    // would end the first line after the short word.
    const QString longPath = QStringLiteral("/srv/Brenmar ") + QString(300, QLatin1Char('y'));
    settings()->setSectorPath(fileUrl(longPath));

    QCOMPARE(sectorPathText->property("text").toString(), QDir::toNativeSeparators(longPath));
    QCOMPARE(sectorPathText->property("lineCount").toInt(), 1);
    QVERIFY2(sectorPathText->property("truncated").toBool(), "The rest of the path is cut off.");
    QCOMPARE(sectorPathText->property("elide").toInt(), elideNone);
    QCOMPARE(sectorPathText->property("wrapMode").toInt(), wrapAnywhere);
    QCOMPARE(sectorPathText->property("maximumLineCount").toInt(), 1);
    const qreal available = sectorPathText->width();
    const qreal used = sectorPathText->property("contentWidth").toReal();
    QVERIFY2(
        used > available - 16 && used <= available,
        qPrintable(
            QStringLiteral("The one line fills the row (%1 of %2 px).").arg(used).arg(available)));
}

void TestSettingsPage::sectorRowShowsItsToolTip()
{
    QQuickItem *esRow = ui.item(QStringLiteral("esRowContainer"));
    QQuickItem *sectorRow = ui.item(QStringLiteral("sectorRowContainer"));
    QCOMPARE(QQmlProperty::read(esRow, QStringLiteral("ToolTip.text"), qmlContext(esRow)).toString(),
             QString());

    ui.moveTo(sectorRow, QPointF(100, sectorRow->height() / 2));
    QVERIFY2(waitUntil([this] { return ui.visibleText(QStringLiteral("Sector folder")); }),
             "Resting on the sector row showed its tool tip.");
    ui.moveTo(ui.item(QStringLiteral("sectorOpenButton")));
    QVERIFY2(ui.visibleText(QStringLiteral("Sector folder")),
             "The row's \"Open\" button is part of the row.");
    ui.moveAway();
    QVERIFY2(waitUntil([this] { return !ui.visibleText(QStringLiteral("Sector folder")); }),
             "Leaving the row hid the tool tip.");
}

void TestSettingsPage::chosenSectorFolderIsUsedByTheNextCheck()
{
    QVERIFY(ui.showPage(QStringLiteral("updatePlaceholder")));
    QQuickItem *status = ui.item(QStringLiteral("textDebug"));
    ui.click(ui.item(QStringLiteral("checkButton")));
    QVERIFY2(waitUntil([status] {
                 return status->property("text").toString()
                     == QLatin1String("Ready to Update. Files to update: 1")
                     && QmlSingletonType<UpdateHandler>::instance->findChildren<RequestSender *>()
                            .isEmpty();
             }),
             qPrintable(QStringLiteral("The check used the chosen folder; it reads: ")
                        + status->property("text").toString()));
    const auto lists = UiDriver::requestsTo(QStringLiteral("getfilelist.php"));
    QCOMPARE(lists.size(), 1);
}

QTEST_MAIN(TestSettingsPage)
#include "tst_settingspage.moc"
