#ifndef ADAPTERADVICE_H
#define ADAPTERADVICE_H

#include <QString>

// Why a board behind a USB adapter is slow, told once per port.
namespace AdapterAdvice
{

// A warning when the adapter behind `port` still holds replies for a latency
// timer above 1 ms: the timer, what that costs this image at `baud`, and the
// fix. Empty when there is nothing to say. `sysfsRoot` as LatencyTimer takes it.
QString latencyWarning(const QString &port, qint64 blocks, int baud,
                       const QString &sysfsRoot = QStringLiteral("/sys"));

// latencyWarning() on standard error, the first time it is asked for a
// port. Meant for once the port is open: the serial layer has then lowered
// the timer wherever it may.
void warnOnce(const QString &port, qint64 blocks, int baud);

} // namespace AdapterAdvice

#endif
