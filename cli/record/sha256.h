#ifndef RECORD_SHA256_H
#define RECORD_SHA256_H

#include <QByteArray>

#include <memory>

namespace Record
{

// SHA-256 through the system's own library (libcrypto; CNG on Windows),
// several times faster than Qt's: a record is hashed line by line, and its
// check runs at close to the speed of hashing. One per thread; it keeps its
// context from one hash to the next.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // The hash of `size` bytes at `data`, in lower-case hex.
    QByteArray hex(const char *data, qsizetype size);

private:
    struct Context;
    std::unique_ptr<Context> context;
};

} // namespace Record

#endif
