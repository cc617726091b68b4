#ifndef MEASURE_H
#define MEASURE_H

#include <QVector>
#include <QtGlobal>

// Clock, statistics and memory figures every benchmark here reports with.
namespace Bench
{

qint64 nowNs();

double median(QVector<double> values);

// Nearest rank.
double percentile(QVector<double> values, double p);

double mean(const QVector<double> &values);

// VmHWM; getrusage where /proc is not there.
double peakRssMiB();

// Lets each way report its own peak rather than the process's so far.
bool resetPeakRss();

} // namespace Bench

#endif
