#include "cli/station/portpresence.h"

#ifdef Q_OS_WIN
#include "serial/serialdevicemap.h"

#include <QSettings>
#include <QStringList>
#else
#include "serial/devicepath.h"
#include "serial/portdetails.h"

#include <QFileInfo>
#endif

namespace PortPresence
{

#ifdef Q_OS_WIN
// The map is Windows's own list of the serial ports whose adapters are
// plugged in: an entry comes with the adapter and goes with it.
bool present(const QString &port)
{
    return SerialDeviceMap::portNames().contains(port, Qt::CaseInsensitive);
}

namespace
{

// The serial number in the name of a USB device's key under Enum (as
// "USB\VID_0403&PID_6015\DK0AB1CD", or "FTDIBUS\VID_0403+PID_6001+A50285BIA"
// with its port's letter); empty where Windows made the name up, for a device
// that has none.
QString serialFromKey(const QString &bus, const QString &device, const QString &instance)
{
    if (bus.compare(QLatin1String("FTDIBUS"), Qt::CaseInsensitive) == 0) {
        // The third part is the serial number and the port's letter.
        const QString part = device.section(QLatin1Char('+'), 2);
        return part.size() > 1 ? part.chopped(1) : QString();
    }
    // A name Windows made up holds '&'.
    return instance.contains(QLatin1Char('&')) ? QString() : instance;
}

} // namespace

// The device whose parameters name the port, in the buses a USB serial
// adapter is listed under: USB for the class drivers (CDC, CP210x, CH340),
// FTDIBUS for FTDI's own.
QString usbSerial(const QString &port)
{
    const QString root = QStringLiteral("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\");
    for (const QString &bus : {QStringLiteral("USB"), QStringLiteral("FTDIBUS")}) {
        QSettings devices(root + bus, QSettings::NativeFormat);
        for (const QString &device : devices.childGroups()) {
            devices.beginGroup(device);
            for (const QString &instance : devices.childGroups()) {
                if (devices.value(instance + QStringLiteral("/Device Parameters/PortName"))
                        .toString()
                        .compare(port, Qt::CaseInsensitive) == 0)
                    return serialFromKey(bus, device, instance);
            }
            devices.endGroup();
        }
    }
    return QString();
}
#else
// Follows links: a by-path name whose device has gone is not there.
bool present(const QString &port)
{
    return QFileInfo::exists(PortName::devicePath(port));
}

QString usbSerial(const QString &port)
{
    return PortDetails::lookUp(port).serialNumber;
}
#endif

} // namespace PortPresence
