#include "cli/record/recordreader.h"

#include <cstring>

namespace Record
{

namespace
{

constexpr qint64 ChunkBytes = 1 << 20;

} // namespace

bool Reader::open(const QString &path, QString *why)
{
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    return seek(0, 1, why);
}

bool Reader::seek(qint64 offset, qint64 number, QString *why)
{
    if (!file.seek(offset)) {
        *why = file.errorString();
        return false;
    }
    buffer.clear();
    position = 0;
    bufferStart = offset;
    lineNumber = number - 1;
    atEnd = false;
    return true;
}

// Keeps the unread part and appends the next chunk.
bool Reader::fill(QString *why)
{
    bufferStart += position;
    buffer.remove(0, position);
    position = 0;
    const int kept = int(buffer.size());
    buffer.resize(kept + int(ChunkBytes));
    const qint64 got = file.read(buffer.data() + kept, ChunkBytes);
    if (got < 0) {
        *why = file.errorString();
        return false;
    }
    buffer.resize(kept + int(got));
    atEnd = got == 0;
    return true;
}

Reader::Step Reader::next(Entry *entry, QString *why)
{
    const char *newline = nullptr;
    while (true) {
        const char *start = buffer.constData() + position;
        newline = static_cast<const char *>(std::memchr(start, '\n', buffer.size() - position));
        if (newline || atEnd)
            break;
        if (!fill(why))
            return Step::Unreadable;
    }
    // A last line without its newline is a line all the same.
    const int end = newline ? int(newline - buffer.constData()) : int(buffer.size());
    if (!newline && end == position)
        return Step::End;
    entry->number = ++lineNumber;
    entry->offset = bufferStart + position;
    entry->text = buffer.mid(position, end - position);
    entry->hash = hashOf(entry->text);
    position = newline ? end + 1 : end;
    return read(entry->text, &entry->line, why) ? Step::Line : Step::NotALine;
}

} // namespace Record
