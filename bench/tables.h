#ifndef TABLES_H
#define TABLES_H

#include "bench/adapterrun.h"
#include "bench/gangrun.h"
#include "bench/wayrun.h"

#include <QVector>

// The report: what the figures mean, the tables of medians over runs and the
// summary lines.
namespace Bench
{

void printLegend(int blocks, int runs);

void printTable(const WayResult &worker, const WayResult &window, bool peakPerWay, double floorUs);

void printGangTable(const QVector<GangResult> &results);

void printAdapterTable(const AdapterResults &results, int blocks);

// The process's own peak, then one line per benchmark; scripts read these.
void printSummary(const WayResult &window, const QVector<GangResult> &gangs,
                  const AdapterResults &adapters);

} // namespace Bench

#endif
