#include "cli/record/sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <cstdlib>

namespace Record
{

struct Sha256::Context {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ~Context()
    {
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

QByteArray Sha256::hex(const char *data, qsizetype size)
{
    unsigned char hash[32];
    BCRYPT_HASH_HANDLE handle = nullptr;
    const bool hashed =
        BCRYPT_SUCCESS(BCryptCreateHash(context->algorithm, &handle, nullptr, 0, nullptr, 0, 0)) &&
        BCRYPT_SUCCESS(BCryptHashData(handle, reinterpret_cast<PUCHAR>(const_cast<char *>(data)),
                                      ULONG(size), 0)) &&
        BCRYPT_SUCCESS(BCryptFinishHash(handle, hash, sizeof hash, 0));
    if (handle)
        BCryptDestroyHash(handle);
    if (!hashed)
        std::abort();
    return QByteArray::fromRawData(reinterpret_cast<const char *>(hash), sizeof hash).toHex();
}

} // namespace Record
