#ifndef RECORDFILE_H
#define RECORDFILE_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace Record
{

// Why an operation on the record's file failed.
struct FileFailure {
    QString reason; // as the system says it, or who holds the lock
};

// The record's file through the system's own calls: opened to append to,
// locked against a second station, and changed only at its end. One
// implementation per system.
class RecordFile
{
public:
    RecordFile() = default;
    ~RecordFile() { close(); }
    RecordFile(const RecordFile &) = delete;
    RecordFile &operator=(const RecordFile &) = delete;

    // Opens `path` to read and to append to, making it if need be.
    bool open(const QString &path, FileFailure *failure);
    bool isOpen() const { return handle != -1; }
    void close();
    // An exclusive lock, held until the file closes. It leaves the file
    // readable to others, so a record can be checked while a station writes.
    bool lock(FileFailure *failure);
    // A device or a pipe has no end to look at, nor to cut back.
    bool isPlainFile() const;
    bool size(qint64 *bytes, FileFailure *failure) const;
    // The `length` bytes from `offset`, all of them.
    bool read(qint64 offset, qint64 length, QByteArray *bytes, FileFailure *failure) const;
    // `bytes` in one write at the end; `*written` says how much went in,
    // all of it or less, also when the write failed.
    bool append(const QByteArray &bytes, qint64 *written, FileFailure *failure);
    // Cuts the file back to `size` bytes.
    bool cutBack(qint64 size, FileFailure *failure);
    // Has what was written on disk before it returns.
    bool sync(FileFailure *failure);

private:
    qintptr handle = -1; // a descriptor, or a Windows handle
};

} // namespace Record

#endif
