// Arbitrary bytes as a firmware image file, read the way the session reads
// it: open, check the header, then blocks until a short read.

#include "download/firmwareimage.h"

#include <QString>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

namespace
{

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// One scratch file for the whole run, rewritten for every input. It is
// unlinked at once and reached through /proc, so no run leaves it behind,
// however it ends.
int scratchFd()
{
    static const int fd = [] {
        const char *dir = std::getenv("TMPDIR");
        std::string name = std::string(dir && *dir ? dir : "/tmp") + "/kavro-fuzz-image-XXXXXX";
        const int made = mkstemp(&name[0]);
        check(made >= 0);
        unlink(name.c_str());
        return made;
    }();
    return fd;
}

QString scratchPath()
{
    return QStringLiteral("/proc/self/fd/%1").arg(scratchFd());
}

void writeScratch(const uint8_t *data, size_t size)
{
    const int fd = scratchFd();
    check(ftruncate(fd, 0) == 0);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = pwrite(fd, data + done, size - done, static_cast<off_t>(done));
        check(put > 0);
        done += static_cast<size_t>(put);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    writeScratch(data, size);

    const qint64 length = static_cast<qint64>(size);
    const qint64 header = FirmwareImage::HeaderSize;
    const qint64 blockSize = FirmwareImage::BlockSize;
    const qint64 blocks = length > header ? (length - header) / blockSize : 0;

    FirmwareImage image;
    check(image.open(scratchPath()));
    check(image.length() == length);
    const bool magic = size >= 7 && std::memcmp(data, "Zentrak", 7) == 0;
    check(image.checkHeader() == magic);
    check(image.blockCount() == blocks);

    unsigned char block[FirmwareImage::BlockSize];
    qint64 read = 0;
    for (;;) {
        const int got = image.readBlock(block);
        const qint64 at = header + read * blockSize;
        const qint64 expected = at < length ? std::min(blockSize, length - at) : 0;
        check(got == expected);
        check(std::memcmp(block, data + at, static_cast<size_t>(got)) == 0);
        if (got < blockSize)
            break;
        ++read;
        check(read <= blocks);
    }
    check(read == blocks);
    image.close();
    check(!image.isOpen());
    return 0;
}
