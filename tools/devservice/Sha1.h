// SHA-1 digests, written as lower-case hex: through OpenSSL's EVP interface,
// or on Windows through the system's CNG (bcrypt), since Debian has no
// OpenSSL for MinGW.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace devservice {

class Sha1
{
public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1 &) = delete;
    Sha1 &operator=(const Sha1 &) = delete;

    void add(const char *data, size_t size);
    // Finishes the digest; the object is spent afterwards.
    std::string hex();

    static std::string ofBytes(std::string_view bytes);
    // nullopt when the file cannot be read to its end.
    static std::optional<std::string> ofFile(const std::filesystem::path &file);

private:
    // The EVP context, or on Windows the algorithm provider and the hash.
    void *m_context = nullptr;
    void *m_algorithm = nullptr;
};

} // namespace devservice
