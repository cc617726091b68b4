#include "cli/record/recordfile.h"

#include "serial/portholder.h"

#include <QFile>
#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace Record
{

namespace
{

bool systemFailure(FileFailure *failure)
{
    *failure = {QString::fromLocal8Bit(std::strerror(errno))};
    return false;
}

bool says(const QByteArray &text, quint64 value, int base)
{
    bool ok = false;
    return text.toULongLong(&ok, base) == value && ok;
}

// The process holding a whole-file lock on the file `info` describes, from
// /proc/locks ("1: FLOCK ADVISORY WRITE 812 08:01:1234 0 EOF", the device's
// numbers in hex); 0 where the system does not say.
qint64 lockHolder(const struct stat &info)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // A waiter's line says "->" here.
        if (fields.value(1) != "FLOCK")
            continue;
        const QList<QByteArray> file = fields.value(5).split(':');
        const qint64 pid = fields.value(4).toLongLong();
        if (file.size() == 3 && says(file[0], major(info.st_dev), 16) &&
            says(file[1], minor(info.st_dev), 16) && says(file[2], info.st_ino, 10) && pid > 0)
            return pid;
    }
    return 0;
}

// "in use: held by kavro-flash (pid 812)"
QString heldBy(qint64 pid)
{
    if (pid <= 0)
        return QStringLiteral("in use: another program holds its lock");
    QString program = QString::fromUtf8(SystemFile::read(QStringLiteral("/proc/%1/comm").arg(pid)));
    if (program.isEmpty())
        program = QStringLiteral("a program");
    return QStringLiteral("in use: held by ") + PortHolder::describe({{pid, program}});
}

} // namespace

bool RecordFile::open(const QString &path, FileFailure *failure)
{
    close();
    handle =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return handle != -1 || systemFailure(failure);
}

void RecordFile::close()
{
    if (handle != -1)
        ::close(int(handle));
    handle = -1;
}

bool RecordFile::lock(FileFailure *failure)
{
    int locked;
    do {
        locked = ::flock(int(handle), LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        systemFailure(failure);
        failure->reason = QStringLiteral("cannot lock it: ") + failure->reason;
        return false;
    }
    struct stat info {
    };
    *failure = {heldBy(::fstat(int(handle), &info) == 0 ? lockHolder(info) : 0)};
    return false;
}

bool RecordFile::isPlainFile() const
{
    struct stat info {
    };
    return ::fstat(int(handle), &info) == 0 && S_ISREG(info.st_mode);
}

bool RecordFile::size(qint64 *bytes, FileFailure *failure) const
{
    struct stat info {
    };
    if (::fstat(int(handle), &info) != 0)
        return systemFailure(failure);
    *bytes = info.st_size;
    return true;
}

bool RecordFile::read(qint64 offset, qint64 length, QByteArray *bytes, FileFailure *failure) const
{
    bytes->resize(int(length));
    const ssize_t got = ::pread(int(handle), bytes->data(), size_t(length), offset);
    if (got == length)
        return true;
    if (got >= 0)
        errno = EIO; // it was shorter than it said
    return systemFailure(failure);
}

bool RecordFile::append(const QByteArray &bytes, qint64 *written, FileFailure *failure)
{
    ssize_t wrote;
    do {
        wrote = ::write(int(handle), bytes.constData(), size_t(bytes.size()));
    } while (wrote < 0 && errno == EINTR);
    *written = std::max<ssize_t>(wrote, 0);
    return wrote >= 0 || systemFailure(failure);
}

bool RecordFile::cutBack(qint64 size, FileFailure *failure)
{
    return ::ftruncate(int(handle), size) == 0 || systemFailure(failure);
}

bool RecordFile::sync(FileFailure *failure)
{
    return ::fsync(int(handle)) == 0 || systemFailure(failure);
}

} // namespace Record
