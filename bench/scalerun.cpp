#include "bench/scalerun.h"

#include "bench/gangrun.h"
#include "bench/measure.h"
#include "bench/ptyfloor.h"
#include "bench/session.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

namespace Bench
{

namespace
{

QString besideBench(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

// What a simulated board says of its one session when it is stopped.
struct BoardStats {
    int endFrames = -1;
    int blocks = -1;
    qint64 blockPhaseNs = 0;
    qint64 latenessNs = 0;
};

BoardStats parseStats(const QByteArray &output)
{
    BoardStats stats;
    for (const QByteArray &line : output.split('\n')) {
        if (!line.startsWith("stats "))
            continue;
        for (const QByteArray &field : line.mid(6).split(' ')) {
            const QList<QByteArray> pair = field.split('=');
            const qint64 value = pair.value(1).toLongLong();
            if (pair[0] == "end_frames")
                stats.endFrames = int(value);
            else if (pair[0] == "blocks")
                stats.blocks = int(value);
            else if (pair[0] == "block_phase_ns")
                stats.blockPhaseNs = value;
            else if (pair[0] == "block_lateness_ns")
                stats.latenessNs = value;
        }
    }
    return stats;
}

// kavro-bootsim processes, one per board, paced to the gang's line rate.
// They sleep until a reply is due rather than spin, so that dozens of them
// leave the CPU to the flasher; the lateness that costs is taken out below.
class Boards
{
public:
    bool start(int count, QString *error)
    {
        for (int i = 0; i < count; ++i) {
            auto board = std::make_unique<QProcess>();
            board->start(besideBench("kavro-bootsim"),
                         {QStringLiteral("--wire-baud"), QString::number(GangBaud),
                          QStringLiteral("--loose-timing"), QStringLiteral("--stats")});
            if (!board->waitForStarted(10000) || !board->waitForReadyRead(10000) ||
                !board->canReadLine()) {
                *error = QStringLiteral("board %1 did not start: %2")
                             .arg(i + 1)
                             .arg(board->errorString());
                return false;
            }
            ports << QString::fromLocal8Bit(board->readLine().trimmed());
            boards.push_back(std::move(board));
        }
        return true;
    }

    // Stops every board and takes what it says of its session.
    QVector<BoardStats> stop()
    {
        for (auto &board : boards)
            board->terminate();
        QVector<BoardStats> stats;
        for (auto &board : boards) {
            board->waitForFinished(10000);
            stats.append(parseStats(board->readAllStandardOutput()));
        }
        boards.clear();
        return stats;
    }

    ~Boards() { stop(); }

    QStringList ports;

private:
    std::vector<std::unique_ptr<QProcess>> boards;
};

struct FlashRun {
    qint64 cpuNs = 0;
    double peakRssMiB = 0;
    double slowestShare = 0;
};

qint64 ns(const timeval &t)
{
    return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000;
}

// Runs kavro-flash to its end, killed after `timeoutMs`; its resource use
// comes from wait4, so it is the child's alone. Output goes to `log`.
bool runFlasher(const QString &flasher, const QStringList &args, const QString &log, int timeoutMs,
                rusage *usage, QString *error)
{
    std::vector<QByteArray> storage{QFile::encodeName(flasher)};
    for (const QString &arg : args)
        storage.push_back(arg.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const QByteArray logPath = QFile::encodeName(log);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.constData(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        *error = QStringLiteral("cannot start kavro-flash: %1")
                     .arg(QString::fromLocal8Bit(strerror(spawned)));
        return false;
    }

    // A hung flasher must not hang the benchmark.
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock<std::mutex> locker(lock);
        if (!ended.wait_for(locker, std::chrono::milliseconds(timeoutMs), [&] { return done; }))
            ::kill(pid, SIGKILL);
    });
    int status = 0;
    const pid_t waited = wait4(pid, &status, 0, usage);
    {
        std::lock_guard<std::mutex> locker(lock);
        done = true;
    }
    ended.notify_all();
    watchdog.join();
    if (waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return true;
    QFile output(log);
    output.open(QIODevice::ReadOnly);
    *error = QStringLiteral("kavro-flash failed (status %1): %2")
                 .arg(status)
                 .arg(QString::fromLocal8Bit(output.readAll().trimmed()));
    return false;
}

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
    QStringList args{QStringLiteral("-q"), QStringLiteral("-b"), QString::number(GangBaud)};
    for (const QString &port : sims.ports)
        args << QStringLiteral("-p") << port;
    args << job.imagePath;
    const int timeoutMs = sessionTimeoutMs(job.blocks, GangBaud) + 60000 + boards * job.blocks;
    rusage usage{};
    if (!runFlasher(scale.flasher, args, scale.log, timeoutMs, &usage, error))
        return false;
    run.cpuNs = ns(usage.ru_utime) + ns(usage.ru_stime);
    run.peakRssMiB = usage.ru_maxrss / 1024.0;

    const QVector<BoardStats> stats = sims.stop();
    run.slowestShare = 1e9;
    for (int i = 0; i < stats.size(); ++i) {
        const BoardStats &s = stats[i];
        if (s.endFrames != 1 || s.blocks != job.blocks || s.blockPhaseNs <= s.latenessNs) {
            *error = QStringLiteral("%1 boards, board %2: %3 end frame(s), %4 of %5 blocks")
                         .arg(boards)
                         .arg(i + 1)
                         .arg(s.endFrames)
                         .arg(s.blocks)
                         .arg(job.blocks);
            return false;
        }
        const double wireNs = job.blocks * wireNsPerBlock(GangBaud);
        run.slowestShare = std::min(run.slowestShare, wireNs / (s.blockPhaseNs - s.latenessNs));
    }
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
