#pragma once

#include <QString>

// Checks the relative paths that the service lists before they are joined to
// a local folder. Tarn runs with administrator rights, so a listed path must
// never name anything outside the folder it is joined to.
class ListedPath
{
public:
    // A "client" path such as "sub/file.dll": every component non-empty, not
    // "." or "..", and free of backslashes, colons and control characters.
    // That also rules out a leading slash and a drive letter.
    static bool isSafeClientPath(const QString &path);

    // A sector path as the tree walk builds it, "//" followed by components
    // under the same rules: "//Data/file.txt".
    static bool isSafeSectorPath(const QString &path);
};
