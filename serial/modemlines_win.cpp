#include "serial/modemlines.h"

#include <windows.h>

#include <cstring>

namespace
{

HANDLE win(qintptr handle)
{
    return reinterpret_cast<HANDLE>(handle);
}

QString systemSaid(const char *call)
{
    return QStringLiteral("%1: error %2").arg(QLatin1String(call)).arg(GetLastError());
}

bool lineState(qintptr handle, DCB *dcb)
{
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return GetCommState(win(handle), dcb) != 0;
}

} // namespace

namespace ModemLines
{

// The lines are outputs, which Windows does not read back: the driver's
// answer to GetCommModemStatus shows it has modem lines at all, and the line
// state says what DTR and RTS were set to.
Read read(qintptr handle)
{
    Read result;
    DWORD inputs = 0;
    if (!GetCommModemStatus(win(handle), &inputs)) {
        result.failure = QStringLiteral("the driver has no modem lines (%1)")
                             .arg(systemSaid("GetCommModemStatus"));
        return result;
    }
    DCB dcb;
    if (!lineState(handle, &dcb)) {
        result.failure = systemSaid("GetCommState");
        return result;
    }
    result.lines = {dcb.fDtrControl == DTR_CONTROL_ENABLE, dcb.fRtsControl == RTS_CONTROL_ENABLE,
                    int(inputs)};
    return result;
}

// One SetCommState with both lines' control fields, rather than an
// EscapeCommFunction per line: the lines change together, as on Linux.
std::optional<QString> write(qintptr handle, const State &lines)
{
    DCB dcb;
    if (!lineState(handle, &dcb))
        return systemSaid("GetCommState");
    dcb.fDtrControl = lines.dtr ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fRtsControl = lines.rts ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
    if (!SetCommState(win(handle), &dcb))
        return QStringLiteral("the driver refused the modem lines (%1)")
            .arg(systemSaid("SetCommState"));
    return std::nullopt;
}

std::optional<QString> keepAtClose(qintptr)
{
    return std::nullopt;
}

} // namespace ModemLines
