#include "cli/flash/adapteradvice.h"

#include "cli/common/output.h"
#include "download/deviceframe.h"
#include "serial/devicepath.h"
#include "serial/portdetails.h"

#include <QSet>

namespace AdapterAdvice
{

QString latencyWarning(const QString &port, qint64 blocks, int baud, const QString &sysfsRoot)
{
    const LatencyTimer timer = LatencyTimer::of(PortName::devicePath(port), sysfsRoot);
    if (timer.ms <= 1)
        return QString();
    // Each block's reply waits for the timer on top of the line's own time.
    const double wireMs =
        (DeviceFrame::BlockFrameSize + DeviceFrame::ReplySize) * 10 * 1000.0 / baud;
    const double share = wireMs / (wireMs + timer.ms);
#ifdef Q_OS_WIN
    const QString fix = QStringLiteral("in Device Manager, the port's Properties, Port Settings, "
                                       "Advanced, set Latency Timer (msec) to 1 (%1)");
#else
    const QString fix = QStringLiteral("echo 1 | sudo tee %1");
#endif
    return QStringLiteral("kavro-flash: %1: the adapter's latency timer is %2 ms and could not "
                          "be lowered: expect about %3 s for this image at %4 baud instead of "
                          "%5 s (%6% of the line's speed). Fix: %7\n")
        .arg(port)
        .arg(timer.ms)
        .arg(blocks * (wireMs + timer.ms) / 1000, 0, 'f', 0)
        .arg(baud)
        .arg(blocks * wireMs / 1000, 0, 'f', 0)
        .arg(qRound(share * 100))
        .arg(fix.arg(timer.file));
}

void warnOnce(const QString &port, qint64 blocks, int baud)
{
    static QSet<QString> warned;
    if (warned.contains(port))
        return;
    warned.insert(port);
    const QString warning = latencyWarning(port, blocks, baud);
    if (!warning.isEmpty())
        Output::put(stderr, warning);
}

} // namespace AdapterAdvice
