#ifndef MODEMLINES_H
#define MODEMLINES_H

#include <QString>
#include <QtGlobal>

#include <optional>

// An adapter's DTR and RTS lines, on the device's native handle (a file
// descriptor, or a Win32 HANDLE as an integer). SerialPort calls these where
// it runs its other calls to the device.
namespace ModemLines
{

struct State {
    bool dtr = false; // asserted, as the driver names it
    bool rts = false;
    // The driver's other control bits, given back unchanged with the two
    // lines.
    int native = 0;
};

// The lines as they are, or why the driver cannot tell (it has none).
struct Read {
    State lines;
    std::optional<QString> failure;

    bool ok() const { return !failure; }
};

// Linux: TIOCMGET. Windows: GetCommModemStatus, to learn that the driver has
// modem lines, and the DTR and RTS settings of its line state.
Read read(qintptr handle);

// Both lines at once, in one call. Linux: TIOCMSET. Windows: one
// SetCommState with both lines' control fields.
std::optional<QString> write(qintptr handle, const State &lines);

// A close would drop DTR and RTS (Linux: HUPCL, set on most ttys); after
// this it leaves them as they are, so that the board runs on as the last
// sequence left it. Windows: the drivers themselves decide, nothing to do.
std::optional<QString> keepAtClose(qintptr handle);

} // namespace ModemLines

#endif
