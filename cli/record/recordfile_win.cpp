#include "cli/record/recordfile.h"

#include <string>
#include <windows.h>

namespace Record
{

namespace
{

// Byte-range locks on Windows are mandatory: one on the data would keep
// --check-record from reading it. A byte no record reaches is locked
// instead, and only stations ask for it.
constexpr quint64 LockOffset = 0x7fffffffffffffffULL;

QString systemMessage(DWORD error)
{
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    QString message = length ? QString::fromWCharArray(text, int(length)).trimmed()
                             : QStringLiteral("error %1").arg(error);
    LocalFree(text);
    return message;
}

bool systemFailure(FileFailure *failure)
{
    *failure = {systemMessage(GetLastError())};
    return false;
}

OVERLAPPED at(quint64 offset)
{
    OVERLAPPED where{};
    where.Offset = DWORD(offset);
    where.OffsetHigh = DWORD(offset >> 32);
    return where;
}

} // namespace

bool RecordFile::open(const QString &path, FileFailure *failure)
{
    close();
    // Others may read it, and delete or rename it as on Linux; only a
    // second station is kept out, by the lock.
    const std::wstring name = path.toStdWString();
    const HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return systemFailure(failure);
    handle = reinterpret_cast<qintptr>(file);
    return true;
}

void RecordFile::close()
{
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
    handle = -1;
}

bool RecordFile::lock(FileFailure *failure)
{
    OVERLAPPED where = at(LockOffset);
    if (LockFileEx(reinterpret_cast<HANDLE>(handle),
                   LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where))
        return true;
    const DWORD error = GetLastError();
    *failure = {error == ERROR_LOCK_VIOLATION
                    ? QStringLiteral("in use: another program holds its lock")
                    : QStringLiteral("cannot lock it: ") + systemMessage(error)};
    return false;
}

bool RecordFile::isPlainFile() const
{
    return GetFileType(reinterpret_cast<HANDLE>(handle)) == FILE_TYPE_DISK;
}

bool RecordFile::size(qint64 *bytes, FileFailure *failure) const
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(handle), &size))
        return systemFailure(failure);
    *bytes = size.QuadPart;
    return true;
}

bool RecordFile::read(qint64 offset, qint64 length, QByteArray *bytes, FileFailure *failure) const
{
    bytes->resize(int(length));
    OVERLAPPED where = at(quint64(offset));
    DWORD got = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle), bytes->data(), DWORD(length), &got, &where))
        return systemFailure(failure);
    if (qint64(got) == length)
        return true;
    *failure = {QStringLiteral("it ended sooner than it said")};
    return false;
}

// All ones for the offset writes at the end of the file, wherever it is by
// then, as appending does on Linux.
bool RecordFile::append(const QByteArray &bytes, qint64 *written, FileFailure *failure)
{
    OVERLAPPED end = at(~0ULL);
    DWORD wrote = 0;
    const bool ok = WriteFile(reinterpret_cast<HANDLE>(handle), bytes.constData(),
                              DWORD(bytes.size()), &wrote, &end);
    *written = wrote;
    return ok || systemFailure(failure);
}

bool RecordFile::cutBack(qint64 size, FileFailure *failure)
{
    LARGE_INTEGER end{};
    end.QuadPart = size;
    const HANDLE file = reinterpret_cast<HANDLE>(handle);
    return (SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file)) ||
           systemFailure(failure);
}

bool RecordFile::sync(FileFailure *failure)
{
    return FlushFileBuffers(reinterpret_cast<HANDLE>(handle)) || systemFailure(failure);
}

} // namespace Record
