// Fuzzes the SettingsHandler's store: the input is written as settings.dat
// beside the fuzzer, loaded, saved and loaded again. The second load must
// give back the store that the first one made.

#include "FuzzTarget.h"

#include "handlers/SettingsHandler.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

namespace {
SettingsHandler *settings = nullptr;

// The store over the given keys as JSON, written and read again: NaN and the
// infinities, which JSON cannot hold and Qt saves as null, read as null.
QJsonDocument storeOver(const QStringList &keys)
{
    QJsonObject store;
    for (const QString &key : keys) {
        if (settings->contains(key))
            store.insert(key, QJsonValue::fromVariant(settings->value(key)));
    }
    return QJsonDocument::fromJson(QJsonDocument(store).toJson());
}

void loadSettings(const uint8_t *data, size_t size)
{
    QFile file(SettingsHandler::settingsFilePath());
    if (!file.open(QIODevice::WriteOnly)
        || file.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        broken("settings.dat could not be written");
    file.close();
    settings->loadSettings();
    if (!settings->saveSettings() || !file.open(QIODevice::ReadOnly))
        broken("the loaded store could not be saved");
    const QByteArray saved = file.readAll();
    file.close();
    // Qt writes an empty store as an empty file.
    if (!saved.isEmpty() && !saved.startsWith(QByteArrayLiteral("qbjs\x01\x00\x00\x00")))
        broken("the saved settings.dat is not binary JSON of version 1");

    // The saved file holds every key of the loaded store; the raw input is not
    // read here, since Qt's reader cannot be trusted with it.
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QStringList keys
        = QJsonDocument::fromBinaryData(saved, QJsonDocument::Validate).object().keys();
    QT_WARNING_POP
    const QJsonDocument loaded = storeOver(keys);
    if (!settings->loadSettings())
        broken("the saved settings.dat did not load");
    if (storeOver(keys) != loaded)
        broken("a save followed by a load did not give back the same store");
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    startFuzzTarget(argc, argv);
    settings = new SettingsHandler;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    loadSettings(data, size);
    return 0;
}
