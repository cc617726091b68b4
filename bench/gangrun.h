#ifndef GANGRUN_H
#define GANGRUN_H

#include "bench/session.h"

#include <QString>
#include <QVector>

namespace Bench
{

inline constexpr int GangBaud = 256000;

// Gang runs: several boards at once through the flasher's own sessions, each
// board simulated in this process on a pseudo-terminal of its own.
struct GangResult {
    int boards = 0;
    QVector<double> slowestShare, rawSlowestShare, cpuUsPerBlock;
    double peakMiB = 0;
};

bool gangWay(const Job &job, int runs, QVector<GangResult> &results, QString *error);

} // namespace Bench

#endif
