#ifndef DEVICEPATH_H
#define DEVICEPATH_H

#include <QString>

// Where a port name leads, for the port itself and for those that only look
// the device up (who holds it, its adapter's details).
namespace PortName
{

// Windows: the port in the device namespace, \\.\COM3. Elsewhere: a name
// with a '/' is a device path already, anything else is a device under /dev.
QString devicePath(const QString &name);

// The device a port name really is, so that two names of one port (a by-id
// link and its device, say) compare equal: devicePath() with links followed,
// or made absolute where it leads nowhere. Windows: devicePath() itself, as it
// has no links to follow.
QString deviceOf(const QString &name);

} // namespace PortName

#endif
