// kavro-flash: the download sessions of the window, from a terminal or a
// script, any number of boards at once.

#include "cli/common/interrupts.h"
#include "cli/common/output.h"
#include "cli/doctor/doctor.h"
#include "cli/flash/adapteradvice.h"
#include "cli/flash/boardgang.h"
#include "cli/flash/gangreport.h"
#include "cli/station/record.h"
#include "cli/station/station.h"
#ifdef KAVRO_STATION_MODE
#include "cli/station/stationreport.h"
#endif
#include "cli/common/exitstatus.h"
#include "download/deviceframe.h"
#include "download/firmwareimage.h"
#include "download/outcome.h"
#include "serial/portdetails.h"
#include "serial/serialdevicemap.h"
#include "serial/serialport.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

#include <csignal>
#include <cstdio>

namespace
{

constexpr int DefaultBaud = 115200;
constexpr int OtherBaud = 256000;

// Every exit status with what it means for boards named with -p and for a
// station: the one table, as the man page and the README show it.
QString description()
{
    const struct {
        int status;
        const char *boards;
        const char *station;
    } statuses[] = {
        {ExitStatus::Success, Outcome::Success.text(), "every board flashed succeeded"},
        {ExitStatus::Failed, "Download stop (the board refused or stopped answering)",
         "a board failed, or a record line could not be written"},
        {ExitStatus::Usage, "usage error", "the record cannot be opened or is not a record"},
        {ExitStatus::FileError, Outcome::FileError.text(),
         "the image changed on disk or could no longer be read"},
        {ExitStatus::OpenFailed, Outcome::OpenFailed.text(), nullptr},
        {ExitStatus::TimeOut, Outcome::TimeOut.text(), nullptr},
        {ExitStatus::Interrupted, "Download Cancel (SIGINT or SIGTERM)", "interrupted"},
    };
    QString text = QStringLiteral(
        "Writes a firmware image into one or more boards through their serial boot loaders,\n"
        "all boards at once.\n"
        "\n"
        "PORT is a device under /dev (ttyUSB0) or a path (/dev/serial/by-id/...).\n"
        "\n"
        "Station mode (--station) flashes every board plugged into any of the ports,\n"
        "one after another, until Ctrl-C or --count boards.\n"
        "\n"
        "Exit status:\n");
    for (const auto &s : statuses) {
        text += QStringLiteral("  %1%2\n").arg(s.status, -5).arg(QLatin1String(s.boards));
        if (s.station)
            text += QStringLiteral("       station: %1\n").arg(QLatin1String(s.station));
    }
    text += QStringLiteral(
        "With several boards: 0 when every board succeeded, otherwise the status of\n"
        "the first board, in command-line order, that did not. A record line that\n"
        "could not be written makes the station's status 1, whatever else happened.");
    return text;
}

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

// Runs until every session has ended. The first
// SIGINT or SIGTERM (on Windows also a closing console) cancels the
// sessions; a second ends the process at once.
template <typename Sessions, typename Report>
void runToEnd(QCoreApplication &app, Sessions &sessions, Report &report)
{
    Interrupts interrupts;
    QObject::connect(&interrupts, &Interrupts::interrupted, &sessions, [&](int signal) {
        report.interrupted(signal);
        sessions.interrupt();
    });
    QObject::connect(&sessions, &Sessions::finished, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    sessions.start();
    app.exec();
}

// Empty when the image can be sent, otherwise why it cannot.
QString imageProblem(const QString &path, qint64 *blocks)
{
    const QFileInfo info(path);
    if (!info.exists())
        return QStringLiteral("no such file");
    if (!info.isFile())
        return QStringLiteral("not a regular file");
    FirmwareImage image;
    if (!image.open(path))
        return QStringLiteral("cannot be read");
    if (!image.checkHeader())
        return QStringLiteral("no \"Zentrak\" header");
    if (image.blockCount() > DeviceFrame::MaxBlocks)
        return QStringLiteral("%1 data blocks, more than %2")
            .arg(image.blockCount())
            .arg(DeviceFrame::MaxBlocks);
    *blocks = image.blockCount();
    return QString();
}

// Two names of one port (a by-id link and its device, say) are the same.
QString portIdentity(const QString &port)
{
    const QString path = SerialPort::devicePath(port);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    return canonical.isEmpty() ? QFileInfo(path).absoluteFilePath() : canonical;
}

int listPorts(bool json)
{
    const QStringList names = SerialDeviceMap::portNames();
    for (const QString &name : names) {
        const PortDetails details = PortDetails::lookUp(name);
        if (json) {
            const QJsonObject object{
                {QStringLiteral("port"), name},
                {QStringLiteral("description"), details.description},
                {QStringLiteral("manufacturer"), details.manufacturer},
                {QStringLiteral("usb_id"), details.vendorProduct},
                {QStringLiteral("serial_number"), details.serialNumber},
                {QStringLiteral("by_id"), details.byIdLink},
                {QStringLiteral("latency_timer_ms"),
                 details.latencyTimerMs >= 0 ? QJsonValue(details.latencyTimerMs) : QJsonValue()}};
            std::printf("%s\n", QJsonDocument(object).toJson(QJsonDocument::Compact).constData());
        } else {
            const QStringList parts = details.describe();
            std::printf("%s\n", qPrintable(parts.isEmpty() ? name
                                                           : name + QStringLiteral("  ") +
                                                                 parts.join(QStringLiteral(", "))));
        }
    }
    if (names.isEmpty())
        std::fprintf(stderr, "kavro-flash: no serial ports found\n");
    return 0;
}

#ifdef KAVRO_STATION_MODE
// Flashes board after board until interrupted, --count is reached or the
// image changes on disk.
int runStation(QCoreApplication &app, const Station::Settings &settings, bool json, bool quiet)
{
    Station station(settings);
    QString error;
    QString notice;
    int status = 0;
    const bool prepared = station.prepare(&error, &status, &notice);
    if (!notice.isEmpty())
        std::fprintf(stderr, "kavro-flash: %s\n", qPrintable(notice));
    if (!prepared) {
        std::fprintf(stderr, "kavro-flash: %s\n", qPrintable(error));
        return status;
    }
    std::FILE *human = json ? stderr : stdout;
    const bool terminal = Output::escapesAllowed(human);
    StationReport report(station, human,
                         terminal ? StationReport::Style::Live : StationReport::Style::Lines,
                         terminal && qEnvironmentVariableIsEmpty("NO_COLOR"), quiet, json);

    // Once a board's port is open, its adapter's timer is as low as it gets.
    QObject::connect(&station, &Station::changed, &station, [&station](int index) {
        if (station.slot(index).state == Station::State::Flashing &&
            station.session(index).blocksSent > 0)
            AdapterAdvice::warnOnce(station.slot(index).port, station.settings().blocks,
                                    station.settings().baud);
    });
    runToEnd(app, station, report);
    report.summary();
    return station.exitStatus();
}
#else
int runStation(QCoreApplication &, const Station::Settings &, bool, bool)
{
    std::fprintf(stderr, "kavro-flash: station mode needs ports that come and go as device "
                         "files, which this system does not have\n");
    return ExitStatus::Usage;
}
#endif

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

    QCommandLineParser parser;
    parser.setApplicationDescription(description());
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")},
                                        QStringLiteral("Serial port of a board; repeat for more."),
                                        QStringLiteral("PORT"));
    const QCommandLineOption baudOption({QStringLiteral("b"), QStringLiteral("baud")},
                                        QStringLiteral("Line rate: 115200 (default) or 256000."),
                                        QStringLiteral("RATE"), QString::number(DefaultBaud));
    const QCommandLineOption listOption(
        QStringLiteral("list"),
        QStringLiteral("List the serial ports the window offers, and exit."));
    const QCommandLineOption jsonOption(
        QStringLiteral("json"),
        QStringLiteral("JSON Lines on standard output; human text goes to standard error."));
    const QCommandLineOption quietOption({QStringLiteral("q"), QStringLiteral("quiet")},
                                         QStringLiteral("Only each board's end and the summary."));
    const QCommandLineOption verboseOption(
        QStringLiteral("verbose"), QStringLiteral("Trace every session step on standard error."));
    const QCommandLineOption stationOption(
        QStringLiteral("station"),
        QStringLiteral("Production station: flash every board plugged into any of the ports, one "
                       "after another, each port a fixture slot."));
    const QCommandLineOption countOption(QStringLiteral("count"),
                                         QStringLiteral("Station: stop after N boards in all."),
                                         QStringLiteral("N"));
    const QCommandLineOption recordOption(
        QStringLiteral("record"),
        QStringLiteral("Station: append one JSON line per board to FILE, on disk at once."),
        QStringLiteral("FILE"));
    const QCommandLineOption settleOption(
        QStringLiteral("settle"),
        QStringLiteral("Station: a port away for less than MS milliseconds (default 1000) is "
                       "the same board coming back, not a new one."),
        QStringLiteral("MS"), QStringLiteral("1000"));
    const QCommandLineOption checkRecordOption(
        QStringLiteral("check-record"),
        QStringLiteral("Check a station's record FILE: every line whole, the chain of lines "
                       "unbroken, and the boards per slot; exit 0 when intact, 1 when not."),
        QStringLiteral("FILE"));
    const QCommandLineOption doctorOption(
        QStringLiteral("doctor"),
        QStringLiteral("Check each port named with -p, or every port --list shows: whether it "
                       "exists, this user may open it, another program holds it, and the "
                       "driver keeps both rates; a fix for each problem. Exit 0 when a "
                       "download could start on every port, 4 when not."));
    parser.addOptions({portOption, baudOption, listOption, jsonOption, quietOption, verboseOption,
                       stationOption, countOption, recordOption, settleOption, checkRecordOption,
                       doctorOption});
    parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                 QStringLiteral("Firmware image to write."));

    if (!parser.parse(QCoreApplication::arguments()))
        return usageError(parser.errorText());
    // Qt's own handling adds the options of the Qt libraries the program uses.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(QCoreApplication::arguments());
    if (parser.isSet(helpOption)) {
        std::printf("%s", qPrintable(parser.helpText()));
        return 0;
    }
    if (parser.isSet(versionOption))
        parser.showVersion();
    showTraces = parser.isSet(verboseOption);
    const bool json = parser.isSet(jsonOption);
    if (parser.isSet(listOption))
        return listPorts(json);
    if (parser.isSet(checkRecordOption))
        return RecordChain::check(parser.value(checkRecordOption), json);

    bool baudOk = false;
    const int baud = parser.value(baudOption).toInt(&baudOk);
    if (!baudOk || (baud != DefaultBaud && baud != OtherBaud))
        return usageError(QStringLiteral("baud rate must be 115200 or 256000, not '%1'")
                              .arg(parser.value(baudOption)));
    const QStringList ports = parser.values(portOption);
    if (parser.isSet(doctorOption)) {
        if (!parser.positionalArguments().isEmpty())
            return usageError(QStringLiteral("--doctor takes no image"));
        const int status = Doctor::run(ports, baud, json);
        Output::finish();
        return status;
    }
    if (ports.isEmpty())
        return usageError(QStringLiteral("no port given (-p PORT)"));
    QSet<QString> seen;
    for (const QString &port : ports) {
        if (port.isEmpty())
            return usageError(QStringLiteral("empty port name"));
        if (seen.contains(portIdentity(port)))
            return usageError(QStringLiteral("port '%1' is named twice").arg(port));
        seen.insert(portIdentity(port));
    }
    const bool station = parser.isSet(stationOption);
    int count = 0;
    if (parser.isSet(countOption)) {
        bool countOk = false;
        count = parser.value(countOption).toInt(&countOk);
        if (!countOk || count <= 0)
            return usageError(QStringLiteral("--count needs a positive number, not '%1'")
                                  .arg(parser.value(countOption)));
    }
    int settleMs = 0;
    {
        bool settleOk = false;
        settleMs = parser.value(settleOption).toInt(&settleOk);
        if (!settleOk || settleMs < 0)
            return usageError(QStringLiteral("--settle needs a number of milliseconds, not '%1'")
                                  .arg(parser.value(settleOption)));
    }
    if (!station &&
        (parser.isSet(countOption) || parser.isSet(recordOption) || parser.isSet(settleOption)))
        return usageError(QStringLiteral("--count, --record and --settle belong to --station"));
    if (parser.isSet(recordOption) && parser.value(recordOption).isEmpty())
        return usageError(QStringLiteral("--record needs a file name"));
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return usageError(positional.isEmpty() ? QStringLiteral("no image given")
                                               : QStringLiteral("only one image can be written"));

    // Checked before any port is opened: a bad image touches no line.
    const QString imagePath = positional.first();
    qint64 blocks = 0;
    const QString problem = imageProblem(imagePath, &blocks);
    if (!problem.isEmpty()) {
        std::fprintf(stderr, "kavro-flash: File Error: %s: %s\n", qPrintable(imagePath),
                     qPrintable(problem));
        return ExitStatus::FileError;
    }

    if (station) {
        Station::Settings settings;
        settings.ports = ports;
        settings.baud = baud;
        settings.imagePath = imagePath;
        settings.blocks = blocks;
        settings.count = count;
        settings.recordPath = parser.value(recordOption);
        settings.settleMs = settleMs;
        const int status = runStation(app, settings, json, parser.isSet(quietOption));
        Output::finish();
        return status;
    }

    std::FILE *human = json ? stderr : stdout;
    const bool terminal = Output::escapesAllowed(human);
    const bool colour = terminal && qEnvironmentVariableIsEmpty("NO_COLOR");

    BoardGang gang(ports, baud, imagePath);
    HumanReport report(gang, blocks, baud, human,
                       terminal ? HumanReport::Style::Live : HumanReport::Style::Lines, colour,
                       parser.isSet(quietOption));
    std::unique_ptr<JsonReport> jsonReport;
    if (json)
        jsonReport = std::make_unique<JsonReport>(gang, blocks);

    // Once a board's port is open, its adapter's timer is as low as it gets.
    QObject::connect(&gang, &BoardGang::progressed, &gang, [&gang, blocks, baud](int index) {
        AdapterAdvice::warnOnce(gang.port(index), blocks, baud);
    });
    QElapsedTimer clock;
    clock.start();
    runToEnd(app, gang, report);
    const RunTotals totals = RunTotals::of(gang, clock.elapsed());
    report.summary(totals);
    if (jsonReport)
        jsonReport->summary(totals);
    Output::finish();
    return totals.exitStatus;
}
