#include "serial/portdetails.h"

#include "serial/serialport.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>

namespace
{

QString hex4(quint16 id)
{
    return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
}

QString byIdLinkTo(const QString &devicePath)
{
    const QString target = QFileInfo(devicePath).canonicalFilePath();
    if (target.isEmpty())
        return QString();
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo &link : byId.entryInfoList(QDir::System | QDir::Files, QDir::Name)) {
        if (link.isSymLink() && link.canonicalFilePath() == target)
            return link.absoluteFilePath();
    }
    return QString();
}

} // namespace

PortDetails PortDetails::lookUp(const QString &name)
{
    PortDetails details;
    const QString path = SerialPort::devicePath(name);
    const QString canonical = QFileInfo(path).canonicalFilePath();
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (info.systemLocation() != path && info.systemLocation() != canonical)
            continue;
        details.description = info.description();
        details.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier())
            details.vendorProduct =
                hex4(info.vendorIdentifier()) + QLatin1Char(':') + hex4(info.productIdentifier());
        details.serialNumber = info.serialNumber();
        break;
    }
    details.byIdLink = byIdLinkTo(path);
    return details;
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
    return parts;
}
