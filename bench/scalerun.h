#ifndef SCALERUN_H
#define SCALERUN_H

#include <QString>
#include <QVector>

// Scale runs: many boards at once through the real kavro-flash, run as a
// child process, each board a kavro-bootsim process of its own paced to the
// line. The flasher's CPU per block is what limits how many boards one core
// keeps at pace.
namespace Bench
{

// One value per run for each measure.
struct ScaleRow {
    int boards = 0;
    // The flasher's user + system time per data block per board, with its
    // start-up taken out: a long image's run less a one-block image's.
    QVector<double> cpuUsPerBlock;
    QVector<double> slowestShare;
    QVector<double> peakRssMiB; // the flasher's, on the long image
    // A bare host's own thread CPU per round trip over a pty, and its median
    // wall time, timed right after each run: the yardstick for the CPU figure.
    QVector<double> bareCpuUs;
    QVector<double> bareTripUs;
};

// `flasher` is the kavro-flash to run: another build's, to compare two.
bool scaleWay(const QString &flasher, const QVector<int> &boardCounts, int blocks, int runs,
              QVector<ScaleRow> &rows, QString *error);

void printScaleTable(const QVector<ScaleRow> &rows, int blocks, int runs);

} // namespace Bench

#endif
