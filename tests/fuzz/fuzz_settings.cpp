// Fuzzes the loading of settings.dat: the input is written as the file
// beside the fuzzer, loaded, saved and loaded again. The second load must
// give back the store that the first one made.

#include "handlers/SettingsHandler.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QSet>
#include <QVariant>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {
SettingsHandler *settings = nullptr;

[[noreturn]] void broken(const char *invariant)
{
    fprintf(stderr, "Broken settings invariant: %s\n", invariant);
    abort();
}

void writeSettingsFile(const QByteArray &bytes)
{
    QFile file(SettingsHandler::settingsFilePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        broken("settings.dat could not be written");
}

QByteArray readSettingsFile()
{
    QFile file(SettingsHandler::settingsFilePath());
    if (!file.open(QIODevice::ReadOnly))
        broken("settings.dat could not be read back");
    return file.readAll();
}

QSet<QString> keysOf(const QByteArray &bytes)
{
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    const QStringList keys
        = QJsonDocument::fromBinaryData(bytes, QJsonDocument::Validate).object().keys();
    QT_WARNING_POP
    return QSet<QString>(keys.cbegin(), keys.cend());
}

// A store's view over the given keys: absent keys as empty optionals.
QHash<QString, std::optional<QVariant>> storeOver(const QSet<QString> &keys)
{
    QHash<QString, std::optional<QVariant>> store;
    for (const QString &key : keys)
        store.insert(key,
                     settings->contains(key) ? std::optional<QVariant>(settings->value(key))
                                             : std::nullopt);
    return store;
}

// Whether loaded, a value read before a save, came back as reloaded after it:
// QVariant's own equality, except for NaN and the infinities, which JSON
// cannot hold and Qt saves as null.
bool sameValue(const QVariant &loaded, const QVariant &reloaded)
{
    const QVariant &a = loaded;
    const QVariant &b = reloaded;
    if (a.userType() == QMetaType::Double && !std::isfinite(a.toDouble()))
        return b.userType() == QMetaType::Nullptr;
    if (a.userType() == QMetaType::QVariantMap && b.userType() == QMetaType::QVariantMap) {
        const QVariantMap left = a.toMap();
        const QVariantMap right = b.toMap();
        if (left.keys() != right.keys())
            return false;
        for (auto it = left.cbegin(); it != left.cend(); ++it) {
            if (!sameValue(it.value(), right.value(it.key())))
                return false;
        }
        return true;
    }
    if (a.userType() == QMetaType::QVariantList && b.userType() == QMetaType::QVariantList) {
        const QVariantList left = a.toList();
        const QVariantList right = b.toList();
        if (left.size() != right.size())
            return false;
        for (int i = 0; i < left.size(); ++i) {
            if (!sameValue(left.at(i), right.at(i)))
                return false;
        }
        return true;
    }
    return a == b;
}

bool sameStore(const QHash<QString, std::optional<QVariant>> &a,
               const QHash<QString, std::optional<QVariant>> &b)
{
    for (auto it = a.cbegin(); it != a.cend(); ++it) {
        const std::optional<QVariant> &other = b.value(it.key());
        if (it.value().has_value() != other.has_value())
            return false;
        if (it.value() && !sameValue(*it.value(), *other))
            return false;
    }
    return true;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    QLoggingCategory::setFilterRules(QStringLiteral("tarn.*=false"));
    settings = new SettingsHandler;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    writeSettingsFile(input);
    if (!settings->loadSettings())
        broken("a settings.dat that exists did not load");
    if (!settings->saveSettings())
        broken("the loaded store could not be saved");
    const QByteArray saved = readSettingsFile();
    // Qt writes an empty store as an empty file.
    if (!saved.isEmpty() && !saved.startsWith(QByteArrayLiteral("qbjs\x01\x00\x00\x00")))
        broken("the saved settings.dat is not binary JSON of version 1");

    // The saved file holds every key of the loaded store; the raw input is not
    // read here, since Qt's reader cannot be trusted with it.
    const QSet<QString> keys = keysOf(saved);
    const auto loaded = storeOver(keys);
    if (!settings->loadSettings())
        broken("the saved settings.dat did not load");
    if (!sameStore(loaded, storeOver(keys)))
        broken("a save followed by a load did not give back the same store");
    return 0;
}
