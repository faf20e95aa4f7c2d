#pragma once

#include <QString>

// Checks the relative paths that the service lists before they are joined to
// a local folder. Tarn runs with administrator rights, so a listed path must
// never name anything outside the folder it is joined to, nor a device.
class ListedPath
{
public:
    // A "client" path such as "sub/file.dll": every component non-empty, not
    // "." or "..", free of backslashes, colons, control characters and the
    // other characters Windows refuses in names (< > " | ? *), not ending in
    // a dot or a space (Windows drops those, so "..." or ".. " would turn
    // into something else there), and not a device name such as "CON",
    // "com1.txt", "LPT²" or "nul .txt". That also rules out a leading slash
    // and a drive letter.
    static bool isSafeClientPath(const QString &path);

    // A sector path as the tree walk builds it, "//" followed by components
    // under the same rules: "//Data/file.txt".
    static bool isSafeSectorPath(const QString &path);
};
