#ifndef FEED_H
#define FEED_H

#include "cli/page/snapshot.h"
#include "download/sessionresult.h"

#include <QObject>
#include <QSet>
#include <QTimer>
#include <QVector>

#include <deque>
#include <vector>

class BoardGang;
class Station;

// Turns a running station or gang into the page's snapshots. It lives in
// the main thread and reads what the station and the gang already keep: no
// session thread waits on it. A snapshot goes out when a slot's state or
// percent moves (never per block), and once a second for the clock.
namespace Page
{

// The run's figures, gathered as boards end.
class RunFigures
{
public:
    void boardEnded(int slot, double seconds, bool succeeded);
    void fillIn(Snapshot *snapshot) const;

private:
    // The percentiles are of the last boards only: a station runs for weeks.
    static constexpr size_t Window = 1000;
    std::deque<double> window;  // oldest first
    std::vector<double> sorted; // the same, in order
    std::array<int, Snapshot::Buckets.size() + 1> buckets{};
    double sum = 0;
    std::deque<BoardEnd> recent;
};

// How a board failed, in words a person reads at two metres; empty for a
// success.
QString reasonInWords(const SessionResult &result);

class Feed : public QObject
{
    Q_OBJECT
public:
    // `lot`: the record's boards from before this run (hasRecord without
    // one false).
    Feed(Holder &holder, const Totals &lot, bool hasRecord, QObject *parent = nullptr);

    void watch(const Station &station);
    void watch(const BoardGang &gang);

private:
    struct Moves {
        int state = -1;
        int percent = -1;
    };
    void slotMoved(int index, const SlotView &view);
    void alarm(const QString &message);
    void publish();
    Snapshot stationSnapshot() const;
    Snapshot gangSnapshot() const;
    Snapshot common() const;
    SlotView stationSlot(int index) const;
    SlotView gangSlot(int index) const;

    Holder &holder;
    const Station *station = nullptr;
    const BoardGang *gang = nullptr;
    const Totals lotBefore;
    const bool hasRecord;
    QDateTime started;
    RunFigures figures;
    QVector<QMap<QString, int>> outcomes; // per slot
    QVector<Moves> shown;                 // per slot, as last published
    QSet<QString> stampsReserved;
    int stampedSuccesses = 0;
    QStringList alarms;
    bool running = true;
    QTimer clock;
};

} // namespace Page

#endif
