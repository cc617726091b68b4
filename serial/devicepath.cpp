#include "serial/devicepath.h"

#include <QFileInfo>

#ifdef Q_OS_WIN
QString PortName::devicePath(const QString &name)
{
    return QStringLiteral("\\\\.\\") + name;
}

QString PortName::deviceOf(const QString &name)
{
    return devicePath(name);
}
#else
QString PortName::devicePath(const QString &name)
{
    if (name.contains(QLatin1Char('/')))
        return name;
    return QStringLiteral("/dev/") + name;
}

QString PortName::deviceOf(const QString &name)
{
    const QFileInfo path(devicePath(name));
    const QString canonical = path.canonicalFilePath();
    return canonical.isEmpty() ? path.absoluteFilePath() : canonical;
}
#endif
