#include "serial/serialdevicemap.h"

#include <QFile>
#include <QSerialPortInfo>

#ifdef Q_OS_WIN
#include "serial/windowsserialdevicemap.h"
using PlatformDeviceMap = WindowsSerialDeviceMap;
#else
using PlatformDeviceMap = LinuxSerialDeviceMap;
#endif

namespace
{
SerialDeviceMap *replacement = nullptr;
} // namespace

SerialDeviceMap::Entry SerialDeviceMap::readEntry(int index, Key *key)
{
    *key = open();
    if (*key == NoKey)
        return {Entry::NotOpened, QString()};
    Value found;
    const bool read =
        value(*key, index, &found) && found.name.size() < NameRoom && found.data.size() <= DataRoom;
    close(*key);
    *key = NoKey;
    if (!read)
        return {Entry::NotRead, QString()};
    return {Entry::Named, portNameFrom(found.data)};
}

QString SerialDeviceMap::portNameFrom(const QByteArray &data) const
{
    QString name;
    for (const char byte : data) {
        if (byte != 0)
            name += QString::fromLocal8Bit(&byte, 1);
    }
    return name;
}

QStringList SerialDeviceMap::portNames()
{
    SerialDeviceMap *map = system();
    const int valueCount = map->count();
    QStringList names;
    // Opened once per value, as the window reads it.
    for (int index = 0; index < valueCount; ++index) {
        Key key = NoKey;
        const Entry entry = map->readEntry(index, &key);
        if (entry.outcome == Entry::Named)
            names.append(entry.name);
    }
    return names;
}

SerialDeviceMap *SerialDeviceMap::system()
{
    static PlatformDeviceMap platformMap;
    return replacement ? replacement : &platformMap;
}

void SerialDeviceMap::setSystem(SerialDeviceMap *map)
{
    replacement = map;
}

QStringList LinuxSerialDeviceMap::extraPorts()
{
    const QString listed = qEnvironmentVariable("KAVRO_EXTRA_PORTS");
    return listed.split(QLatin1Char(':'), Qt::SkipEmptyParts);
}

int LinuxSerialDeviceMap::count()
{
    values.clear();
    for (const QString &path : extraPorts())
        values.append(Value{path, QFile::encodeName(path) + '\0'});
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        values.append(Value{info.systemLocation(), QFile::encodeName(info.portName()) + '\0'});
    return values.size();
}

bool LinuxSerialDeviceMap::value(Key, int index, Value *out)
{
    if (index < 0 || index >= values.size())
        return false;
    *out = values.at(index);
    return true;
}

// Up to the NUL.
QString LinuxSerialDeviceMap::portNameFrom(const QByteArray &data) const
{
    return QFile::decodeName(data.constData());
}
