#include "bench/gangrun.h"

#include "bench/measure.h"
#include "cli/flash/boardgang.h"
#include "download/outcome.h"
#include "sim/bootsim.h"

#include <QEventLoop>
#include <QStringList>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <sys/resource.h>

namespace Bench
{

namespace
{

constexpr int GangSizes[] = {1, 4, 8};

qint64 processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &t) {
        return qint64(t.tv_sec) * 1000000000 + t.tv_usec * 1000;
    };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

bool gangRun(const Job &job, int boards, int run, GangResult &result, QString *error)
{
    std::vector<std::unique_ptr<BootSim>> sims;
    QStringList ports;
    for (int i = 0; i < boards; ++i) {
        BootSimOptions options;
        options.wireBaud = GangBaud;
        // Eight boards spinning to reply on the dot would take the CPU from
        // the host they are measuring: they sleep, and how late that makes
        // their replies is taken out of the host's time below.
        options.exactTiming = false;
        sims.push_back(std::make_unique<BootSim>(options));
        if (!sims.back()->start(error))
            return false;
        ports << sims.back()->slavePath();
    }
    BoardGang gang(ports, GangBaud, job.imagePath);

    QEventLoop loop;
    bool timedOut = false;
    QObject::connect(&gang, &BoardGang::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(sessionTimeoutMs(job.blocks, GangBaud), &loop, [&gang, &timedOut] {
        timedOut = true;
        gang.interrupt();
    });
    const qint64 cpuBefore = processCpuNs();
    gang.start();
    loop.exec();

    double slowest = 1e9;
    double rawSlowest = 1e9;
    for (int i = 0; i < boards; ++i) {
        // The gang's boards are followed by their typed results.
        const SessionRunner::State board = gang.board(i);
        SessionClock clock;
        clock.firstBlockNs = 0;
        clock.finishNs = board.blockPhaseNs;
        clock.finishText = board.result ? board.result->outcome().text() : nullptr;
        const Sample s = judge(*sims[i], job, clock, 0, timedOut);
        if (!s.error.isEmpty()) {
            *error = QStringLiteral("gang of %1, board %2: %3").arg(boards).arg(i + 1).arg(s.error);
            return false;
        }
        const double wireNs = job.blocks * wireNsPerBlock(GangBaud);
        rawSlowest = std::min(rawSlowest, wireNs / s.blockPhaseNs);
        slowest = std::min(slowest, wireNs / (s.blockPhaseNs - sims[i]->replyLatenessNs()));
    }
    // The boards' own threads are not the host's work.
    qint64 boardCpuNs = 0;
    for (auto &sim : sims) {
        sim->stop();
        boardCpuNs += sim->serveCpuNs();
    }
    const double cpuUs = (processCpuNs() - cpuBefore - boardCpuNs) / 1000.0 / (boards * job.blocks);
    result.slowestShare.append(slowest);
    result.rawSlowestShare.append(rawSlowest);
    result.cpuUsPerBlock.append(cpuUs);
    std::printf("  %-12s run %d  %d board(s) at %d  slowest share %.3f (%.3f with the boards' "
                "own lateness)  cpu %.1f us per block\n",
                "gang", run, boards, GangBaud, slowest, rawSlowest, cpuUs);
    std::fflush(stdout);
    return true;
}

} // namespace

bool gangWay(const Job &job, int runs, QVector<GangResult> &results, QString *error)
{
    for (const int boards : GangSizes) {
        GangResult result;
        result.boards = boards;
        const bool peakPerGang = resetPeakRss();
        for (int run = 1; run <= runs; ++run) {
            if (!gangRun(job, boards, run, result, error))
                return false;
        }
        result.peakMiB = peakPerGang ? peakRssMiB() : 0;
        results.append(result);
    }
    return true;
}

} // namespace Bench
