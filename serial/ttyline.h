#ifndef TTYLINE_H
#define TTYLINE_H

#include <QtGlobal>

// What the serial layer asks of a tty device beyond what QSerialPort offers.
namespace TtyLine
{

// The rate the device really runs at, as the kernel reports it after a
// change: a driver may keep its old rate, or round to one it can make,
// without failing the call that asked for another. -1 when unknown.
qint32 effectiveRate(int fd);

// Waits until every byte written to the device has left it, for at most
// `timeoutMs`. On time-out the rest is discarded, so the close that follows
// cannot block on it, and the result is false: bytes were lost.
bool drain(int fd, int timeoutMs);

} // namespace TtyLine

#endif
