#include "cli/options.h"

#include "cli/common/exitstatus.h"
#include "cli/report/yieldreport.h"
#include "download/linerates.h"
#include "download/outcome.h"
#include "serial/devicepath.h"

#include <QCommandLineParser>
#include <QSet>

namespace
{

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
        {ExitStatus::Failed,
         "Download stop (the board refused or stopped answering), or output could not be "
         "written",
         "a board failed, a record line or output could not be written"},
        {ExitStatus::Usage, "usage error",
         "the record cannot be opened, is not a record, another station has it, or it holds "
         "the values of another stamp"},
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

bool portsDistinct(const QStringList &ports, QString *error)
{
    QSet<QString> seen;
    for (const QString &port : ports) {
        if (port.isEmpty()) {
            *error = QStringLiteral("empty port name");
            return false;
        }
        // Two names of one port (a by-id link and its device, say) are the same.
        const QString identity = PortName::deviceOf(port);
        if (seen.contains(identity)) {
            *error = QStringLiteral("port '%1' is named twice").arg(port);
            return false;
        }
        seen.insert(identity);
    }
    return true;
}

bool refuse(QString *error, const QString &why)
{
    *error = why;
    return false;
}

// `text` as a whole number of at least `least`; false when it is not.
bool number(const QString &text, int least, int *value)
{
    bool ok = false;
    *value = text.toInt(&ok);
    return ok && *value >= least;
}

struct Parser {
    QCommandLineParser parser;
    QCommandLineOption help = parser.addHelpOption();
    QCommandLineOption version = parser.addVersionOption();
    QCommandLineOption port{{QStringLiteral("p"), QStringLiteral("port")},
                            QStringLiteral("Serial port of a board; repeat for more."),
                            QStringLiteral("PORT")};
    QCommandLineOption baud{{QStringLiteral("b"), QStringLiteral("baud")},
                            QStringLiteral("Line rate: 115200 (default) or 256000."),
                            QStringLiteral("RATE"),
                            QString::number(LineRates::All[0])};
    QCommandLineOption list{QStringLiteral("list"),
                            QStringLiteral("List the serial ports the window offers, and exit.")};
    QCommandLineOption json{
        QStringLiteral("json"),
        QStringLiteral("JSON Lines on standard output; human text goes to standard error.")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Only each board's end and the summary.")};
    QCommandLineOption verbose{QStringLiteral("verbose"),
                               QStringLiteral("Trace every session step on standard error.")};
    QCommandLineOption station{
        QStringLiteral("station"),
        QStringLiteral("Production station: flash every board plugged into any of the ports, one "
                       "after another, each port a fixture slot.")};
    QCommandLineOption count{QStringLiteral("count"),
                             QStringLiteral("Station: stop after N boards in all."),
                             QStringLiteral("N")};
    QCommandLineOption record{
        QStringLiteral("record"),
        QStringLiteral("Append one JSON line per board to FILE, on disk at once."),
        QStringLiteral("FILE")};
    QCommandLineOption continues{
        QStringLiteral("continues"),
        QStringLiteral("Begin the new --record as the one that continues the record FILE: linked "
                       "to its last line, its stamps going on where FILE's left off."),
        QStringLiteral("FILE")};
    QCommandLineOption stamp{
        QStringLiteral("stamp"),
        QStringLiteral("Give each board a value of its own in the WIDTH bytes (1 to 16) at file "
                       "offset OFFSET (decimal or 0x hex), each value reserved in the --record "
                       "first."),
        QStringLiteral("OFFSET:WIDTH")};
    QCommandLineOption stampStart{QStringLiteral("stamp-start"),
                                  QStringLiteral("Stamp: the first number (default 1)."),
                                  QStringLiteral("N")};
    QCommandLineOption stampStep{QStringLiteral("stamp-step"),
                                 QStringLiteral("Stamp: from one number to the next (default 1)."),
                                 QStringLiteral("N")};
    QCommandLineOption stampOrder{
        QStringLiteral("stamp-order"),
        QStringLiteral("Stamp: the numbers' byte order, little (default) or big."),
        QStringLiteral("ORDER")};
    QCommandLineOption stampList{
        QStringLiteral("stamp-list"),
        QStringLiteral("Stamp: the values in order from FILE, one a line as 2 x WIDTH hex "
                       "digits; blank lines and lines starting with # are skipped."),
        QStringLiteral("FILE")};
    QCommandLineOption settle{
        QStringLiteral("settle"),
        QStringLiteral("Station: a port away for less than MS milliseconds (default 1000) is "
                       "the same board coming back, not a new one."),
        QStringLiteral("MS"), QStringLiteral("1000")};
    QCommandLineOption checkRecord{
        QStringLiteral("check-record"),
        QStringLiteral("Check a station's record FILE: every line whole, the chain of lines "
                       "unbroken, and the boards per slot; exit 0 when intact, 1 when not."),
        QStringLiteral("FILE")};
    QCommandLineOption enter{
        QStringLiteral("enter"),
        QStringLiteral("Steps on DTR and RTS that put a board into its boot loader, once its "
                       "port is open: dtr=0|1 and rts=0|1 joined by commas change together, "
                       "wait=MS waits; e.g. 'dtr=1,rts=1 wait=100 rts=0 wait=50 dtr=0'."),
        QStringLiteral("SEQ")};
    QCommandLineOption leave{
        QStringLiteral("leave"),
        QStringLiteral("Steps on DTR and RTS after a board's image is written, to start it "
                       "(as --enter)."),
        QStringLiteral("SEQ")};
    QCommandLineOption job{
        QStringLiteral("job"),
        QStringLiteral("Run the job FILE: the image, its SHA-256 and whatever else it fixes, "
                       "which the command line cannot change."),
        QStringLiteral("FILE")};
    QCommandLineOption writeJob{
        QStringLiteral("write-job"),
        QStringLiteral("Write a new job FILE from the options and the image given with it, the "
                       "image's SHA-256 filled in; never over an existing file."),
        QStringLiteral("FILE")};
    QCommandLineOption serve{
        QStringLiteral("serve"),
        QStringLiteral("Serve the live page and its /state and /metrics on PORT, at ADDR "
                       "(default 127.0.0.1, this machine alone; 0.0.0.0 for every network)."),
        QStringLiteral("[ADDR:]PORT")};
    QCommandLineOption report{
        QStringLiteral("report"),
        QStringLiteral("Write the yield report of the records named after the options, with "
                       "--html and/or --csv; cycle times are of each slot's last %1 boards.")
            .arg(Report::CycleWindow)};
    QCommandLineOption html{QStringLiteral("html"),
                            QStringLiteral("Report: one self-contained HTML file, FILE."),
                            QStringLiteral("FILE")};
    QCommandLineOption csv{QStringLiteral("csv"),
                           QStringLiteral("Report: one CSV row per board into FILE."),
                           QStringLiteral("FILE")};
    QCommandLineOption doctor{
        QStringLiteral("doctor"),
        QStringLiteral("Check each port named with -p, or every port --list shows: whether it "
                       "exists, this user may open it, another program holds it, and the "
                       "driver keeps both rates; a fix for each problem. Exit 0 when a "
                       "download could start on every port, 4 when not.")};

    Parser()
    {
        parser.setApplicationDescription(description());
        parser.addOptions({port,       baud,      list,      json,   quiet, verbose,    station,
                           count,      record,    continues, settle, stamp, stampStart, stampStep,
                           stampOrder, stampList, enter,     leave,  job,   writeJob,   checkRecord,
                           doctor,     serve,     report,    html,   csv});
        parser.addPositionalArgument(QStringLiteral("IMAGE"),
                                     QStringLiteral("Firmware image to write."));
    }

    bool readAction(Options *o, QString *error) const
    {
        o->action = parser.isSet(doctor)     ? Options::Action::Doctor
                    : parser.isSet(writeJob) ? Options::Action::WriteJob
                    : parser.isSet(station)  ? Options::Action::Station
                                             : Options::Action::Flash;
        o->writtenJob = parser.value(writeJob);
        if (parser.isSet(writeJob) && o->writtenJob.isEmpty())
            return refuse(error, QStringLiteral("--write-job needs a file name"));
        o->station = parser.isSet(station);
        return readSession(o, error);
    }

    // What the options ask for beyond the plain switches.
    bool readSession(Options *o, QString *error) const
    {
        if (!number(parser.value(baud), 0, &o->baud) || !LineRates::isLineRate(o->baud))
            return refuse(error, QStringLiteral("baud rate must be %1 or %2, not '%3'")
                                     .arg(LineRates::All[0])
                                     .arg(LineRates::All[1])
                                     .arg(parser.value(baud)));
        o->ports = parser.values(port);
        const QStringList positional = parser.positionalArguments();
        if (!readSequence(enter, &o->enter, error) || !readSequence(leave, &o->leave, error))
            return false;
        if (o->action == Options::Action::Doctor)
            return positional.isEmpty() || refuse(error, QStringLiteral("--doctor takes no image"));
        if (o->ports.isEmpty())
            return refuse(error, QStringLiteral("no port given (-p PORT)"));
        if (!portsDistinct(o->ports, error) || !readStation(o, error) || !readStamp(o, error) ||
            !readServe(o, error))
            return false;
        if (positional.size() != 1)
            return refuse(error, positional.isEmpty()
                                     ? QStringLiteral("no image given")
                                     : QStringLiteral("only one image can be written"));
        o->imagePath = positional.first();
        return true;
    }

    bool readStation(Options *o, QString *error) const
    {
        if (parser.isSet(count) && !number(parser.value(count), 1, &o->count))
            return refuse(error, QStringLiteral("--count needs a positive number, not '%1'")
                                     .arg(parser.value(count)));
        if (!number(parser.value(settle), 0, &o->settleMs))
            return refuse(error, QStringLiteral("--settle needs a number of milliseconds, not '%1'")
                                     .arg(parser.value(settle)));
        if (!o->station && (parser.isSet(count) || parser.isSet(settle)))
            return refuse(error, QStringLiteral("--count and --settle belong to --station"));
        o->recordPath = parser.value(record);
        if (parser.isSet(record) && o->recordPath.isEmpty())
            return refuse(error, QStringLiteral("--record needs a file name"));
        o->continuedRecord = parser.value(continues);
        if (!parser.isSet(continues))
            return true;
        if (o->continuedRecord.isEmpty() || o->recordPath.isEmpty())
            return refuse(error, QStringLiteral("--continues needs a file name, and --record for "
                                                "the new record that continues it"));
        return o->action != Options::Action::WriteJob ||
               refuse(error, QStringLiteral("--continues begins a record once: it is no part "
                                            "of a job"));
    }

    bool readSequence(const QCommandLineOption &option, LineSequence *sequence,
                      QString *error) const
    {
        if (!parser.isSet(option))
            return true;
        const LineSequenceParse parse = parseLineSequence(parser.value(option));
        *sequence = parse.sequence;
        return parse.ok() ||
               refuse(error, QStringLiteral("--%1: %2").arg(option.names().first(), *parse.error));
    }

    // The job's own settings go where the command line's would; an option
    // the job fixes is refused, naming the field.
    bool jobArguments(const Job &job, QStringList *arguments, QString *error) const
    {
        for (const auto &fixed : job.fixedOptions()) {
            if (parser.isSet(fixed.second))
                return refuse(error, QStringLiteral("--%1: the job %2 fixes %3")
                                         .arg(fixed.second, job.path, fixed.first));
        }
        if (!parser.positionalArguments().isEmpty())
            return refuse(error, QStringLiteral("%1: the job %2 fixes image")
                                     .arg(parser.positionalArguments().first(), job.path));
        if (parser.isSet(writeJob))
            return refuse(error, QStringLiteral("--write-job writes a job from options, not from "
                                                "another job"));
        // The doctor checks the job's ports at the job's rate, nothing else.
        if (!parser.isSet(doctor)) {
            *arguments += job.arguments();
            return true;
        }
        // Its sequences only tell the doctor that the ports need modem lines.
        *arguments += job.portArguments();
        if (job.enter)
            *arguments << QStringLiteral("--enter") << job.enter->text();
        if (job.leave)
            *arguments << QStringLiteral("--leave") << job.leave->text();
        return true;
    }

    // [ADDR:]PORT; an IPv6 address in brackets, "[::1]:8080".
    bool readServe(Options *o, QString *error) const
    {
        if (!parser.isSet(serve))
            return true;
        const QString value = parser.value(serve);
        const int colon = value.lastIndexOf(QLatin1Char(':'));
        QString address = colon < 0 ? QStringLiteral("127.0.0.1") : value.left(colon);
        if (address.startsWith(QLatin1Char('[')) && address.endsWith(QLatin1Char(']')))
            address = address.mid(1, address.size() - 2);
        if (!number(value.mid(colon + 1), 0, &o->servePort) || o->servePort > 65535 ||
            address.isEmpty())
            return refuse(
                error, QStringLiteral("--serve needs [ADDR:]PORT, PORT from 0 to 65535, not '%1'")
                           .arg(value));
        o->serveAddress = address;
        return true;
    }

    bool readReport(Options *o, QString *error) const
    {
        o->reportHtml = parser.value(html);
        o->reportCsv = parser.value(csv);
        o->reportRecords = parser.positionalArguments();
        if (o->reportHtml.isEmpty() && o->reportCsv.isEmpty())
            return refuse(error, QStringLiteral("--report needs --html FILE, --csv FILE or both"));
        return !o->reportRecords.isEmpty() ||
               refuse(error, QStringLiteral("--report needs one or more records"));
    }

    bool readStamp(Options *o, QString *error) const
    {
        const bool numbers =
            parser.isSet(stampStart) || parser.isSet(stampStep) || parser.isSet(stampOrder);
        if (!parser.isSet(stamp))
            return !(numbers || parser.isSet(stampList)) ||
                   refuse(error, QStringLiteral("--stamp-start, --stamp-step, --stamp-order and "
                                                "--stamp-list need --stamp"));
        Stamp::Plan &plan = o->stamp;
        if (!Stamp::parseField(parser.value(stamp), &plan, error))
            return false;
        if (o->recordPath.isEmpty())
            return refuse(error, QStringLiteral("--stamp needs --record: the record is the ledger "
                                                "that keeps a value from going to two boards"));
        if (numbers && parser.isSet(stampList))
            return refuse(error, QStringLiteral("--stamp-list takes the values from its file: no "
                                                "--stamp-start, --stamp-step or --stamp-order"));
        plan.listPath = parser.value(stampList);
        if (parser.isSet(stampList) && plan.listPath.isEmpty())
            return refuse(error, QStringLiteral("--stamp-list needs a file name"));
        const auto numberOf = [this, error](const QCommandLineOption &option, quint64 *value) {
            return !parser.isSet(option) || Stamp::parseNumber(parser.value(option), value) ||
                   refuse(error, QStringLiteral("--%1 needs a whole number, not '%2'")
                                     .arg(option.names().first(), parser.value(option)));
        };
        if (!numberOf(stampStart, &plan.start) || !numberOf(stampStep, &plan.step))
            return false;
        const QString order = parser.value(stampOrder);
        if (parser.isSet(stampOrder) && order != QLatin1String("little") &&
            order != QLatin1String("big"))
            return refuse(error,
                          QStringLiteral("--stamp-order is little or big, not '%1'").arg(order));
        plan.bigEndian = order == QLatin1String("big");
        return true;
    }
};

} // namespace

bool Options::parse(const QStringList &arguments, Options *options, QString *error)
{
    Parser p;
    QCommandLineParser &parser = p.parser;
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    // Qt's own handling adds the options of the Qt libraries the program uses.
    if (parser.isSet(QStringLiteral("help-all")))
        parser.process(arguments);
    if (parser.isSet(p.version))
        parser.showVersion();
    Options &o = *options;
    o.verbose = parser.isSet(p.verbose);
    o.json = parser.isSet(p.json);
    o.quiet = parser.isSet(p.quiet);
    if (parser.isSet(p.help)) {
        o.action = Action::Help;
        o.helpText = parser.helpText();
        return true;
    }
    if (parser.isSet(p.list)) {
        o.action = Action::List;
        return true;
    }
    if (parser.isSet(p.checkRecord)) {
        o.action = Action::CheckRecord;
        o.checkedRecord = parser.value(p.checkRecord);
        return true;
    }
    if (parser.isSet(p.report)) {
        o.action = Action::Report;
        return p.readReport(&o, error);
    }
    if (parser.isSet(p.html) || parser.isSet(p.csv)) {
        *error = QStringLiteral("--html and --csv belong to --report");
        return false;
    }
    if (parser.isSet(p.job)) {
        const JobRead read = readJob(parser.value(p.job));
        if (!read.ok())
            return refuse(error, read.error->text());
        QStringList withJob = arguments;
        if (!p.jobArguments(read.job, &withJob, error))
            return false;
        o.job = read.job;
        Parser again;
        if (!again.parser.parse(withJob))
            return refuse(error, again.parser.errorText());
        return again.readAction(&o, error);
    }
    return p.readAction(&o, error);
}
