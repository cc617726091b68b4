#include "cli/record/recordreader.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

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

constexpr qint64 StretchBytes = 256 << 10;

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

// The thread that reads ahead: one stretch at a time, handed over when the
// reader comes to it.
class Reader::Ahead
{
public:
    Ahead() : thread([this] { run(); }) {}
    ~Ahead()
    {
        take();
        {
            std::lock_guard<std::mutex> locker(lock);
            quitting = true;
        }
        changed.notify_all();
        thread.join();
    }

    void start(QFile *file, QByteArray carried, qint64 start)
    {
        {
            std::lock_guard<std::mutex> locker(lock);
            asked = Ask{file, std::move(carried), start};
        }
        changed.notify_all();
    }
    // The stretch asked for, when it is read; none if none was asked for.
    std::unique_ptr<Stretch> take()
    {
        std::unique_lock<std::mutex> locker(lock);
        changed.wait(locker, [this] { return !asked; });
        return std::move(done);
    }

private:
    struct Ask {
        QFile *file;
        QByteArray carried;
        qint64 start;
    };

    void run()
    {
        std::unique_lock<std::mutex> locker(lock);
        for (;;) {
            changed.wait(locker, [this] { return quitting || asked; });
            if (quitting)
                return;
            Ask ask = std::move(*asked);
            locker.unlock();
            std::unique_ptr<Stretch> stretch =
                readStretch(ask.file, std::move(ask.carried), ask.start);
            locker.lock();
            done = std::move(stretch);
            asked.reset();
            changed.notify_all();
        }
    }

    std::mutex lock;
    std::condition_variable changed;
    std::optional<Ask> asked; // until its stretch is done
    std::unique_ptr<Stretch> done;
    bool quitting = false;
    std::thread thread; // last: it starts on the members above
};

Reader::Reader() = default;

Reader::~Reader() = default;

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
    if (!ahead)
        ahead = std::make_unique<Ahead>();
    ahead->start(&file, std::move(carried), start);
}

void Reader::stopReadingAhead()
{
    if (ahead)
        ahead->take();
}

Reader::Step Reader::next(Entry *entry, QString *why)
{
    while (!stretch || nextLine == stretch->ends.size()) {
        if (stretch && stretch->last)
            return Step::End;
        stretch = ahead ? ahead->take() : nullptr;
        nextLine = 0;
        if (!stretch)
            return Step::End;
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
