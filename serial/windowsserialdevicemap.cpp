#include "serial/windowsserialdevicemap.h"

#include <QSettings>

#include <windows.h>

namespace
{
const char SettingsPath[] = "HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM\\";
const wchar_t SubKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

HKEY handleOf(SerialDeviceMap::Key key)
{
    return reinterpret_cast<HKEY>(key);
}
} // namespace

// Qt's settings reader lists the values directly under the key; a missing
// key gives none.
int WindowsSerialDeviceMap::count()
{
    QSettings settings(QString::fromLatin1(SettingsPath), QSettings::NativeFormat);
    return settings.childKeys().size();
}

SerialDeviceMap::Key WindowsSerialDeviceMap::open()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SubKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return NoKey;
    return reinterpret_cast<Key>(key);
}

void WindowsSerialDeviceMap::close(Key key)
{
    RegCloseKey(handleOf(key));
}

// A value whose name or data does not fit the room fails to read here
// (ERROR_MORE_DATA), whatever its type.
bool WindowsSerialDeviceMap::value(Key key, int index, Value *out)
{
    wchar_t name[NameRoom];
    DWORD nameUnits = NameRoom;
    BYTE data[DataRoom];
    DWORD dataBytes = DataRoom;
    DWORD type = 0;
    if (RegEnumValueW(handleOf(key), static_cast<DWORD>(index), name, &nameUnits, nullptr, &type,
                      data, &dataBytes) != ERROR_SUCCESS)
        return false;
    out->name = QString::fromWCharArray(name, static_cast<int>(nameUnits));
    out->data = QByteArray(reinterpret_cast<const char *>(data), static_cast<int>(dataBytes));
    return true;
}
