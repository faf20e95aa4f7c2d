// Fuzzes natifyUrl with any text: it must not crash, and anything that is
// not a file URL must come back exactly as it went in.

#include "handlers/SettingsHandler.h"

#include <QCoreApplication>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {
SettingsHandler *settings = nullptr;
} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    new QCoreApplication(*argc, *argv);
    settings = new SettingsHandler;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    // "file:" in any letter case after leading white space and control
    // characters, which a tolerant parse may drop, can name a local file.
    int start = 0;
    while (start < text.size() && text.at(start).unicode() <= 0x20)
        ++start;
    if (!text.midRef(start).startsWith(QLatin1String("file:"), Qt::CaseInsensitive)
        && settings->natifyUrl(text) != text) {
        fprintf(stderr, "Broken invariant: natifyUrl changed text that is not a file URL.\n");
        abort();
    }
    return 0;
}
