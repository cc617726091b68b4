#ifndef PORTHOLDER_H
#define PORTHOLDER_H

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Where the system shows its processes and the lock files they leave, so a
// test can lay out a tree of its own.
struct ProcessRoots {
    QString dev = QStringLiteral("/dev");
    QString proc = QStringLiteral("/proc");
    // Where programs leave "LCK..<name>" lock files for a port by name.
    QStringList lockDirs = {QStringLiteral("/run/lock"), QStringLiteral("/var/lock"),
                            QStringLiteral("/tmp")};
};

// A process that has a port open, or holds its lock file: named when a port
// is busy.
struct PortHolder {
    qint64 pid = 0;
    QString program;

    // Other processes than this one that have `devicePath` open, as far as
    // this user may see: every process's descriptors for root, this user's
    // own otherwise, and the lock files whoever took them.
    static QList<PortHolder> of(const QString &devicePath, const ProcessRoots &roots = {});
    // Every process this user may see, with its program's name.
    static QList<PortHolder> running(const ProcessRoots &roots = {});
    // "minicom (pid 812), screen (pid 90)"
    static QString describe(const QList<PortHolder> &holders);
};

#ifndef Q_OS_WIN
// Small files of the system's own (/proc, /sys, udev's data), read as the
// port's surveys read them.
namespace SystemFile
{
// The file's first 4 KiB, trimmed; empty when it cannot be read.
QByteArray read(const QString &path);
// Where the link at `path` leads, as written; empty for no link.
QString linkTarget(const QString &path);
} // namespace SystemFile
#endif

#endif
