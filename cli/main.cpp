// kavro-flash: the download sessions of the window, from a terminal or a
// script, any number of boards at once.

#include "cli/common/exitstatus.h"
#include "cli/common/interrupts.h"
#include "cli/common/output.h"
#include "cli/doctor/doctor.h"
#include "cli/flash/adapteradvice.h"
#include "cli/flash/boardgang.h"
#include "cli/flash/gangrecord.h"
#include "cli/flash/gangreport.h"
#include "cli/job/job.h"
#include "cli/options.h"
#include "cli/page/livepage.h"
#include "cli/record/recordcheck.h"
#include "cli/report/yieldreport.h"
#include "cli/station/station.h"
#include "cli/station/stationreport.h"
#include "download/firmwareimage.h"
#include "serial/portdetails.h"
#include "serial/serialdevicemap.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>

#include <csignal>
#include <cstdio>

namespace
{

bool showTraces = false;
QtMessageHandler defaultHandler = nullptr;

// The worker traces every step to the debug channel: useful with --verbose,
// noise otherwise. Sessions trace from their own threads, so the lines are
// handed to the writer of standard error, which drops them rather than hold
// up a session when its reader is behind.
void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtFatalMsg)
        defaultHandler(type, context, message);
    else if (type != QtDebugMsg || showTraces)
        Output::offer(stderr, qFormatLogMessage(type, context, message) + QLatin1Char('\n'));
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "kavro-flash: %s\nTry 'kavro-flash --help' for more information.\n",
                 qPrintable(message));
    return ExitStatus::Usage;
}

// Runs until every session has ended. The first SIGINT or SIGTERM (on
// Windows also a closing console) cancels the sessions; a second ends the
// process at once.
template <typename Sessions, typename Report>
void runToEnd(QCoreApplication &app, Interrupts &interrupts, Sessions &sessions, Report &report)
{
    const QMetaObject::Connection cancel =
        QObject::connect(&interrupts, &Interrupts::interrupted, &sessions, [&](int signal) {
            report.interrupted(signal);
            sessions.interrupt();
        });
    QObject::connect(&sessions, &Sessions::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    sessions.start();
    app.exec();
    QObject::disconnect(cancel);
}

int listPorts(bool json)
{
    const QStringList names = SerialDeviceMap::portNames();
    for (const QString &name : names) {
        const PortDetails details = PortDetails::lookUp(name);
        if (json) {
            Output::putJson({{QStringLiteral("event"), QStringLiteral("port")},
                             {QStringLiteral("port"), name},
                             {QStringLiteral("description"), details.description},
                             {QStringLiteral("manufacturer"), details.manufacturer},
                             {QStringLiteral("usb_id"), details.vendorProduct},
                             {QStringLiteral("serial_number"), details.serialNumber},
                             {QStringLiteral("by_id"), details.byIdLink},
                             {QStringLiteral("latency_timer_ms"),
                              details.latencyTimerMs >= 0 ? QJsonValue(details.latencyTimerMs)
                                                          : QJsonValue()}});
        } else {
            const QStringList parts = details.describe();
            Output::put(stdout, (parts.isEmpty() ? name
                                                 : name + QStringLiteral("  ") +
                                                       parts.join(QStringLiteral(", "))) +
                                    QLatin1Char('\n'));
        }
    }
    if (names.isEmpty())
        Output::put(stderr, QStringLiteral("kavro-flash: no serial ports found\n"));
    return ExitStatus::Success;
}

Record::JobMark jobMark(const Options &options)
{
    if (!options.job)
        return {};
    return {options.job->name, options.job->sha256, options.job->quantity};
}

QString sha256Of(const QString &path, QString *error)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !hash.addData(&file)) {
        *error = file.errorString();
        return QString();
    }
    return QString::fromLatin1(hash.result().toHex());
}

// A job's image is the one its engineer hashed, or nothing is flashed.
int checkJobImage(const Job &job)
{
    QString error;
    const QString actual = sha256Of(job.imagePath, &error);
    if (actual.isEmpty()) {
        Output::put(stderr,
                    QStringLiteral("kavro-flash: File Error: %1: %2\n").arg(job.imagePath, error));
        return ExitStatus::FileError;
    }
    if (actual == job.imageSha256)
        return ExitStatus::Success;
    Output::put(stderr, QStringLiteral("kavro-flash: File Error: %1 is not the job's image: its "
                                       "SHA-256 is %2, the job %3 wants %4\n")
                            .arg(job.imagePath, actual, job.path, job.imageSha256));
    return ExitStatus::FileError;
}

