#include "serial/portdetails.h"

#include "serial/devicepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QSettings>

namespace
{

QString hex4(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

} // namespace

#ifdef Q_OS_WIN
// FTDI's driver keeps each port's timer with the device's parameters, found
// by the port name they give.
LatencyTimer LatencyTimer::of(const QString &devicePath, const QString &)
{
    LatencyTimer timer;
    const QString port = devicePath.section(QLatin1Char('\\'), -1);
    const QString bus =
        QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\FTDIBUS");
    QSettings devices(bus, QSettings::NativeFormat);
    for (const QString &device : devices.childGroups()) {
        devices.beginGroup(device);
        for (const QString &instance : devices.childGroups()) {
            const QString parameters = instance + QStringLiteral("/Device Parameters/");
            if (devices.value(parameters + QStringLiteral("PortName"))
                    .toString()
                    .compare(port, Qt::CaseInsensitive) != 0)
                continue;
            bool ok = false;
            const int ms = devices.value(parameters + QStringLiteral("LatencyTimer")).toInt(&ok);
            if (ok) {
                timer.ms = ms;
                timer.file = bus + QLatin1Char('\\') + device + QLatin1Char('\\') + instance +
                             QStringLiteral("\\Device Parameters");
            }
        }
        devices.endGroup();
    }
    return timer;
}

// Setting it needs an administrator and takes effect when the adapter is
// plugged in again: left to the user.
bool LatencyTimer::lower()
{
    return ms == 1;
}
#else
LatencyTimer LatencyTimer::of(const QString &devicePath, const QString &sysfsRoot)
{
    LatencyTimer timer;
    const QString device = PortName::deviceOf(devicePath);
    const QString file = sysfsRoot + QStringLiteral("/class/tty/") + QFileInfo(device).fileName() +
                         QStringLiteral("/device/latency_timer");
    QFile value(file);
    if (!value.open(QIODevice::ReadOnly))
        return timer;
    bool ok = false;
    const int ms = value.readAll().trimmed().toInt(&ok);
    if (ok) {
        timer.ms = ms;
        timer.file = file;
    }
    return timer;
}

bool LatencyTimer::lower()
{
    if (ms <= 1)
        return ms == 1;
    QFile value(file);
    if (!value.open(QIODevice::WriteOnly) || value.write("1") != 1 || !value.flush())
        return false;
    ms = 1;
    return true;
}
#endif

PortDetails PortDetails::lookUp(const QString &name)
{
    PortDetails details;
    const QString path = PortName::devicePath(name);
    const QString device = PortName::deviceOf(name);
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != path && info.systemLocation() != device)
            continue;
        details.description = info.description();
        details.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            details.vendorProduct =
                hex4(info.vendorIdentifier()) + QLatin1Char(':') + hex4(info.productIdentifier());
        details.serialNumber = info.serialNumber();
        break;
    }
    details.byIdLink = linksTo(QStringLiteral("/dev/serial/by-id"), device).value(0);
    details.latencyTimerMs = LatencyTimer::of(path).ms;
    return details;
}

QStringList PortDetails::linksTo(const QString &folder, const QString &device)
{
    QStringList links;
    for (const QFileInfo &link :
         QDir(folder).entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (link.isSymLink() && link.canonicalFilePath() == device)
            links << link.absoluteFilePath();
    }
    return links;
}

QStringList PortDetails::describe() const
{
    QStringList parts;
    if (!description.isEmpty())
        parts << description;
    if (!manufacturer.isEmpty())
        parts << QStringLiteral("manufacturer ") + manufacturer;
    if (!vendorProduct.isEmpty())
        parts << QStringLiteral("usb ") + vendorProduct;
    if (!serialNumber.isEmpty())
        parts << QStringLiteral("serial ") + serialNumber;
    if (!byIdLink.isEmpty())
        parts << byIdLink;
    if (latencyTimerMs >= 0)
        parts << QStringLiteral("latency timer %1 ms").arg(latencyTimerMs);
    return parts;
}
