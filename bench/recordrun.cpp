#include "bench/recordrun.h"

#include "bench/flasherprocess.h"
#include "bench/session.h"
#include "cli/record/boardline.h"
#include "cli/record/chain.h"
#include "download/outcome.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace Bench
{

namespace
{

constexpr double ReadyGoalSeconds = 0.3;
constexpr double MemoryGoalMiB = 40;
constexpr double SpeedGoalShare = 0.5;
constexpr int Slots = 4;

// `values` distinct values of `width` bytes (4 to 16), one a line, in no
// order: the first four bytes of each are its number, mixed.
bool makeList(const QString &path, qint64 values, int width, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file.errorString();
        return false;
    }
    QByteArray text = "# stamp values\n";
    for (qint64 n = 1; n <= values; ++n) {
        const quint64 mixed = quint64(n) * 0x9E3779B97F4A7C15ULL;
        const QByteArray line =
            QByteArray::number(quint32(quint64(n) * 2654435761ULL), 16).rightJustified(8, '0') +
            QByteArray::number(mixed, 16).rightJustified(16, '0').repeated(2);
        text += line.left(2 * width) + '\n';
        if (text.size() < (1 << 20) && n < values)
            continue;
        if (file.write(text) != text.size()) {
            *error = file.errorString();
            return false;
        }
        text.clear();
    }
    return true;
}

// A station's lines for `boards` boards, each with its reservation of the
// next of `values`, made by the record's own builder and chain, written
// without a sync per line.
bool makeRecord(const QString &path, qint64 boards, bool checkpoints, Stamp::Source &values,
                QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        *error = file.errorString();
        return false;
    }
    const Stamp::Plan &plan = values.plan();
    const Record::RunImage image{
        QStringLiteral("firmware.bin"), QString(64, QLatin1Char('a')), plan, {}};
    Record::Chain chain;
    QDateTime time = QDateTime::fromString(QStringLiteral("2026-01-05T06:00:00Z"), Qt::ISODate);
    const auto put = [&](Record::Line line) {
        const QByteArray text = chain.link(&line);
        chain.appended(line, text);
        return file.write(text + '\n') == text.size() + 1;
    };
    for (qint64 n = 1; n <= boards; ++n) {
        Stamp::Value value;
        if (!values.next(&value)) {
            *error = QStringLiteral("the list holds fewer values than %1 boards").arg(boards);
            return false;
        }
        const QString port = QStringLiteral("/dev/ttyUSB%1").arg(n % Slots);
        Record::Line reservation;
        reservation.kind = Record::Line::Kind::Reservation;
        reservation.reservation = {
            time,           port,         int(n),       value.hex(),        value.numberJson(),
            value.listLine, plan.field(), plan.order(), values.listSha256()};
        time = time.addMSecs(1800);
        // One board in fifty fails.
        const bool good = n % 50 != 0;
        const Record::SessionEnd end{
            QLatin1String(good ? Outcome::Success.text() : Outcome::Stop.text()),
            good ? 0 : 1,
            good,
            40,
            1750,
            QString()};
        const Record::BoardResult result{int(n), port,  QStringLiteral("FT%1").arg(n, 8, 16),
                                         end,    value, QString(64, QLatin1Char('b'))};
        Record::Line board;
        board.board = Record::boardLine(result, image, time);
        if (!put(reservation) || !put(board) ||
            (checkpoints && chain.checkpointDue(Record::CheckpointEvery) &&
             !put(chain.checkpoint(time)))) {
            *error = file.errorString();
            return false;
        }
    }
    return file.flush();
}

// The time a program takes to its end, and its peak memory.
struct Run {
    double seconds = 0;
    double peakMiB = 0;
    bool ok = false;
};

Run timed(const QStringList &command)
{
    QElapsedTimer clock;
    clock.start();
    rusage usage{};
    QString error;
    Run run;
    run.ok = runToEnd(command, QStringLiteral("/dev/null"), 3600000, &usage, &error);
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.peakMiB = usage.ru_maxrss / 1024.0;
    if (!run.ok)
        std::fprintf(stderr, "kavro-bench: %s\n", qPrintable(error));
    return run;
}

// The fastest of a few runs: the others lost time to the machine's other
// work, not to the program.
Run fastestOf(const QStringList &command)
{
    constexpr int Runs = 3;
    Run fastest = timed(command);
    for (int n = 1; n < Runs && fastest.ok; ++n) {
        const Run run = timed(command);
        if (!run.ok)
            return run;
        if (run.seconds < fastest.seconds)
            fastest = run;
    }
    return fastest;
}

double peakOf(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024;
    }
    return 0;
}

