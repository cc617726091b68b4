#include "serial/modemlines.h"

#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <termios.h>

namespace
{

QString systemSaid(const char *call)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(call),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

namespace ModemLines
{

Read read(qintptr handle)
{
    Read result;
    int bits = 0;
    if (::ioctl(int(handle), TIOCMGET, &bits) != 0) {
        result.failure =
            QStringLiteral("the driver has no modem lines (%1)").arg(systemSaid("TIOCMGET"));
        return result;
    }
    result.lines = {(bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0, bits};
    return result;
}

std::optional<QString> write(qintptr handle, const State &lines)
{
    int bits = lines.native & ~(TIOCM_DTR | TIOCM_RTS);
    bits |= (lines.dtr ? TIOCM_DTR : 0) | (lines.rts ? TIOCM_RTS : 0);
    if (::ioctl(int(handle), TIOCMSET, &bits) != 0)
        return QStringLiteral("the driver refused the modem lines (%1)")
            .arg(systemSaid("TIOCMSET"));
    return std::nullopt;
}

std::optional<QString> keepAtClose(qintptr handle)
{
    termios tio;
    if (::tcgetattr(int(handle), &tio) != 0)
        return systemSaid("tcgetattr");
    if (!(tio.c_cflag & HUPCL))
        return std::nullopt;
    tio.c_cflag &= ~tcflag_t(HUPCL);
    if (::tcsetattr(int(handle), TCSANOW, &tio) != 0)
        return systemSaid("tcsetattr");
    return std::nullopt;
}

} // namespace ModemLines
