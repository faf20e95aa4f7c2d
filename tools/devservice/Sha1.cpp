#include "Sha1.h"

#ifdef _WIN32
#include <windows.h>

#include <bcrypt.h>
#else
#include <openssl/evp.h>
#endif

#include <fstream>
#include <stdexcept>
#include <vector>

namespace devservice {

namespace {
constexpr size_t digestSize = 20;
} // namespace

#ifdef _WIN32
Sha1::Sha1()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA1_ALGORITHM, nullptr, 0) != 0
        || BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0)
        throw std::runtime_error("SHA-1 is not available from the system");
    m_algorithm = algorithm;
    m_context = hash;
}

Sha1::~Sha1()
{
    BCryptDestroyHash(m_context);
    BCryptCloseAlgorithmProvider(m_algorithm, 0);
}

void Sha1::add(const char *data, size_t size)
{
    BCryptHashData(m_context, reinterpret_cast<PUCHAR>(const_cast<char *>(data)), ULONG(size), 0);
}

namespace {
void finish(void *context, unsigned char *digest)
{
    BCryptFinishHash(context, digest, ULONG(digestSize), 0);
}
} // namespace
#else
Sha1::Sha1()
    : m_context(EVP_MD_CTX_new())
{
    if (!m_context
        || EVP_DigestInit_ex(static_cast<EVP_MD_CTX *>(m_context), EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 is not available from OpenSSL");
}

Sha1::~Sha1()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX *>(m_context));
}

void Sha1::add(const char *data, size_t size)
{
    EVP_DigestUpdate(static_cast<EVP_MD_CTX *>(m_context), data, size);
}

namespace {
void finish(void *context, unsigned char *digest)
{
    EVP_DigestFinal_ex(static_cast<EVP_MD_CTX *>(context), digest, nullptr);
}
} // namespace
#endif

std::string Sha1::hex()
{
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[digestSize];
    finish(m_context, digest);
    std::string out;
    out.reserve(digestSize * 2);
    for (const unsigned char byte : digest) {
        out += digits[byte >> 4];
        out += digits[byte & 0xF];
    }
    return out;
}

std::string Sha1::ofBytes(std::string_view bytes)
{
    Sha1 sha1;
    sha1.add(bytes.data(), bytes.size());
    return sha1.hex();
}

std::optional<std::string> Sha1::ofFile(const std::filesystem::path &file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    Sha1 sha1;
    std::vector<char> buffer(256 * 1024);
    while (in) {
        in.read(buffer.data(), std::streamsize(buffer.size()));
        sha1.add(buffer.data(), size_t(in.gcount()));
    }
    if (!in.eof())
        return std::nullopt;
    return sha1.hex();
}

} // namespace devservice
