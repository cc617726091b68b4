#ifndef FLASHERPROCESS_H
#define FLASHERPROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <optional>
#include <vector>

#include <sys/resource.h>

// The real programs as child processes: kavro-bootsim boards, each in a
// process of its own, and kavro-flash run over them.
namespace Bench
{

// A program beside kavro-bench.
QString besideBench(const char *name);

// What a simulated board says of its one session when it is stopped.
struct BoardStats {
    int endFrames = -1;
    int blocks = -1;
    qint64 blockPhaseNs = 0;
    qint64 latenessNs = 0;
};

// kavro-bootsim processes, one per board, paced to the gang's line rate.
// They sleep until a reply is due rather than spin, so that dozens of them
// leave the CPU to the flasher; the lateness that costs is for the caller
// to take out.
class Boards
{
public:
    bool start(int count, QString *error);
    // Stops every board and takes what it says of its session.
    QVector<BoardStats> stop();
    ~Boards() { stop(); }

    QStringList ports;

private:
    std::vector<std::unique_ptr<QProcess>> boards;
};

qint64 ns(const timeval &t);

// Runs `command` (a program and its arguments) to its end, killed after
// `timeoutMs`; its resource use comes from wait4, so it is the child's
// alone. Its output goes to `log`. False, with what it said, unless it
// exits with status 0.
bool runToEnd(const QStringList &command, const QString &log, int timeoutMs, rusage *usage,
              QString *error);

// The share of the wire's time that the slowest board's blocks took, once
// every board has taken the whole image in one session; none, with which
// board did not, otherwise.
std::optional<double> slowestShare(const QVector<BoardStats> &stats, int blocks, QString *error);

} // namespace Bench

#endif
