#include "serial/serialdevicemap.h"

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
    return {Entry::Named, portNameFromData(found.data)};
}

QString SerialDeviceMap::portNameFromData(const QByteArray &data)
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

// As a device map stores a port name: UTF-16LE with its terminating NUL.
QByteArray LinuxSerialDeviceMap::utf16Data(const QString &text)
{
    QByteArray data;
    data.reserve((text.size() + 1) * 2);
    for (const QChar c : text) {
        data.append(static_cast<char>(c.unicode() & 0xFF));
        data.append(static_cast<char>(c.unicode() >> 8));
    }
    data.append(2, '\0');
    return data;
}

int LinuxSerialDeviceMap::count()
{
    values.clear();
    for (const QString &path : extraPorts())
        values.append(Value{path, utf16Data(path)});
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        values.append(Value{info.systemLocation(), utf16Data(info.portName())});
    return values.size();
}

bool LinuxSerialDeviceMap::value(Key, int index, Value *out)
{
    if (index < 0 || index >= values.size())
        return false;
    *out = values.at(index);
    return true;
}
