#include "serial/portholder.h"

#include "serial/devicepath.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#ifndef Q_OS_WIN
#include <unistd.h>
#endif

QString PortHolder::describe(const QList<PortHolder> &holders)
{
    QStringList parts;
    for (const PortHolder &h : holders)
        parts << QStringLiteral("%1 (pid %2)").arg(h.program).arg(h.pid);
    return parts.join(QStringLiteral(", "));
}

#ifdef Q_OS_WIN
// Windows does not tell who holds a port; opening it says that someone does.
QList<PortHolder> PortHolder::of(const QString &, const ProcessRoots &)
{
    return {};
}

QList<PortHolder> PortHolder::running(const ProcessRoots &)
{
    return {};
}
#else
namespace
{

QString programOf(const ProcessRoots &roots, qint64 pid)
{
    const QString comm =
        QString::fromUtf8(SystemFile::read(QStringLiteral("%1/%2/comm").arg(roots.proc).arg(pid)));
    return comm.isEmpty() ? QStringLiteral("a program") : comm;
}

// A pseudo-terminal's other end (a simulated board, a terminal window) may
// keep this end open too: it is the line's peer, not a program competing
// for it. Its ptmx descriptor names the pty it serves.
bool isPeer(const QString &process, const QString &fd, const QString &target,
            const QByteArray &ptyIndex)
{
    return !ptyIndex.isEmpty() && target.endsWith(QStringLiteral("/ptmx")) &&
           SystemFile::read(process + QStringLiteral("/fdinfo/") + fd)
               .split('\n')
               .contains("tty-index:\t" + ptyIndex);
}

} // namespace

QList<PortHolder> PortHolder::running(const ProcessRoots &roots)
{
    QList<PortHolder> processes;
    for (const QString &entry : QDir(roots.proc).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const qint64 pid = entry.toLongLong(&ok);
        if (ok && pid > 0)
            processes.append({pid, programOf(roots, pid)});
    }
    return processes;
}

QList<PortHolder> PortHolder::of(const QString &devicePath, const ProcessRoots &roots)
{
    QList<PortHolder> holders;
    const QString device = PortName::deviceOf(devicePath);
    if (!QFileInfo::exists(device))
        return holders;
    const qint64 self = ::getpid();
    const QString devRoot = QFileInfo(roots.dev).canonicalFilePath() + QLatin1Char('/');
    const QString ptsPrefix = devRoot + QStringLiteral("pts/");
    const QByteArray ptyIndex =
        device.startsWith(ptsPrefix) ? device.mid(ptsPrefix.size()).toLatin1() : QByteArray();
    const auto add = [&](const PortHolder &holder) {
        for (const PortHolder &h : holders) {
            if (h.pid == holder.pid)
                return;
        }
        holders.append(holder);
    };

    for (const PortHolder &p : running(roots)) {
        if (p.pid == self)
            continue;
        const QString process = roots.proc + QLatin1Char('/') + QString::number(p.pid);
        const QString fds = process + QStringLiteral("/fd");
        bool holds = false;
        bool peer = false;
        for (const QString &fd : QDir(fds).entryList(QDir::System | QDir::Files)) {
            const QString target = SystemFile::linkTarget(fds + QLatin1Char('/') + fd);
            holds |= target == device;
            peer |= isPeer(process, fd, target, ptyIndex);
        }
        if (holds && !peer)
            add(p);
    }

    // A lock file names its port as it is under /dev, '/' written as '_',
    // and starts with the holder's pid (as text, in whatever padding).
    QString lockName =
        device.startsWith(devRoot) ? device.mid(devRoot.size()) : QFileInfo(device).fileName();
    lockName.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const QString &dir : roots.lockDirs) {
        const QByteArray content = SystemFile::read(dir + QStringLiteral("/LCK..") + lockName);
        const qint64 pid = content.simplified().split(' ').value(0).toLongLong();
        if (pid > 0 && pid != self &&
            QFileInfo::exists(roots.proc + QLatin1Char('/') + QString::number(pid)))
            add({pid, programOf(roots, pid)});
    }
    return holders;
}

namespace SystemFile
{

QByteArray read(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(4096).trimmed();
}

QString linkTarget(const QString &path)
{
    char buffer[4096];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), buffer, sizeof buffer);
    return n > 0 ? QFile::decodeName(QByteArray(buffer, int(n))) : QString();
}

} // namespace SystemFile
#endif
