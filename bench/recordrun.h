#ifndef BENCH_RECORDRUN_H
#define BENCH_RECORDRUN_H

#include <QList>
#include <QString>

namespace Bench
{

// A long-kept record: a station's start on it, --check-record and --report, against
// the speed of hashing the same bytes.
struct RecordSettings {
    QList<qint64> sizes;     // boards in each record
    QString flashProgram;    // the kavro-flash to time
    bool checkpoints = true; // off for versions that read no checkpoints
    qint64 listValues = 0;   // stamps from a list of so many values; 0: numbers
    int listWidth = 4;       // its values' bytes
};

// Builds each record, times the program on it and prints the table; false
// with the reason when a run cannot be made.
bool recordWay(const RecordSettings &settings, QString *error);

} // namespace Bench

#endif