// The command line, as a job that fixes all it says. Paths are written
// relative to the job file.
int writeJob(const Options &options)
{
    const QDir folder = QFileInfo(options.writtenJob).absoluteDir();
    Job job;
    job.name = QFileInfo(options.writtenJob).completeBaseName();
    job.imagePath = folder.relativeFilePath(QFileInfo(options.imagePath).absoluteFilePath());
    QString error;
    job.imageSha256 = sha256Of(options.imagePath, &error);
    if (job.imageSha256.isEmpty()) {
        Output::put(
            stderr,
            QStringLiteral("kavro-flash: File Error: %1: %2\n").arg(options.imagePath, error));
        return ExitStatus::FileError;
    }
    job.baud = options.baud;
    job.ports = options.ports;
    job.station = options.station;
    if (options.station)
        job.settleMs = options.settleMs;
    if (!options.recordPath.isEmpty())
        job.recordPath = folder.relativeFilePath(QFileInfo(options.recordPath).absoluteFilePath());
    if (options.stamp.active()) {
        job.stamp = options.stamp;
        if (!job.stamp->listPath.isEmpty())
            job.stamp->listPath =
                folder.relativeFilePath(QFileInfo(options.stamp.listPath).absoluteFilePath());
    }
    if (!options.enter.isEmpty())
        job.enter = options.enter;
    if (!options.leave.isEmpty())
        job.leave = options.leave;
    QFile file(options.writtenJob);
    const QByteArray text = jobText(job);
    if (!file.open(QIODevice::WriteOnly | QIODevice::NewOnly)) {
        Output::put(stderr,
                    QStringLiteral("kavro-flash: cannot write the job %1: %2\n")
                        .arg(options.writtenJob, file.exists() ? QStringLiteral("it exists already")
                                                               : file.errorString()));
        return ExitStatus::Usage;
    }
    if (file.write(text) != text.size() || !file.flush()) {
        Output::put(stderr, QStringLiteral("kavro-flash: cannot write the job %1: %2\n")
                                .arg(options.writtenJob, file.errorString()));
        file.remove();
        return ExitStatus::Failed;
    }
    Output::put(stdout, QStringLiteral("kavro-flash: wrote the job %1 for %2 (sha256 %3)\n")
                            .arg(options.writtenJob, options.imagePath, job.imageSha256));
    return ExitStatus::Success;
}

// The live page, when --serve asks for it, its lot starting from what the
// run's record held at its start (read back only to its last checkpoint);
// null with the reason in `error` when it cannot be served, and null
// without --serve.
std::unique_ptr<Page::LivePage> servePage(const Options &options, const Record::Summary &record,
                                          QString *error)
{
    if (options.servePort < 0)
        return nullptr;
    auto page = std::make_unique<Page::LivePage>();
    const Page::Totals lotBefore{int(record.successes), int(record.boards - record.successes)};
    if (!page->start(options.serveAddress, options.servePort, lotBefore,
                     !options.recordPath.isEmpty(), error))
        return nullptr;
    Output::put(stderr,
                QStringLiteral("kavro-flash: live page at %1%2\n")
                    .arg(page->url(), Page::LivePage::reachableFromOthers(options.serveAddress)
                                          ? QStringLiteral(", reachable from other machines")
                                          : QString()));
    return page;
}

Station::Settings stationSettings(const Options &options, qint64 blocks)
{
    Station::Settings settings;
    settings.ports = options.ports;
    settings.baud = options.baud;
    settings.imagePath = options.imagePath;
    settings.blocks = blocks;
    settings.count = options.count;
    settings.recordPath = options.recordPath;
    settings.continuedRecord = options.continuedRecord;
    settings.settleMs = options.settleMs;
    settings.stamp = options.stamp;
    settings.enter = options.enter;
    settings.leave = options.leave;
    settings.job = jobMark(options);
    return settings;
}

// Flashes board after board until interrupted, --count is reached or the
// image changes on disk.
int runStation(QCoreApplication &app, Interrupts &interrupts, const Options &options, qint64 blocks,
               Stamp::Source stampValues)
{
    Station station(stationSettings(options, blocks));
    QString error;
    QString notice;
    int status = 0;
    const bool prepared = station.prepare(std::move(stampValues), &error, &status, &notice);
    if (!notice.isEmpty())
        Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(notice));
    if (!prepared) {
        Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(error));
        return status;
    }
    // The bytes the station flashes are the ones it has just hashed.
    if (options.job && station.imageSha256() != options.job->imageSha256)
        return checkJobImage(*options.job);
    const std::unique_ptr<Page::LivePage> page =
        servePage(options, station.recordSummary(), &error);
    if (page)
        page->feed().watch(station);
    else if (options.servePort >= 0)
        return usageError(error);
    std::FILE *human = options.json ? stderr : stdout;
    const bool terminal = Output::escapesAllowed(human);
    StationReport report(
        station, human, terminal ? StationReport::Style::Live : StationReport::Style::Lines,
        terminal && qEnvironmentVariableIsEmpty("NO_COLOR"), options.quiet, options.json);

    // Once a board's port is open, its adapter's timer is as low as it gets.
    QObject::connect(&station, &Station::changed, &station, [&station](int index) {
        if (station.slot(index).state == Station::State::Flashing &&
            station.session(index).blocksSent > 0)
            AdapterAdvice::warnOnce(station.slot(index).port, station.settings().blocks,
                                    station.settings().baud);
    });
    runToEnd(app, interrupts, station, report);
    report.summary();
    return station.exitStatus();
}

