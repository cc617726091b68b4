#include "cli/common/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

struct Sha256::Context {
    EVP_MD_CTX *digest = EVP_MD_CTX_new();
    // Fetched once: the implicit fetch of each EVP_sha256() init takes a
    // lock and a lookup, a third of the cost of a line's hash.
    EVP_MD *sha256 = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    ~Context()
    {
        EVP_MD_free(sha256);
        EVP_MD_CTX_free(digest);
    }
};

Sha256::Sha256() : context(std::make_unique<Context>())
{
    // Without one there is nothing to check a record with.
    if (!context->digest || !context->sha256)
        std::abort();
}

Sha256::~Sha256() = default;

void Sha256::begin()
{
    if (EVP_DigestInit_ex(context->digest, context->sha256, nullptr) != 1)
        std::abort();
}

void Sha256::add(const char *data, qsizetype size)
{
    if (EVP_DigestUpdate(context->digest, data, size_t(size)) != 1)
        std::abort();
}

QByteArray Sha256::finish()
{
    unsigned char hash[32];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context->digest, hash, &length) != 1)
        std::abort();
    return QByteArray::fromRawData(reinterpret_cast<const char *>(hash), int(length)).toHex();
}
