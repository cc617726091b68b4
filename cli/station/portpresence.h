#ifndef PORTPRESENCE_H
#define PORTPRESENCE_H

#include <QString>

// Whether a slot's board is plugged in, and which board it is, as the
// system tells it: never by opening the port, since an open raises DTR and
// RTS, and many boards reset on that.
namespace PortPresence
{

// Linux: the device file is there. Windows: the registry's serial device
// map lists the port.
bool present(const QString &port);
// The serial number of the port's USB adapter; empty where it has none, or
// the system does not say.
QString usbSerial(const QString &port);

} // namespace PortPresence

#endif
