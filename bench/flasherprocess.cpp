#include "bench/flasherprocess.h"

#include "bench/gangrun.h"
#include "bench/session.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

extern char **environ;

namespace Bench
{

namespace
{

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

} // namespace

QString besideBench(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

bool Boards::start(int count, QString *error)
{
    for (int i = 0; i < count; ++i) {
        auto board = std::make_unique<QProcess>();
        board->start(besideBench("kavro-bootsim"),
                     {QStringLiteral("--wire-baud"), QString::number(GangBaud),
                      QStringLiteral("--loose-timing"), QStringLiteral("--stats")});
        if (!board->waitForStarted(10000) || !board->waitForReadyRead(10000) ||
            !board->canReadLine()) {
            *error =
                QStringLiteral("board %1 did not start: %2").arg(i + 1).arg(board->errorString());
            return false;
        }
        ports << QString::fromLocal8Bit(board->readLine().trimmed());
        boards.push_back(std::move(board));
    }
    return true;
}

QVector<BoardStats> Boards::stop()
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

qint64 ns(const timeval &t)
{
    return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000;
}

bool runToEnd(const QStringList &command, const QString &log, int timeoutMs, rusage *usage,
              QString *error)
{
    const QString name = QFileInfo(command.value(0)).fileName();
    std::vector<QByteArray> storage{QFile::encodeName(command.value(0))};
    for (const QString &arg : command.mid(1))
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
        *error = QStringLiteral("cannot start %1: %2")
                     .arg(name, QString::fromLocal8Bit(strerror(spawned)));
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
    *error = QStringLiteral("%1 failed (status %2): %3")
                 .arg(name)
                 .arg(status)
                 .arg(QString::fromLocal8Bit(output.readAll().trimmed()));
    return false;
}

std::optional<double> slowestShare(const QVector<BoardStats> &stats, int blocks, QString *error)
{
    double slowest = 1e9;
    for (int i = 0; i < stats.size(); ++i) {
        const BoardStats &s = stats[i];
        if (s.endFrames != 1 || s.blocks != blocks || s.blockPhaseNs <= s.latenessNs) {
            *error = QStringLiteral("board %1: %2 end frame(s), %3 of %4 blocks")
                         .arg(i + 1)
                         .arg(s.endFrames)
                         .arg(s.blocks)
                         .arg(blocks);
            return std::nullopt;
        }
        const double wireNs = blocks * wireNsPerBlock(GangBaud);
        slowest = std::min(slowest, wireNs / (s.blockPhaseNs - s.latenessNs));
    }
    return slowest;
}

} // namespace Bench