// From the station's start to its word that it is ready, and its peak
// memory then; the station is stopped after.
Run stationReady(const QString &program, const QString &record, const QString &image,
                 const QString &slot, const Stamp::Plan &stamp)
{
    QProcess station;
    QElapsedTimer clock;
    clock.start();
    // With --json, the word that it is ready comes on standard error.
    station.setReadChannel(QProcess::StandardError);
    QStringList arguments{QStringLiteral("--station"), QStringLiteral("--json"),
                          QStringLiteral("-p"),        slot,
                          QStringLiteral("--record"),  record,
                          QStringLiteral("--stamp"),   QStringLiteral("0x80:%1").arg(stamp.width)};
    if (!stamp.listPath.isEmpty())
        arguments << QStringLiteral("--stamp-list") << stamp.listPath;
    station.start(program, arguments << image);
    Run run;
    QByteArray err;
    while (station.waitForReadyRead(30000) || station.state() == QProcess::Running) {
        err += station.readAllStandardError();
        if (err.contains("station with")) {
            run.seconds = clock.nsecsElapsed() / 1e9;
            run.peakMiB = peakOf(station.processId());
            run.ok = true;
            break;
        }
        if (clock.elapsed() > 600000)
            break;
    }
    if (!run.ok)
        std::fprintf(stderr, "kavro-bench: the station did not start: %s\n", err.constData());
    station.kill();
    station.waitForFinished();
    return run;
}

QString verdict(bool met)
{
    return met ? QStringLiteral("ok") : QStringLiteral("MISSED");
}

} // namespace

bool recordWay(const RecordSettings &settings, QString *error)
{
    QTemporaryDir dir;
    Job job;
    job.blocks = 64;
    if (!dir.isValid() || !writeImage(dir, QStringLiteral("firmware.bin"), job)) {
        *error = QStringLiteral("cannot write the image");
        return false;
    }
    Stamp::Plan plan;
    plan.offset = 0x80;
    plan.width = settings.listValues > 0 ? settings.listWidth : 4;
    if (settings.listValues > 0) {
        plan.listPath = dir.filePath(QStringLiteral("values.txt"));
        if (!makeList(plan.listPath, settings.listValues, plan.width, error))
            return false;
    }
    std::printf("\nrecord: %s, each size's record made with%s checkpoints, stamps %s\n",
                qPrintable(settings.flashProgram), settings.checkpoints ? "" : "out",
                settings.listValues > 0
                    ? qPrintable(QStringLiteral("from a list of %1 values of %2 bytes")
                                     .arg(settings.listValues)
                                     .arg(plan.width))
                    : "numbered");
    std::printf("%10s %8s | %-22s %-18s | %-22s %-18s %-9s | %9s | %-22s %-18s\n", "boards", "MB",
                "station ready (<=0.3 s)", "peak (<40 MB)", "check-record", "peak (<40 MB)",
                "speed", "sha256sum", "report (HTML and CSV)", "peak (<40 MB)");
    for (const qint64 boards : settings.sizes) {
        const QString record = dir.filePath(QStringLiteral("record-%1.jsonl").arg(boards));
        Stamp::Source values;
        if (!values.open(plan, error) ||
            !makeRecord(record, boards, settings.checkpoints, values, error))
            return false;
        const double megabytes = QFileInfo(record).size() / 1e6;
        const Run hash = fastestOf({QStringLiteral("/usr/bin/sha256sum"), record});
        const Run check =
            fastestOf({settings.flashProgram, QStringLiteral("--check-record"), record});
        const Run report =
            timed({settings.flashProgram, QStringLiteral("--report"), QStringLiteral("--html"),
                   dir.filePath(QStringLiteral("report.html")), QStringLiteral("--csv"),
                   dir.filePath(QStringLiteral("report.csv")), record});
        // The station's own start goes last: it may add a checkpoint.
        const Run ready = stationReady(settings.flashProgram, record, job.imagePath,
                                       dir.filePath(QStringLiteral("absent-slot")), plan);
        const double share = check.seconds > 0 ? hash.seconds / check.seconds : 0;
        std::printf("%10lld %8.0f | %7.3f s %-12s %7.1f MB %-7s | %7.3f s%s %-11s %7.1f MB "
                    "%-7s %5.2f %-3s | %7.3f s | %7.3f s%s %-11s %7.1f MB %-7s\n",
                    boards, megabytes, ready.seconds,
                    qPrintable(verdict(ready.ok && ready.seconds <= ReadyGoalSeconds)),
                    ready.peakMiB, qPrintable(verdict(ready.ok && ready.peakMiB < MemoryGoalMiB)),
                    check.seconds, check.ok ? "" : "!", qPrintable(verdict(check.ok)),
                    check.peakMiB, qPrintable(verdict(check.ok && check.peakMiB < MemoryGoalMiB)),
                    share, qPrintable(verdict(share >= SpeedGoalShare)), hash.seconds,
                    report.seconds, report.ok ? "" : "!", qPrintable(verdict(report.ok)),
                    report.peakMiB,
                    qPrintable(verdict(report.ok && report.peakMiB < MemoryGoalMiB)));
        std::fflush(stdout);
        QFile::remove(record);
    }
    return true;
}

} // namespace Bench
