// Read-only view of a development content folder: accounts, program files and the
// sector tree. Everything is read from disk on each call so that tests may change
// the folder between requests.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace devservice {

struct ClientFile
{
    std::string path; // relative, forward slashes
    std::string hash; // SHA-1, lower-case hex
    std::string mode; // from client/.modes.json, "EXT" otherwise
    std::string updated; // "dd-MM-yyyy hh:mm:ss", local time
};

struct Account
{
    std::string cid;
    std::string rating; // the JSON number as written in accounts.json
};

class ContentFolder
{
public:
    enum class Area { Client, Sector };

    // An empty root stands for a folder without content, never for the working folder.
    explicit ContentFolder(std::filesystem::path root);

    // The account whose cid and SHA-1 match; the hash is compared case-insensitively.
    std::optional<Account> findAccount(std::string_view cid, std::string_view passwordSha1) const;
    // Every visible file below client/, sorted by path.
    std::vector<ClientFile> clientFiles() const;
    // The "getfilelist.php" answer for sector/.
    std::string sectorTreeJson() const;
    // The file a download asks for, when the relative path is safe, visible and names
    // a regular file of the area.
    std::optional<std::filesystem::path> resolve(Area area, std::string_view relativePath) const;

    // Modification time as "dd-MM-yyyy hh:mm:ss" in local time; nullopt if unreadable.
    static std::optional<std::string> modificationTime(const std::filesystem::path &file);

private:
    std::filesystem::path areaFolder(Area area) const;
    std::map<std::string, std::string> clientModes() const;

    std::filesystem::path m_root;
};

} // namespace devservice
