#include "cli/station/recordwriter.h"

#include "serial/portholder.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QSysInfo>

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

// The longest unfinished line at the end of a record that is taken for one
// of ours cut short, and cut off; no line of ours is longer.
constexpr qint64 MaxLineBytes = 64 * 1024;

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
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

Writer::~Writer()
{
    if (fd >= 0)
        ::close(fd);
}

bool Writer::open(const QString &path, QString *error, QString *notice)
{
    const auto refuse = [this, &path, error](const QString &why) {
        *error = QStringLiteral("cannot use the record %1: %2").arg(path, why);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    };
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return refuse(systemError());
    // Locked before anything is read or cut: what is cut must be ours.
    QString why;
    if (!lock(&why))
        return refuse(why);
    struct stat info {
    };
    if (::fstat(fd, &info) != 0)
        return refuse(systemError());
    // A device or a pipe has no end to look at.
    if (!S_ISREG(info.st_mode) || info.st_size == 0)
        return true;
    return takeOver(path, info.st_size, &why, notice) || refuse(why);
}

// Held until the descriptor closes, with the station.
bool Writer::lock(QString *why)
{
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked == 0)
        return true;
    if (errno != EWOULDBLOCK) {
        *why = QStringLiteral("cannot lock it: %1").arg(systemError());
        return false;
    }
    struct stat info {
    };
    *why = heldBy(::fstat(fd, &info) == 0 ? lockHolder(info) : 0);
    return false;
}

// Every line we write is whole, but a kill can land between two pages of
// one write: such a line, cut short, is cut off. A file that ends in
// anything else, or whose last whole line is not one of ours, is not ours to
// change. The first line written here chains to the last one already there.
bool Writer::takeOver(const QString &path, qint64 size, QString *why, QString *notice)
{
    // Room for a fragment and the whole line before it.
    const qint64 tailSize = std::min<qint64>(size, 2 * (MaxLineBytes + 1));
    QByteArray tail(int(tailSize), '\0');
    if (::pread(fd, tail.data(), size_t(tailSize), size - tailSize) != tailSize) {
        *why = systemError();
        return false;
    }
    const int end = int(tail.lastIndexOf('\n')); // of the last whole line; -1 for none
    const QByteArray fragment = tail.mid(end + 1);
    if (!fragment.isEmpty() && (fragment.size() > MaxLineBytes || !fragment.startsWith('{'))) {
        *why = QStringLiteral("it does not end in a whole line");
        return false;
    }
    if (end >= 0) {
        const int start = end == 0 ? 0 : int(tail.lastIndexOf('\n', end - 1)) + 1;
        if (start == 0 && tailSize < size) {
            *why = QStringLiteral("its last line is longer than any a station writes");
            return false;
        }
        const QByteArray last = tail.mid(start, end - start);
        Line line;
        QString lineWhy;
        if (!read(last, &line, &lineWhy)) {
            *why = QStringLiteral("its last line ") + lineWhy;
            return false;
        }
        lastLineHash = hashOf(last);
    }
    if (fragment.isEmpty())
        return true;
    if (::ftruncate(fd, size - fragment.size()) != 0) {
        *why = systemError();
        return false;
    }
    *notice = QStringLiteral("the record %1 ended in a line cut short (%2 bytes); cut off")
                  .arg(path)
                  .arg(fragment.size());
    return true;
}

// On disk before the next board can start: a board flashed without its
// record is worse than a halted line. Every line in the file is whole: one
// that does not go in whole is taken out again.
bool Writer::append(const Board &board, QString *error)
{
    Line line;
    line.board = board;
    return appendLine(line, error);
}

bool Writer::reserve(const Reservation &reservation, QString *error)
{
    Line line;
    line.kind = Line::Kind::Reservation;
    line.reservation = reservation;
    return appendLine(line, error);
}

bool Writer::appendLine(Line line, QString *error)
{
    line.format = Format;
    line.tool = QCoreApplication::applicationVersion();
    line.host = QSysInfo::machineHostName();
    line.prev = lastLineHash;
    const QByteArray text = line.text();
    const QByteArray bytes = text + '\n';

    struct stat before {
    };
    if (::fstat(fd, &before) != 0) {
        *error = systemError();
        return false;
    }
    // One write, so a line is never split by another program appending too.
    ssize_t written;
    do {
        written = ::write(fd, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written != bytes.size()) {
        *error = written < 0 ? systemError() : QStringLiteral("no room for the whole line");
        if (written > 0 && ::ftruncate(fd, before.st_size) != 0)
            *error +=
                QStringLiteral("; and the part written cannot be taken out: %1").arg(systemError());
        return false;
    }
    lastLineHash = hashOf(text);
    if (::fsync(fd) != 0) {
        *error = systemError();
        return false;
    }
    return true;
}

} // namespace Record
