#include "bench/wayrun.h"

#include <QByteArray>

#include <cstdio>

namespace Bench
{

void record(WayResult &result, const Job &job, int setting, const Sample &s)
{
    SettingResult &r = result.settings[setting + 1];
    const double wireNs = setting < 0 ? 0 : wireNsPerBlock(Bauds[setting]);
    const double usPerBlock = s.blockPhaseNs / job.blocks / 1000;
    r.usPerBlock.append(usPerBlock);
    if (setting >= 0)
        r.share.append(job.blocks * wireNs / s.blockPhaseNs);
    r.turnMedianUs.append(median(s.turnaroundUs));
    r.turnP99Us.append(percentile(s.turnaroundUs, 0.99));
    r.turnMeanUs.append(mean(s.turnaroundUs));
    // What neither the line nor the host's turnaround explains: the board's
    // own reaction (late wake-up, reply write) and the end frame and close.
    r.restUs.append(usPerBlock - wireNs / 1000 - mean(s.turnaroundUs));
}

void reportSession(const char *way, int run, int setting, const Sample &s, int blocks)
{
    const QByteArray what =
        setting < 0 ? QByteArray("instant") : QByteArray::number(Bauds[setting]) + " baud";
    std::printf("  %-12s run %d  %-11s  block phase %9.1f ms  turnaround median %6.1f us", way, run,
                what.constData(), s.blockPhaseNs / 1e6, median(s.turnaroundUs));
    if (setting >= 0)
        std::printf("  share %.3f", blocks * wireNsPerBlock(Bauds[setting]) / s.blockPhaseNs);
    std::printf("\n");
    std::fflush(stdout);
}

} // namespace Bench
