#include "cli/common/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

struct Sha256::Context {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr; // between begin() and finish()
    void drop()
    {
        if (hash)
            BCryptDestroyHash(hash);
        hash = nullptr;
    }
    ~Context()
    {
        drop();
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256() : context(std::make_unique<Context>())
{
    // Without one there is nothing to check a record with.
    if (!BCRYPT_SUCCESS(
            BCryptOpenAlgorithmProvider(&context->algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        std::abort();
}

Sha256::~Sha256() = default;

void Sha256::begin()
{
    context->drop();
    if (!BCRYPT_SUCCESS(
            BCryptCreateHash(context->algorithm, &context->hash, nullptr, 0, nullptr, 0, 0)))
        std::abort();
}

void Sha256::add(const char *data, qsizetype size)
{
    if (!BCRYPT_SUCCESS(BCryptHashData(
            context->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)), ULONG(size), 0)))
        std::abort();
}

QByteArray Sha256::finish()
{
    unsigned char hash[32];
    const bool hashed = BCRYPT_SUCCESS(BCryptFinishHash(context->hash, hash, sizeof hash, 0));
    context->drop();
    if (!hashed)
        std::abort();
    return QByteArray::fromRawData(reinterpret_cast<const char *>(hash), sizeof hash).toHex();
}
