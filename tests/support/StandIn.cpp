// A stand-in for the programs Tarn starts (EuroScope, the voice client,
// Discord's updater), copied to where a test wants one; plain C++ and, on
// Windows, linked statically, so that it runs wherever it is put. It records,
// one per line, in "<its own path>.run" (renamed into place, so a record is
// whole once it exists): its working directory, its argument count, its
// arguments, the self-restart marker it inherited (empty when none) and
// EuroScope's last profile as the registry holds it when it starts.

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {
const std::string lastProfileName = "LastProfile";

fs::path ownPath()
{
#ifdef _WIN32
    wchar_t path[32768];
    return fs::path(std::wstring(path, GetModuleFileNameW(nullptr, path, 32768)));
#else
    return fs::read_symlink("/proc/self/exe");
#endif
}

std::string lastProfile()
{
#ifdef _WIN32
    // Read as EuroScope does, with the system's own call.
    wchar_t value[4096];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, L"Software\\Dorvan Keleth\\EuroScope\\Settings",
                     L"LastProfile", RRF_RT_REG_SZ, nullptr, value, &size)
        != ERROR_SUCCESS)
        return {};
    return fs::path(value).u8string();
#else
    // Elsewhere the key is an INI file below the tests' configuration folder.
    const char *home = std::getenv("HOME");
    std::ifstream key(std::string(home ? home : "")
                      + "/.qttest/config/Tarn/registry/HKEY_CURRENT_USER/Software/"
                        "Dorvan Keleth/EuroScope/Settings.ini");
    for (std::string line; std::getline(key, line);) {
        if (line.rfind(lastProfileName + '=', 0) == 0)
            return line.substr(lastProfileName.size() + 1);
    }
    return {};
#endif
}
} // namespace

int main(int argc, char *argv[])
{
    const char *marker = std::getenv("TARN_SELF_RESTARTED");
    std::string lines = fs::current_path().generic_u8string() + '\n' + std::to_string(argc - 1);
    for (int i = 1; i < argc; ++i)
        lines += '\n' + std::string(argv[i]);
    lines += '\n' + std::string(marker ? marker : "") + '\n' + lastProfile();
    const fs::path record = ownPath().concat(".run");
    const fs::path part = fs::path(record).concat(".part");
    std::ofstream(part, std::ios::binary) << lines;
    std::error_code error;
    fs::rename(part, record, error);
    return error ? 1 : 0;
}
