#include "ContentFolder.h"

#include "JsonValue.h"
#include "JsonWriter.h"
#include "Sha1.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include <algorithm>
#include <ctime>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace devservice {

namespace {

struct Entry
{
    std::string name;
    fs::path path;
    bool isFolder;
};

bool isHidden(std::string_view name)
{
    return !name.empty() && name.front() == '.';
}

#ifdef _WIN32
// Windows limits plain paths to MAX_PATH characters; the "\\?\" form of an
// absolute path with backslashes lifts that, and the tests serve sector trees
// far deeper. std::filesystem's status calls refuse that form, so files are
// looked at through the wide API.
fs::path extendedLength(const fs::path &path)
{
    const std::wstring text = fs::absolute(path).make_preferred().wstring();
    if (text.rfind(L"\\\\?\\", 0) == 0)
        return text;
    if (text.rfind(L"\\\\", 0) == 0)
        return L"\\\\?\\UNC\\" + text.substr(2);
    return L"\\\\?\\" + text;
}

std::optional<WIN32_FILE_ATTRIBUTE_DATA> attributesOf(const fs::path &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return std::nullopt;
    return data;
}
#endif

bool isRegularFile(const fs::path &path)
{
#ifdef _WIN32
    const auto attributes = attributesOf(path);
    return attributes && !(attributes->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
#else
    std::error_code error;
    return fs::is_regular_file(path, error);
#endif
}

// Visible files and folders directly inside `folder`, in ascending name order.
std::vector<Entry> visibleEntries(const fs::path &folder)
{
    std::vector<Entry> entries;
#ifdef _WIN32
    WIN32_FIND_DATAW found;
    const HANDLE find = FindFirstFileW((folder / L"*").c_str(), &found);
    for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileW(find, &found)) {
        std::string name = fs::path(found.cFileName).u8string();
        if (!isHidden(name))
            entries.push_back({std::move(name), folder / found.cFileName,
                               (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    }
    if (find != INVALID_HANDLE_VALUE)
        FindClose(find);
#else
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().u8string();
        if (isHidden(name))
            continue;
        if (it->is_directory(error))
            entries.push_back({std::move(name), it->path(), true});
        else if (it->is_regular_file(error))
            entries.push_back({std::move(name), it->path(), false});
    }
#endif
    std::sort(entries.begin(), entries.end(),
              [](const Entry &a, const Entry &b) { return a.name < b.name; });
    return entries;
}

std::optional<std::string> readFile(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::optional<JsonValue> readJson(const fs::path &file)
{
    const auto text = readFile(file);
    return text ? JsonValue::parse(*text) : std::nullopt;
}

std::string lowerCase(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return out;
}

// Only plain downward paths: no root, no backslash, no empty, "." , ".." or hidden part.
bool isSafeRelativePath(std::string_view path)
{
    if (path.empty() || path.find('\\') != std::string_view::npos
        || path.find('\0') != std::string_view::npos)
        return false;
    while (true) {
        const size_t slash = path.find('/');
        const std::string_view part = path.substr(0, slash);
        if (part.empty() || isHidden(part))
            return false;
        if (slash == std::string_view::npos)
            return true;
        path.remove_prefix(slash + 1);
    }
}

void collectFiles(const fs::path &folder, const std::string &prefix,
                  std::vector<std::pair<std::string, fs::path>> &files)
{
    for (const Entry &entry : visibleEntries(folder)) {
        const std::string path = prefix + entry.name;
        if (entry.isFolder)
            collectFiles(entry.path, path + '/', files);
        else
            files.emplace_back(path, entry.path);
    }
}

void writeFolder(JsonWriter &json, const fs::path &folder);

// Writes "name": value for one entry; skipped when the file vanished meanwhile.
void writeEntry(JsonWriter &json, const Entry &entry)
{
    if (entry.isFolder) {
        json.key(entry.name);
        writeFolder(json, entry.path);
        return;
    }
    if (const auto time = ContentFolder::modificationTime(entry.path)) {
        json.key(entry.name);
        json.string(*time);
    }
}

void writeFolder(JsonWriter &json, const fs::path &folder)
{
    json.beginObject();
    for (const Entry &entry : visibleEntries(folder))
        writeEntry(json, entry);
    json.endObject();
}

std::optional<std::time_t> modificationSeconds(const fs::path &file)
{
#ifdef _WIN32
    // 100-nanosecond intervals since 1601.
    constexpr long long unixEpoch = 116444736000000000LL;
    const auto attributes = attributesOf(file);
    if (!attributes)
        return std::nullopt;
    const FILETIME time = attributes->ftLastWriteTime;
    return std::time_t(((static_cast<long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime)
                       - unixEpoch)
        / 10000000;
#else
    struct stat status;
    if (::stat(file.c_str(), &status) != 0)
        return std::nullopt;
    return status.st_mtime;
#endif
}

} // namespace

ContentFolder::ContentFolder(fs::path root)
#ifdef _WIN32
    : m_root(root.empty() ? root : extendedLength(root))
#else
    : m_root(std::move(root))
#endif
{
}

std::optional<Account> ContentFolder::findAccount(std::string_view cid,
                                                  std::string_view passwordSha1) const
{
    if (m_root.empty())
        return std::nullopt;
    const auto accounts = readJson(m_root / "accounts.json");
    if (!accounts || accounts->type() != JsonValue::Type::Array)
        return std::nullopt;
    const std::string password = lowerCase(passwordSha1);
    for (const JsonValue &account : accounts->items()) {
        const JsonValue *id = account.member("cid");
        const JsonValue *sha1 = account.member("sha1");
        const JsonValue *rating = account.member("rating");
        if (!id || !sha1 || !rating || rating->type() != JsonValue::Type::Number)
            continue;
        if (id->text() == cid && lowerCase(sha1->text()) == password)
            return Account{id->text(), rating->text()};
    }
    return std::nullopt;
}

std::vector<ClientFile> ContentFolder::clientFiles() const
{
    if (m_root.empty())
        return {};
    std::vector<std::pair<std::string, fs::path>> found;
    collectFiles(areaFolder(Area::Client), {}, found);
    std::sort(found.begin(), found.end());
    const auto modes = clientModes();
    std::vector<ClientFile> files;
    files.reserve(found.size());
    for (const auto &[path, file] : found) {
        auto hash = Sha1::ofFile(file);
        auto updated = modificationTime(file);
        if (!hash || !updated)
            continue;
        const auto mode = modes.find(path);
        files.push_back({path, std::move(*hash), mode == modes.end() ? "EXT" : mode->second,
                         std::move(*updated)});
    }
    return files;
}

std::string ContentFolder::sectorTreeJson() const
{
    if (m_root.empty())
        return "[]";
    JsonWriter json;
    json.beginArray();
    for (const Entry &entry : visibleEntries(areaFolder(Area::Sector))) {
        json.beginObject();
        writeEntry(json, entry);
        json.endObject();
    }
    json.endArray();
    return json.take();
}

std::optional<fs::path> ContentFolder::resolve(Area area, std::string_view relativePath) const
{
    if (m_root.empty() || !isSafeRelativePath(relativePath))
        return std::nullopt;
    // Native separators: the extended-length form takes no others.
    fs::path file = (areaFolder(area) / fs::u8path(relativePath)).make_preferred();
    if (!isRegularFile(file))
        return std::nullopt;
    return file;
}

std::optional<std::string> ContentFolder::modificationTime(const fs::path &file)
{
    const auto seconds = modificationSeconds(file);
    if (!seconds)
        return std::nullopt;
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &*seconds);
#else
    localtime_r(&*seconds, &local);
#endif
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%d-%m-%Y %H:%M:%S", &local);
    return std::string(text, length);
}

fs::path ContentFolder::areaFolder(Area area) const
{
    return m_root / (area == Area::Client ? "client" : "sector");
}

std::map<std::string, std::string> ContentFolder::clientModes() const
{
    std::map<std::string, std::string> modes;
    const auto json = readJson(areaFolder(Area::Client) / ".modes.json");
    if (!json || json->type() != JsonValue::Type::Object)
        return modes;
    for (const auto &[path, mode] : json->members()) {
        if (mode.type() == JsonValue::Type::String)
            modes.emplace(path, mode.text());
    }
    return modes;
}

} // namespace devservice
