#include "serial/directline.h"

#include "download/linerates.h"
#include "serial/devicepath.h"
#include "serial/portdetails.h"
#include "serial/serialport.h"
#include "serial/ttyline.h"

#include <QFile>

#include <asm/termbits.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

static_assert(sizeof(termios2) <= 64, "the settings found at open fit where they are kept");

DirectLine::~DirectLine()
{
    close(true);
}

std::optional<PortFailure> DirectLine::open(int rate)
{
    const QString path = PortName::devicePath(name);
    const QByteArray device = QFile::encodeName(path);
    fd = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return TtyLine::openFailure(device.constData());
    if (!::isatty(fd)) {
        close(true);
        return PortFailure{
            PortFailure::Kind::NotASerialPort, QStringLiteral("not a serial port"), {}};
    }
    // A lock on the device itself refuses a second opener by any name, so a
    // line never has two writers.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(true);
        return TtyLine::busy(path);
    }
    TtyLine::requestLowLatency(fd);
    LatencyTimer::of(path).lower();
    if (const std::optional<PortFailure> refused = setUp(rate)) {
        close(true);
        return refused;
    }
    // Bytes left over from an earlier session are not a reply to us.
    ::ioctl(fd, TCFLSH, TCIFLUSH);
    return std::nullopt;
}

std::optional<PortFailure> DirectLine::setUp(int rate)
{
    termios2 line;
    if (::ioctl(fd, TCGETS2, &line) != 0)
        return PortFailure{PortFailure::Kind::NotASerialPort,
                           QStringLiteral("not a serial port: ") +
                               QString::fromLocal8Bit(std::strerror(errno)),
                           {}};
    std::memcpy(original, &line, sizeof line);
    saved = true;
    line.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    line.c_oflag &= ~OPOST;
    line.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    line.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
    const int wanted = LineRates::isLineRate(rate) ? rate : SerialPort::DefaultBaudRate;
    line.c_ispeed = line.c_ospeed = static_cast<speed_t>(wanted);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &line) != 0 || TtyLine::effectiveRate(fd) != wanted) {
        // Any rate but the board's own keeps the default, as it may.
        if (LineRates::isLineRate(rate))
            return PortFailure::refused(QStringLiteral("baud rate %1").arg(rate));
    }
    return std::nullopt;
}

int DirectLine::write(const unsigned char *data, int size)
{
    for (;;) {
        const ssize_t put = ::write(fd, data, static_cast<size_t>(size));
        if (put >= 0)
            return static_cast<int>(put);
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

int DirectLine::read(char *buffer, int size)
{
    for (;;) {
        const ssize_t got = ::read(fd, buffer, static_cast<size_t>(size));
        if (got > 0)
            return static_cast<int>(got);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && errno == EAGAIN)
            return 0;
        return -1; // a hang-up reads as the end of the file, or as EIO
    }
}

int DirectLine::queuedOutput() const
{
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0;
    return queued;
}

void DirectLine::drain()
{
    // As tcdrain() does. A device that has gone fails it, with nothing left
    // to send.
    while (::ioctl(fd, TCSBRK, 1) != 0 && errno == EINTR) {
    }
}

ModemLines::Read DirectLine::readLines()
{
    return ModemLines::read(fd);
}

std::optional<QString> DirectLine::writeLines(const ModemLines::State &lines)
{
    return ModemLines::write(fd, lines);
}

std::optional<QString> DirectLine::keepLinesAtClose()
{
    if (const std::optional<QString> failure = ModemLines::keepAtClose(fd))
        return failure;
    termios2 kept;
    std::memcpy(&kept, original, sizeof kept);
    kept.c_cflag &= ~tcflag_t(HUPCL);
    std::memcpy(original, &kept, sizeof kept);
    return std::nullopt;
}

void DirectLine::close(bool discard)
{
    if (fd < 0)
        return;
    if (discard)
        ::ioctl(fd, TCFLSH, TCOFLUSH);
    if (saved)
        ::ioctl(fd, TCSETS2, original);
    ::close(fd);
    fd = -1;
    saved = false;
}
