#include "Sha1.h"

#include <openssl/evp.h>

#include <fstream>
#include <stdexcept>
#include <vector>

namespace devservice {

Sha1::Sha1()
    : m_context(EVP_MD_CTX_new())
{
    if (!m_context || EVP_DigestInit_ex(m_context, EVP_sha1(), nullptr) != 1)
        throw std::runtime_error("SHA-1 is not available from OpenSSL");
}

Sha1::~Sha1()
{
    EVP_MD_CTX_free(m_context);
}

void Sha1::add(const char *data, size_t size)
{
    EVP_DigestUpdate(m_context, data, size);
}

std::string Sha1::hex()
{
    static const char digits[] = "0123456789abcdef";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context, digest, &length);
    std::string out;
    out.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
        out += digits[digest[i] >> 4];
        out += digits[digest[i] & 0xF];
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
