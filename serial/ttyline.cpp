#include "serial/ttyline.h"

#include "serial/portholder.h"

#include <QFile>

// The kernel's own termios: termios2 carries rates that have no B constant.
#include <asm/termbits.h>
#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace
{

struct RateCode {
    unsigned code;
    qint32 rate;
};

constexpr RateCode StandardRates[] = {
    {B50, 50},           {B75, 75},           {B110, 110},         {B134, 134},
    {B150, 150},         {B200, 200},         {B300, 300},         {B600, 600},
    {B1200, 1200},       {B1800, 1800},       {B2400, 2400},       {B4800, 4800},
    {B9600, 9600},       {B19200, 19200},     {B38400, 38400},     {B57600, 57600},
    {B115200, 115200},   {B230400, 230400},   {B460800, 460800},   {B500000, 500000},
    {B576000, 576000},   {B921600, 921600},   {B1000000, 1000000}, {B1152000, 1152000},
    {B1500000, 1500000}, {B2000000, 2000000}, {B2500000, 2500000}, {B3000000, 3000000},
    {B3500000, 3500000}, {B4000000, 4000000},
};

} // namespace

namespace TtyLine
{

qint32 effectiveRate(int fd)
{
    struct termios2 line;
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return -1;
    // The rate field only counts where the code says "other"; elsewhere the
    // kernel runs the line at the code's rate, whatever the field holds.
    const unsigned code = line.c_cflag & CBAUD;
    if (code == BOTHER)
        return static_cast<qint32>(line.c_ospeed);
    for (const RateCode &entry : StandardRates) {
        if (entry.code == code)
            return entry.rate;
    }
    return -1;
}

bool drain(int fd, int timeoutMs)
{
    // Wait for the driver's queue to empty first: the drain proper cannot be
    // given a time limit.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::ioctl(fd, TCFLSH, TCOFLUSH);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    // As tcdrain() does: returns once the last byte has left the transmitter.
    // A device that has gone away fails it, but has nothing left to send.
    while (::ioctl(fd, TCSBRK, 1) != 0 && errno == EINTR) {
    }
    return true;
}

PortFailure openFailure(const char *path)
{
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        // It opens for us now: it is no terminal at all, or something else
        // holds it (the lock taken at every open, or a lock file).
        const bool terminal = ::isatty(fd);
        ::close(fd);
        if (!terminal)
            return {PortFailure::Kind::NotASerialPort, QStringLiteral("not a serial port"), {}};
        return busy(QFile::decodeName(path));
    }
    switch (errno) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return {PortFailure::Kind::NotFound, QStringLiteral("no such device"), {}};
    case EACCES:
    case EPERM:
        return {PortFailure::Kind::PermissionDenied,
                QStringLiteral("permission denied (is this user in the device's group, "
                               "such as dialout?)"),
                {}};
    case EBUSY:
        return busy(QFile::decodeName(path));
    default:
        return {PortFailure::Kind::Other, QString::fromLocal8Bit(std::strerror(errno)), {}};
    }
}

PortFailure busy(const QString &path)
{
    const QList<PortHolder> holders = PortHolder::of(path);
    return {PortFailure::Kind::Busy,
            holders.isEmpty() ? QStringLiteral("busy: another program has it open")
                              : QStringLiteral("busy: held by ") + PortHolder::describe(holders),
            {}};
}

bool requestLowLatency(int fd)
{
    // Only the flag changes, which a driver lets any user do.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0)
        return false;
    if (serial.flags & ASYNC_LOW_LATENCY)
        return true;
    serial.flags |= ASYNC_LOW_LATENCY;
    return ::ioctl(fd, TIOCSSERIAL, &serial) == 0;
}

} // namespace TtyLine
