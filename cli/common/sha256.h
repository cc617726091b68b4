#ifndef SHA256_H
#define SHA256_H

#include <QByteArray>

#include <memory>

// SHA-256 through the system's own library (libcrypto; CNG on Windows),
// several times faster than Qt's: a record is hashed line by line, and its
// check runs at close to the speed of hashing; a stamp list is hashed as it
// is read. One per thread; it keeps its context from one hash to the next.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    // The hash of `size` bytes at `data`, in lower-case hex.
    QByteArray hex(const char *data, qsizetype size)
    {
        begin();
        add(data, size);
        return finish();
    }

    // A hash of bytes that come in pieces: begin(), add() for each piece,
    // then finish() for the hash in lower-case hex.
    void begin();
    void add(const char *data, qsizetype size);
    QByteArray finish();

private:
    struct Context;
    std::unique_ptr<Context> context;
};

#endif
