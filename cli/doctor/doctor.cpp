#include "cli/doctor/doctor.h"

#include "cli/common/exitstatus.h"
#include "cli/common/livetable.h"
#include "cli/common/output.h"
#include "download/linerates.h"
#include "serial/serialdevicemap.h"
#include "serial/serialport.h"

#include <QJsonArray>
#include <QJsonObject>

namespace Doctor
{

namespace
{

using Level = Finding::Level;

// USB ids that brltty's device rules take for braille displays: the CH340
// and the CP210x bridges many boards carry.
const QStringList BrlttyClaims = {QStringLiteral("1a86:7523"), QStringLiteral("10c4:ea60")};

const char *levelName(Level level)
{
    switch (level) {
    case Level::Ok:
        return "OK";
    case Level::Warn:
        return "WARN";
    case Level::Fail:
        return "FAIL";
    }
    return "";
}

// What to run to learn more about a port that did not open.
QString command(const QString &port)
{
    return QStringLiteral("kavro-flash --doctor -p ") + port;
}

Finding ok(const QString &check, const QString &text)
{
    return {Level::Ok, check, text, QString()};
}

#ifndef Q_OS_WIN
Finding accessFinding(const PortSurvey &port, const SystemSurvey &system)
{
    const QString file = QStringLiteral("%1 %2:%3").arg(port.mode, port.owner, port.group);
    if (port.userMayOpen)
        return ok(QStringLiteral("access"),
                  QStringLiteral("%1 may read and write it (%2)").arg(system.user, file));
    QString fix;
    if (port.groupMayOpen && system.groupsOnFile.contains(port.group))
        fix = QStringLiteral("%1 was added to %2 after this login began: log out and in again")
                  .arg(system.user, port.group);
    else if (port.groupMayOpen)
        fix = QStringLiteral("sudo usermod -aG %1 %2, then log out and in again")
                  .arg(port.group, system.user);
    else
        fix = QStringLiteral("give the device to a group %1 is in: a udev rule with "
                             "GROUP=\"dialout\", MODE=\"0660\" for the adapter")
                  .arg(system.user);
    return {Level::Fail, QStringLiteral("access"),
            QStringLiteral("%1 may not open it: %2; %1's groups: %3")
                .arg(system.user, file, system.groups.join(QStringLiteral(", "))),
            fix};
}

Finding holderFinding(const PortSurvey &port, const SystemSurvey &system)
{
    if (port.holders.isEmpty())
        return ok(QStringLiteral("holder"),
                  system.root ? QStringLiteral("no other program has it open")
                              : QStringLiteral("no other program of %1's has it open, nor a "
                                               "lock file on it")
                                    .arg(system.user));
    QString fix;
    for (const PortHolder &h : port.holders) {
        if (h.program == QLatin1String("ModemManager"))
            fix = QStringLiteral("ModemManager probes a new port for about ten seconds: wait, and "
                                 "tell it to ignore the adapter (see modemmanager)");
    }
    if (fix.isEmpty())
        fix = QStringLiteral("close %1, or end it: kill %2")
                  .arg(port.holders.first().program)
                  .arg(port.holders.first().pid);
    return {Level::Fail, QStringLiteral("holder"),
            QStringLiteral("held by ") + PortHolder::describe(port.holders), fix};
}

Finding modemManagerFinding(const PortSurvey &port, const SystemSurvey &system)
{
    const QString check = QStringLiteral("modemmanager");
    if (!system.modemManagerRunning)
        return ok(check, QStringLiteral("ModemManager is not running"));
    if (port.modemManagerIgnores)
        return ok(check, QStringLiteral("ModemManager runs, and is told to ignore this device"));
    const QString match =
        port.vendorProduct.isEmpty()
            ? QStringLiteral("KERNEL==\"%1\"").arg(port.device.section('/', -1))
            : QStringLiteral("ATTRS{idVendor}==\"%1\", ATTRS{idProduct}==\"%2\"")
                  .arg(port.vendorProduct.section(':', 0, 0), port.vendorProduct.section(':', 1));
    return {Level::Warn, check,
            QStringLiteral("ModemManager runs and may open this port to look for a modem when it "
                           "appears"),
            QStringLiteral("a udev rule: %1, ENV{ID_MM_DEVICE_IGNORE}=\"1\"").arg(match)};
}

Finding brlttyFinding(const PortSurvey &port, const SystemSurvey &system)
{
    const QString check = QStringLiteral("brltty");
    if (!system.brlttyInstalled && !system.brlttyRunning)
        return ok(check, QStringLiteral("brltty is not installed"));
    if (!BrlttyClaims.contains(port.vendorProduct))
        return ok(check, QStringLiteral("brltty is present, and does not claim this adapter"));
    return {Level::Warn, check,
            QStringLiteral("brltty is present, and takes adapters with usb id %1 for braille "
                           "displays: the port may vanish when plugged in")
                .arg(port.vendorProduct),
            QStringLiteral("sudo apt remove brltty, unless a braille display is used here")};
}
#endif

Finding latencyFinding(const PortSurvey &port)
{
    const QString check = QStringLiteral("latency");
    const int ms = port.latency.ms;
    if (ms <= 1)
        return ok(check, QStringLiteral("latency timer %1 ms").arg(ms));
    if (port.latencyWritable)
        return ok(check,
                  QStringLiteral("latency timer %1 ms, lowered to 1 ms at every open").arg(ms));
#ifdef Q_OS_WIN
    const QString fix = QStringLiteral("in Device Manager, the port's Properties, Port Settings, "
                                       "Advanced, set Latency Timer (msec) to 1");
#else
    const QString fix = QStringLiteral("echo 1 | sudo tee %1, or the udev rule in "
                                       "/usr/share/doc/kavro-downloader/examples")
                            .arg(port.latency.file);
#endif
    return {Level::Warn, check,
            QStringLiteral("latency timer %1 ms, which this user may not lower: every reply "
                           "waits for it, a download takes several times as long")
                .arg(ms),
            fix};
}

Finding ratesFinding(const Trial &trial, int baud)
{
    const QString check = QStringLiteral("rates");
    if (trial.openFailure)
        return {Level::Fail, check, QStringLiteral("does not open: ") + *trial.openFailure,
                QStringLiteral("see the lines above; plug the adapter in again if nothing "
                               "there fails")};
    if (trial.refusedRates.isEmpty())
        return ok(check, QStringLiteral("%1 and %2 baud set and read back")
                             .arg(LineRates::All[0])
                             .arg(LineRates::All[1]));
    QStringList refused;
    for (qint32 rate : trial.refusedRates)
        refused << QString::number(rate);
    const QString text = QStringLiteral("the driver does not keep %1 baud")
                             .arg(refused.join(QStringLiteral(" or ")));
    if (trial.refusedRates.contains(baud))
        return {Level::Fail, check, text,
                trial.refusedRates.size() < int(std::size(LineRates::All))
                    ? QStringLiteral("use -b %1, or an adapter that makes %2 baud")
                          .arg(baud == LineRates::All[0] ? LineRates::All[1] : LineRates::All[0])
                          .arg(baud)
                    : QStringLiteral("use another adapter")};
    return {Level::Warn, check, text,
            QStringLiteral("download at %1 baud, or use an adapter that makes %2")
                .arg(baud)
                .arg(refused.join(QStringLiteral(" and ")))};
}

Finding modemLinesFinding(const Trial &trial)
{
    const QString check = QStringLiteral("modem lines");
    if (!trial.noModemLines)
        return ok(check, QStringLiteral("the driver offers DTR and RTS control"));
    if (!trial.linesNeeded)
        return ok(check,
                  *trial.noModemLines + QStringLiteral(": --enter and --leave cannot work here"));
    return {Level::Fail, check, *trial.noModemLines,
            QStringLiteral("an adapter whose driver has DTR and RTS, or a job without enter and "
                           "leave, with each board put into its boot loader by hand")};
}

QString identity(const PortSurvey &port)
{
    QStringList parts;
    if (!port.device.isEmpty() && port.device != port.name)
        parts << port.device;
    if (!port.deviceNumber.isEmpty())
        parts << QStringLiteral("device ") + port.deviceNumber;
    if (!port.driver.isEmpty())
        parts << QStringLiteral("driver ") + port.driver;
    if (!port.vendorProduct.isEmpty())
        parts << QStringLiteral("usb ") + port.vendorProduct;
    if (!port.serialNumber.isEmpty())
        parts << QStringLiteral("serial ") + port.serialNumber;
    return parts.join(QStringLiteral(", "));
}

QString humanText(const PortSurvey &port, const QList<Finding> &findings, bool ready, bool colour)
{
    QString text = port.name;
    const QString who = identity(port);
    if (!who.isEmpty())
        text += QStringLiteral(": ") + who;
    text += QLatin1Char('\n');
    for (const QString &link : port.byId + port.byPath)
        text += QStringLiteral("  also %1\n").arg(link);
    for (const Finding &f : findings) {
        const char *code = f.level == Level::Ok     ? Colour::Good
                           : f.level == Level::Warn ? Colour::Warn
                                                    : Colour::Bad;
        text += QStringLiteral("  %1 %2 %3\n")
                    .arg(Output::paint(colour, code,
                                       QString::fromLatin1(levelName(f.level)).leftJustified(4)))
                    .arg(f.check.leftJustified(12))
                    .arg(f.text);
        if (!f.fix.isEmpty())
            text += QStringLiteral("       %1 fix: %2\n").arg(QString(12, QLatin1Char(' ')), f.fix);
    }
    text += ready ? QStringLiteral("  a download can start here\n\n")
                  : QStringLiteral("  a download cannot start here\n\n");
    return text;
}

QJsonObject jsonEvent(const PortSurvey &port, const QList<Finding> &findings, bool ready)
{
    QJsonArray list;
    for (const Finding &f : findings) {
        QJsonObject o{{QStringLiteral("check"), f.check},
                      {QStringLiteral("level"), QLatin1String(levelName(f.level))},
                      {QStringLiteral("text"), f.text}};
        if (!f.fix.isEmpty())
            o.insert(QStringLiteral("fix"), f.fix);
        list.append(o);
    }
    const auto optional = [](const QString &s) {
        return s.isEmpty() ? QJsonValue() : QJsonValue(s);
    };
    return {{QStringLiteral("event"), QStringLiteral("doctor")},
            {QStringLiteral("port"), port.name},
            {QStringLiteral("device"), optional(port.device)},
            {QStringLiteral("driver"), optional(port.driver)},
            {QStringLiteral("usb_id"), optional(port.vendorProduct)},
            {QStringLiteral("serial_number"), optional(port.serialNumber)},
            {QStringLiteral("by_id"), QJsonArray::fromStringList(port.byId)},
            {QStringLiteral("by_path"), QJsonArray::fromStringList(port.byPath)},
            {QStringLiteral("ready"), ready},
            {QStringLiteral("findings"), list}};
}

} // namespace

Trial tryPort(const QString &port)
{
    Trial trial;
    trial.tried = true;
    SerialPort line(port);
    if (!line.open(QIODevice::ReadWrite)) {
        trial.openFailure = line.openFailure().value().detail;
        return trial;
    }
    for (qint32 rate : LineRates::All) {
        if (!line.setBaudRate(rate))
            trial.refusedRates << rate;
    }
    trial.noModemLines = line.readModemLines().failure;
    line.close();
    return trial;
}

QList<Finding> judge(const PortSurvey &port, [[maybe_unused]] const SystemSurvey &system,
                     const Trial &trial, int baud)
{
    const QString exists = QStringLiteral("exists");
    if (!port.exists)
        return {{Level::Fail, exists,
                 port.goneTarget.isEmpty()
                     ? QStringLiteral("no such device")
                     : QStringLiteral("a stale name: it leads to %1, which is not there")
                           .arg(port.goneTarget),
                 QStringLiteral("plug the adapter in, or take a name kavro-flash --list shows")}};

    QList<Finding> findings{ok(exists, port.device)};
#ifndef Q_OS_WIN
    findings << accessFinding(port, system) << holderFinding(port, system)
             << modemManagerFinding(port, system) << brlttyFinding(port, system);
#endif
    if (port.latency.ms >= 0)
        findings << latencyFinding(port);
    if (trial.tried)
        findings << ratesFinding(trial, baud);
    if (trial.tried && !trial.openFailure)
        findings << modemLinesFinding(trial);
    return findings;
}

int run(const QStringList &named, int baud, bool json, bool linesNeeded)
{
    const QStringList ports = named.isEmpty() ? SerialDeviceMap::portNames() : named;
    const bool colour =
        !json && Output::escapesAllowed(stdout) && qEnvironmentVariableIsEmpty("NO_COLOR");
    const SystemSurvey system = SystemSurvey::of();
    int ready = 0;
    for (const QString &name : ports) {
        // The survey comes first: opening the port lowers its latency timer.
        const PortSurvey port = PortSurvey::of(name);
        Trial trial = port.exists && port.userMayOpen ? tryPort(name) : Trial();
        trial.linesNeeded = linesNeeded;
        const QList<Finding> findings = judge(port, system, trial, baud);
        const bool portReady = std::none_of(findings.begin(), findings.end(), [](const Finding &f) {
            return f.level == Level::Fail;
        });
        ready += portReady;
        if (json)
            Output::putJson(jsonEvent(port, findings, portReady));
        else
            Output::put(stdout, humanText(port, findings, portReady, colour));
    }
    const int status = !ports.isEmpty() && ready == ports.size() ? int(ExitStatus::Success)
                                                                 : int(ExitStatus::OpenFailed);
    if (json)
        Output::putJson({{QStringLiteral("event"), QStringLiteral("summary")},
                         {QStringLiteral("ports"), ports.size()},
                         {QStringLiteral("ready"), ready},
                         {QStringLiteral("exit_code"), status}});
    else if (ports.isEmpty())
        Output::put(stderr, QStringLiteral("kavro-flash: no serial ports found\n"));
    else
        Output::put(stdout, QStringLiteral("A download could start on %1 of %2 ports.\n")
                                .arg(ready)
                                .arg(ports.size()));
    return status;
}

QString pointer(const QString &port)
{
    return QStringLiteral("; ") + command(port) + QStringLiteral(" tells more");
}

void addOpenFailure(QJsonObject &event, const PortFailure *failure, const QString &port)
{
    if (!failure)
        return;
    event.insert(QStringLiteral("reason"), failure->detail);
    event.insert(QStringLiteral("doctor"), command(port));
}

} // namespace Doctor
