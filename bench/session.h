#ifndef SESSION_H
#define SESSION_H

#include "bench/measure.h"
#include "download/uploadthread.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QVector>

#include <atomic>

class BootSim;
class QTemporaryDir;

// One download against the simulated board, as every run here makes it: the
// image, the clock in the worker thread and the verdict on the board's side.
namespace Bench
{

inline constexpr int Bauds[] = {115200, 256000};
inline constexpr int BaudCount = 2;

double wireNsPerBlock(int baud);

// Sessions that hang must not hang the benchmark: generous room over the
// line time, then the session is cancelled.
int sessionTimeoutMs(int blocks, int wireBaud, int adapterLatencyMs = 0);

struct Job {
    int blocks = 0;
    QString imagePath;
    QByteArray data; // what the board must end up with
};

// Fills in the job's image path and the data the board must end up with.
bool writeImage(const QTemporaryDir &dir, const QString &name, Job &job);

// Stamps the block phase in the worker thread itself: a queued delivery would
// add however long the GUI thread happens to be busy.
class SessionClock : public QObject
{
public:
    SessionClock() = default;
    explicit SessionClock(uploadThread *worker)
    {
        connect(
            worker, &uploadThread::setProgress, this,
            [this](int) {
                qint64 unset = -1;
                firstBlockNs.compare_exchange_strong(unset, nowNs());
            },
            Qt::DirectConnection);
        connect(
            worker, &uploadThread::setFinish, this,
            [this](const char *text) {
                finishNs = nowNs();
                finishText = text;
            },
            Qt::DirectConnection);
    }

    std::atomic<qint64> firstBlockNs{-1};
    std::atomic<qint64> finishNs{-1};
    std::atomic<const char *> finishText{nullptr};
};

struct Sample {
    QString error; // empty for a good session
    double blockPhaseNs = 0;
    QVector<double> turnaroundUs; // blocks 2..N
};

// A session counts only if it succeeded and the board holds the whole image.
Sample judge(BootSim &sim, const Job &job, const SessionClock &clock, int endFramesBefore,
             bool timedOut);

void prepareBoard(BootSim &sim, int wireBaud, int adapterLatencyMs = 0);

} // namespace Bench

#endif
