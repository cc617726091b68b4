#ifndef WAYRUN_H
#define WAYRUN_H

#include "bench/measure.h"
#include "bench/session.h"

#include <QString>
#include <QVector>

// What the ways to drive a download (the worker alone, the whole window)
// share: the sessions they run and the figures they keep.
namespace Bench
{

// Per board setting (instant, then each wire rate) and way, one value per
// run for each measure.
struct SettingResult {
    QVector<double> usPerBlock, share, turnMedianUs, turnP99Us, turnMeanUs, restUs;
};

struct WayResult {
    SettingResult settings[1 + BaudCount];
    double peakMiB = 0;
};

void record(WayResult &result, const Job &job, int setting, const Sample &s);

void reportSession(const char *way, int run, int setting, const Sample &s, int blocks);

// Runs every session of one way: per run, an instant board, then the wire
// rates. `session(wireBaud)` runs one download.
template <typename Session>
bool runWay(const char *way, const Job &job, int runs, WayResult &result, QString *error,
            Session session)
{
    for (int run = 1; run <= runs; ++run) {
        for (int setting = -1; setting < BaudCount; ++setting) {
            const Sample s = session(setting < 0 ? 0 : Bauds[setting]);
            if (!s.error.isEmpty()) {
                *error = QStringLiteral("%1: %2").arg(QLatin1String(way), s.error);
                return false;
            }
            record(result, job, setting, s);
            reportSession(way, run, setting, s, job.blocks);
        }
    }
    result.peakMiB = peakRssMiB();
    return true;
}

} // namespace Bench

#endif
