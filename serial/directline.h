#ifndef DIRECTLINE_H
#define DIRECTLINE_H

#include "serial/linesequence.h"
#include "serial/portfailure.h"

#include <QString>

#include <optional>

// A serial line served by one caller's thread, for a loop that polls many:
// the descriptor is non-blocking and every call is the caller's own system
// call, with no thread of the line's own and nothing handed over. Linux only.
class DirectLine : public ModemLineAccess
{
public:
    explicit DirectLine(const QString &name) : name(name) {}
    ~DirectLine() override;
    DirectLine(const DirectLine &) = delete;
    DirectLine &operator=(const DirectLine &) = delete;

    // Opens the device and sets it up for the board: raw bytes, 8 data bits,
    // no parity, one stop bit, no flow control, at `rate` where it is one of
    // the board's rates and at the default rate otherwise. A rate the driver
    // does not really make is refused.
    std::optional<PortFailure> open(int rate);
    int descriptor() const { return fd; }

    // What the device took now (it may be less than `size`); -1 once the
    // device has gone.
    int write(const unsigned char *data, int size);
    // Bytes read now, 0 when none are there; -1 once the device has gone.
    int read(char *buffer, int size);
    // Bytes still in the driver's output queue; 0 where the device cannot
    // tell.
    int queuedOutput() const;
    // Waits for the last byte to leave the transmitter; the queue must be
    // empty first, or this blocks until it is.
    void drain();
    // Puts back the line settings found at open and closes the device;
    // `discard` drops what it has not sent.
    void close(bool discard = false);

    // DTR and RTS, on the descriptor. After keepLinesAtClose() neither the
    // device nor the settings put back at close drop them (HUPCL is off).
    ModemLines::Read readLines() override;
    std::optional<QString> writeLines(const ModemLines::State &lines) override;
    std::optional<QString> keepLinesAtClose() override;

private:
    std::optional<PortFailure> setUp(int rate);

    const QString name;
    int fd = -1;
    bool saved = false;
    static constexpr int SettingsSize = 64;
    unsigned char original[SettingsSize] = {}; // the termios2 found at open
};

#endif
