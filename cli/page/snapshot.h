#ifndef SNAPSHOT_H
#define SNAPSHOT_H

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <memory>
#include <mutex>

// What the live page shows: a plain value, made by the main thread at most
// once per percent and read by the page's server. The server only ever
// copies a pointer to it under a lock, so neither side waits on the other for
// longer than that copy, and no session thread takes part at all.
namespace Page
{

struct SlotView {
    enum class State { Waiting, Flashing, Succeeded, Failed };

    QString port;
    State state = State::Waiting;
    bool unplug = false; // its board has ended and must be taken out
    int percent = 0;
    int board = 0; // 0 before the slot's first board
    QString stamp; // hex; empty without a stamp
    double seconds = 0;
    QString outcome; // of the last board; empty before one ended
    QString reason;  // the outcome in words, with why a port did not open
    int boards = 0;
    int failed = 0;
    QMap<QString, int> outcomes; // the slot's boards by outcome
    bool checkFixture = false;
};

// An ended board, for the charts.
struct BoardEnd {
    qint64 msecsSinceEpoch = 0;
    int slot = 0;
    double seconds = 0;
    bool succeeded = false;
};

// Counts as a record sums them up: this run's, or the lot's so far.
struct Totals {
    int succeeded = 0;
    int failed = 0;
};

struct Snapshot {
    // Upper bounds of the cycle-time histogram's buckets, in seconds.
    static constexpr std::array<double, 10> Buckets{0.5, 1, 2, 5, 10, 20, 30, 60, 120, 300};
    // The charts' boards: the last ones only, so a snapshot stays small.
    static constexpr int RecentBoards = 500;

    QString mode; // "station" or "gang"
    QString image;
    QString sha256;
    QDateTime started;
    qint64 elapsedMs = 0;
    bool running = true;
    QVector<SlotView> slotViews;
    Totals run;
    Totals lot; // the record's boards before this run, plus this run's
    bool hasRecord = false;
    double medianSeconds = 0;
    double p95Seconds = 0;
    // Every ended board of the run in the histogram, the last few listed.
    std::array<int, Buckets.size() + 1> cycleBuckets{};
    double cycleSum = 0;
    QVector<BoardEnd> recent;
    int stampsReserved = 0;
    int stampsBurnt = 0;
    QString job;      // the job's name; empty without one
    int quantity = 0; // boards the run is to flash; 0 for no limit
    QStringList alarms;
};

// The latest snapshot, for whichever thread asks.
class Holder
{
public:
    void publish(std::shared_ptr<const Snapshot> snapshot);
    // Null until the first publish.
    std::shared_ptr<const Snapshot> latest() const;

private:
    mutable std::mutex lock;
    std::shared_ptr<const Snapshot> current;
};

} // namespace Page

#endif
