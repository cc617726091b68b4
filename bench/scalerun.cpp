#include "bench/scalerun.h"

#include "bench/flasherprocess.h"
#include "bench/gangrun.h"
#include "bench/measure.h"
#include "bench/ptyfloor.h"
#include "bench/session.h"

#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <sys/resource.h>

namespace Bench
{

namespace
{

struct FlashRun {
    qint64 cpuNs = 0;
    double peakRssMiB = 0;
    double slowestShare = 0;
};

struct Scale {
    QString flasher;
    Job longJob;
    Job shortJob;
    QString log;
};

// One kavro-flash over `boards` fresh boards with the image of `job`.
bool flashRun(const Scale &scale, const Job &job, int boards, FlashRun &run, QString *error)
{
    Boards sims;
    if (!sims.start(boards, error))
        return false;
    QStringList args{scale.flasher, QStringLiteral("-q"), QStringLiteral("-b"),
                     QString::number(GangBaud)};
    for (const QString &port : sims.ports)
        args << QStringLiteral("-p") << port;
    args << job.imagePath;
    const int timeoutMs = sessionTimeoutMs(job.blocks, GangBaud) + 60000 + boards * job.blocks;
    rusage usage{};
    if (!runToEnd(args, scale.log, timeoutMs, &usage, error))
        return false;
    run.cpuNs = ns(usage.ru_utime) + ns(usage.ru_stime);
    run.peakRssMiB = usage.ru_maxrss / 1024.0;

    const std::optional<double> slowest = slowestShare(sims.stop(), job.blocks, error);
    if (!slowest) {
        *error = QStringLiteral("%1 boards, %2").arg(boards).arg(*error);
        return false;
    }
    run.slowestShare = *slowest;
    return true;
}

bool scaleRun(const Scale &scale, int run, ScaleRow &row, QString *error)
{
    FlashRun full;
    FlashRun startUp;
    if (!flashRun(scale, scale.longJob, row.boards, full, error) ||
        !flashRun(scale, scale.shortJob, row.boards, startUp, error))
        return false;
    const double cpuUs = (full.cpuNs - startUp.cpuNs) / 1000.0 /
                         (double(row.boards) * (scale.longJob.blocks - scale.shortJob.blocks));
    row.cpuUsPerBlock.append(cpuUs);
    row.slowestShare.append(full.slowestShare);
    row.peakRssMiB.append(full.peakRssMiB);
    const PtyFloor::Figures bare = PtyFloor::measure(2000);
    row.bareCpuUs.append(bare.cpuUs);
    row.bareTripUs.append(bare.tripUs);
    std::printf("  %-12s run %d  %d board(s) at %d  slowest share %.3f  cpu %.1f us per block "
                "per board (%.1f ms in all, %.1f ms for one block)  peak RSS %.1f MiB  bare host "
                "%.1f us\n",
                "scale", run, row.boards, GangBaud, full.slowestShare, cpuUs, full.cpuNs / 1e6,
                startUp.cpuNs / 1e6, full.peakRssMiB, bare.cpuUs);
    std::fflush(stdout);
    return true;
}

} // namespace

bool scaleWay(const QString &flasher, const QVector<int> &boardCounts, int blocks, int runs,
              QVector<ScaleRow> &rows, QString *error)
{
    for (const QString &program : {flasher, besideBench("kavro-bootsim")}) {
        if (!QFileInfo(program).isExecutable()) {
            *error = QStringLiteral("no program at %1").arg(program);
            return false;
        }
    }
    QTemporaryDir dir;
    Scale scale{flasher, {}, {}, dir.filePath(QStringLiteral("flash.log"))};
    scale.longJob.blocks = blocks;
    scale.shortJob.blocks = 1;
    if (!dir.isValid() || !writeImage(dir, QStringLiteral("long.bin"), scale.longJob) ||
        !writeImage(dir, QStringLiteral("short.bin"), scale.shortJob)) {
        *error = QStringLiteral("cannot write the images");
        return false;
    }
    for (const int boards : boardCounts) {
        ScaleRow row;
        row.boards = boards;
        for (int run = 1; run <= runs; ++run) {
            if (!scaleRun(scale, run, row, error))
                return false;
        }
        rows.append(row);
    }
    return true;
}

void printScaleTable(const QVector<ScaleRow> &rows, int blocks, int runs)
{
    std::printf("\nscale: kavro-flash -q -b %d over N boards, each a kavro-bootsim process, "
                "%d blocks\n(medians over %d run(s))\n",
                GangBaud, blocks, runs);
    std::printf("  %-8s%18s%16s%10s%16s%16s\n", "boards", "cpu/block/board", "bare host cpu",
                "ratio", "slowest share", "peak RSS (MiB)");
    for (const ScaleRow &r : rows) {
        const double cpu = median(r.cpuUsPerBlock);
        const double bare = median(r.bareCpuUs);
        std::printf("  %-8d%15.1f us%13.1f us%10.1f%16.3f%16.1f\n", r.boards, cpu, bare, cpu / bare,
                    median(r.slowestShare), median(r.peakRssMiB));
    }
    std::printf("  cpu: the flasher's user + system time (wait4), a %d-block image's run less a\n"
                "    one-block image's, over every board's blocks\n"
                "  bare host: its own thread's CPU per 71-byte frame out and 6-byte reply back\n"
                "    over a pty with poll and read, timed after each run; ratio: cpu over it\n"
                "  share: the wire time over the board's block phase, its late replies taken\n"
                "    out; peak RSS: the flasher's, on the long image\n",
                blocks);
    for (const ScaleRow &r : rows)
        std::printf("bench-scale: boards=%d cpu_us_per_block=%.1f bare_cpu_us=%.1f ratio=%.1f "
                    "slowest_share=%.3f peak_rss_mib=%.1f\n",
                    r.boards, median(r.cpuUsPerBlock), median(r.bareCpuUs),
                    median(r.cpuUsPerBlock) / median(r.bareCpuUs), median(r.slowestShare),
                    median(r.peakRssMiB));
    std::fflush(stdout);
}

} // namespace Bench