int runGang(QCoreApplication &app, Interrupts &interrupts, const Options &options, qint64 blocks,
            Stamp::Source stampValues)
{
    std::FILE *human = options.json ? stderr : stdout;
    const bool terminal = Output::escapesAllowed(human);
    const bool colour = terminal && qEnvironmentVariableIsEmpty("NO_COLOR");

    BoardGang gang(options.ports, options.baud, options.imagePath);
    gang.setLineSequences(options.enter, options.leave);
    std::unique_ptr<GangRecord> record;
    if (!options.recordPath.isEmpty()) {
        record = std::make_unique<GangRecord>(gang, options.recordPath, options.imagePath,
                                              options.stamp);
        record->setJob(jobMark(options));
        record->setContinuedRecord(options.continuedRecord);
        QString error;
        QString notice;
        int status = 0;
        const bool prepared = record->prepare(std::move(stampValues), &error, &status, &notice);
        if (!notice.isEmpty())
            Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(notice));
        if (!prepared) {
            Output::put(stderr, QStringLiteral("kavro-flash: %1\n").arg(error));
            return status;
        }
    }
    QString error;
    const std::unique_ptr<Page::LivePage> page =
        servePage(options, record ? record->summary() : Record::Summary(), &error);
    if (page)
        page->feed().watch(gang);
    else if (options.servePort >= 0)
        return usageError(error);
    HumanReport report(gang, blocks, options.baud, human,
                       terminal ? HumanReport::Style::Live : HumanReport::Style::Lines, colour,
                       options.quiet);
    std::unique_ptr<JsonReport> jsonReport;
    if (options.json)
        jsonReport = std::make_unique<JsonReport>(gang, blocks);

    // Once a board's port is open, its adapter's timer is as low as it gets.
    const int baud = options.baud;
    QObject::connect(&gang, &BoardGang::progressed, &gang, [&gang, blocks, baud](int index) {
        AdapterAdvice::warnOnce(gang.port(index), blocks, baud);
    });
    QElapsedTimer clock;
    clock.start();
    runToEnd(app, interrupts, gang, report);
    RunTotals totals = RunTotals::of(gang, clock.elapsed());
    // A board without its line is not accounted for.
    if (record && record->lineLost())
        totals.exitStatus = ExitStatus::Failed;
    if (record)
        totals.stampRange = record->stampRange();
    report.summary(totals);
    if (jsonReport)
        jsonReport->summary(totals);
    return totals.exitStatus;
}

// Boards named with -p, or a station: the image is checked before any port
// is opened, so a bad one touches no line.
int runSessions(QCoreApplication &app, const Options &options)
{
    if (options.job) {
        const int status = checkJobImage(*options.job);
        if (status != ExitStatus::Success)
            return status;
    }
    const ImageCheck image = FirmwareImage::check(options.imagePath);
    if (!image.ok()) {
        Output::put(stderr, QStringLiteral("kavro-flash: File Error: %1: %2\n")
                                .arg(options.imagePath, image.reason()));
        return ExitStatus::FileError;
    }
    const qint64 blocks = image.blocks;
    // A stamp that cannot be given is refused before any port opens. Its
    // values (a list is read through once, here) go on to the record's ledger.
    QString error;
    Stamp::Source values;
    if (options.stamp.active() &&
        (!Stamp::fits(options.stamp, blocks, &error) || !values.open(options.stamp, &error)))
        return usageError(error);
    Interrupts interrupts;
    if (!interrupts.isValid())
        Output::put(stderr, QStringLiteral("kavro-flash: %1; Ctrl-C ends the program at once, "
                                           "without the boards' outcomes\n")
                                .arg(interrupts.failure()));
    const int status = options.action == Options::Action::Station
                           ? runStation(app, interrupts, options, blocks, std::move(values))
                           : runGang(app, interrupts, options, blocks, std::move(values));
    // Still watched while the summary goes out: a Ctrl-C now must not cut
    // it short.
    Output::finish();
    return status;
}

int run(QCoreApplication &app, const Options &options)
{
    switch (options.action) {
    case Options::Action::Help:
        Output::put(stdout, options.helpText);
        return ExitStatus::Success;
    case Options::Action::List:
        return listPorts(options.json);
    case Options::Action::CheckRecord:
        return Record::check(options.checkedRecord, options.json);
    case Options::Action::Report:
        return Report::write(options.reportRecords, options.reportHtml, options.reportCsv);
    case Options::Action::Doctor:
        return Doctor::run(options.ports, options.baud, options.json,
                           !options.enter.isEmpty() || !options.leave.isEmpty());
    case Options::Action::WriteJob:
        return writeJob(options);
    case Options::Action::Flash:
    case Options::Action::Station:
        break;
    }
    return runSessions(app, options);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kavro-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KAVRO_VERSION));
    defaultHandler = qInstallMessageHandler(messageHandler);
#ifdef SIGPIPE
    // A closed pipe downstream ends the output, not the sessions.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    Options options;
    QString error;
    if (!Options::parse(QCoreApplication::arguments(), &options, &error))
        return usageError(error);
    showTraces = options.verbose;
    const int status = run(app, options);
    // Text that should have arrived and did not is a failure of its own.
    return Output::finish() || status != ExitStatus::Success ? status : int(ExitStatus::Failed);
}
