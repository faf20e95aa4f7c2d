// The port file through which the development tools tell a script where
// they listen.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

namespace tools {

// Written under a temporary name and renamed, so a watcher never reads half a number.
inline bool writePortFile(const std::string &path, int port)
{
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << '\n';
        if (!out.flush())
            return false;
    }
    std::error_code error;
    std::filesystem::rename(temporary, path, error);
    return !error;
}

} // namespace tools
