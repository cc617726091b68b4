#include "cli/record/recordreader.h"

#include <cstring>
#include <optional>

namespace Record
{

struct Reader::Stretch {
    qint64 start = 0; // its first byte in the file
    QByteArray bytes;
    std::vector<int> ends; // of each line, past its last byte
    std::vector<QByteArray> hashes;
    QByteArray carried;         // a line begun but not ended, for the next stretch
    bool last = false;          // the file ends with it
    std::optional<QString> why; // the file could not be read
};

namespace
{

constexpr qint64 StretchBytes = 1 << 20;

// Reads from `file` up to the last newline (or the file's end), after
// `carried`, the start of a line the stretch before could not end.
std::unique_ptr<Reader::Stretch> readStretch(QFile *file, QByteArray carried, qint64 start)
{
    auto s = std::make_unique<Reader::Stretch>();
    s->start = start;
    s->bytes = std::move(carried);
    qsizetype end = -1;
    while (end < 0) {
        const qsizetype kept = s->bytes.size();
        s->bytes.resize(kept + StretchBytes);
        const qint64 got = file->read(s->bytes.data() + kept, StretchBytes);
        if (got < 0) {
            s->why = file->errorString();
            return s;
        }
        s->bytes.resize(kept + got);
        if (got == 0) {
            // A last line without its newline is a line all the same.
            s->last = true;
            end = s->bytes.size();
        } else {
            end = s->bytes.lastIndexOf('\n');
        }
    }
    s->carried = s->bytes.mid(end + (s->last ? 0 : 1));
    s->bytes.truncate(end);
    // Each newline ends a line, the last one at `end`; at the file's end,
    // what is left is a line unless it is empty.
    if (s->last && end == 0)
        return s;
    const char *data = s->bytes.constData();
    for (qsizetype at = 0;;) {
        const void *newline = std::memchr(data + at, '\n', size_t(end - at));
        const qsizetype lineEnd = newline ? static_cast<const char *>(newline) - data : end;
        s->ends.push_back(int(lineEnd));
        s->hashes.push_back(hashOf(data + at, lineEnd - at));
        if (lineEnd == end)
            break;
        at = lineEnd + 1;
    }
    return s;
}

} // namespace

Reader::Reader() = default;

Reader::~Reader()
{
    stopReadingAhead();
}

bool Reader::open(const QString &path, QString *why)
{
    stopReadingAhead();
    file.close();
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = file.errorString();
        return false;
    }
    return seek(0, 1, why);
}

bool Reader::seek(qint64 offset, qint64 number, QString *why)
{
    stopReadingAhead();
    if (!file.seek(offset)) {
        *why = file.errorString();
        return false;
    }
    stretch.reset();
    nextLine = 0;
    lineNumber = number - 1;
    readAhead(QByteArray(), offset);
    return true;
}

void Reader::readAhead(QByteArray carried, qint64 start)
{
    ahead = std::async(std::launch::async, readStretch, &file, std::move(carried), start);
}

void Reader::stopReadingAhead()
{
    if (ahead.valid())
        ahead.get();
}

Reader::Step Reader::next(Entry *entry, QString *why)
{
    while (!stretch || nextLine == stretch->ends.size()) {
        if (stretch && stretch->last)
            return Step::End;
        if (!ahead.valid())
            return Step::End;
        stretch = ahead.get();
        nextLine = 0;
        if (stretch->why) {
            *why = *stretch->why;
            stretch.reset();
            return Step::Unreadable;
        }
        if (!stretch->last)
            readAhead(stretch->carried, stretch->start + stretch->bytes.size() + 1);
    }
    const int begin = nextLine == 0 ? 0 : stretch->ends[nextLine - 1] + 1;
    const int end = stretch->ends[nextLine];
    entry->number = ++lineNumber;
    entry->offset = stretch->start + begin;
    entry->text = QByteArray(stretch->bytes.constData() + begin, end - begin);
    entry->hash = stretch->hashes[nextLine];
    ++nextLine;
    return read(entry->text, &entry->line, why) ? Step::Line : Step::NotALine;
}

} // namespace Record
