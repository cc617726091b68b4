#ifndef TTYLINE_H
#define TTYLINE_H

#include "serial/portfailure.h"

#include <QString>

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

// Asks the driver to hand received bytes over at once rather than on its own
// schedule (the low-latency flag; a USB adapter's driver then sets its
// latency timer to 1 ms). False where the driver refuses or has no such flag,
// which is harmless: the line works as before, only slower on such adapters.
bool requestLowLatency(int fd);

// Why a device at `path` that did not open cannot be opened by this user,
// in a few words: no such device, permission denied, busy (and by whom,
// where the system tells), or the system's own text.
PortFailure openFailure(const char *path);

// "busy: held by minicom (pid 812)", naming every holder this user can see.
PortFailure busy(const QString &path);

} // namespace TtyLine

#endif
