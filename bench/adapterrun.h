#ifndef ADAPTERRUN_H
#define ADAPTERRUN_H

#include "bench/session.h"

#include <QString>
#include <QVector>

namespace Bench
{

// USB serial adapters' latency timers: the common default, a lowered one and
// the lowest. Every block waits for a tick, so a small image says enough.
inline constexpr int AdapterLatenciesMs[] = {16, 4, 1};
inline constexpr int AdapterLatencyCount = 3;
inline constexpr int AdapterBlocks = 200;

// The worker alone behind a simulated adapter, per latency timer and rate:
// share of the wire limit and ms per block, one value per run.
struct AdapterResult {
    QVector<double> share, msPerBlock;
};
using AdapterResults = AdapterResult[AdapterLatencyCount][BaudCount];

bool adapterWay(const Job &job, int runs, AdapterResults &results, QString *error);

} // namespace Bench

#endif
