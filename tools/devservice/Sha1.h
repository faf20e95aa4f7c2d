// SHA-1 digests through OpenSSL's EVP interface, written as lower-case hex.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

typedef struct evp_md_ctx_st EVP_MD_CTX;

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
    EVP_MD_CTX *m_context;
};

} // namespace devservice
