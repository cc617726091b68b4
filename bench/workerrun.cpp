#include "bench/workerrun.h"

#include "download/uploadthread.h"
#include "sim/bootsim.h"

#include <QEventLoop>
#include <QTimer>

namespace Bench
{

Sample workerSession(uploadThread &worker, BootSim &sim, const Job &job, int wireBaud,
                     int adapterLatencyMs)
{
    prepareBoard(sim, wireBaud, adapterLatencyMs);
    worker.setComName(sim.slavePath().toLocal8Bit().constData());
    worker.setBaud(wireBaud > 0 ? wireBaud : Bauds[0]);
    worker.setFileName(job.imagePath.toLocal8Bit().constData());

    SessionClock clock(&worker);
    const int endFramesBefore = sim.endFrames();
    QEventLoop loop;
    bool timedOut = false;
    // finished() is queued behind every signal of the session.
    QObject::connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(sessionTimeoutMs(job.blocks, wireBaud, adapterLatencyMs), &loop,
                       [&worker, &timedOut] {
                           timedOut = true;
                           worker.stopDownload();
                       });
    worker.start();
    loop.exec();
    worker.wait();
    return judge(sim, job, clock, endFramesBefore, timedOut);
}

bool workerWay(const Job &job, int runs, WayResult &result, QString *error)
{
    BootSim sim;
    QString simError;
    if (!sim.start(&simError)) {
        *error = QStringLiteral("worker alone: board: ") + simError;
        return false;
    }
    uploadThread worker;
    return runWay("worker alone", job, runs, result, error,
                  [&](int wireBaud) { return workerSession(worker, sim, job, wireBaud); });
}

} // namespace Bench
