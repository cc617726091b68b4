#include "cli/common/output.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace
{

// Redraws and progress wait behind at most this much; a reader that falls
// further behind misses them, and sees the next one that fits.
constexpr qint64 OfferLimitBytes = 16 * 1024;
// Past this the callers stop making new work (a station takes no new board)
// until the reader catches up, so memory stays bounded however long it stalls.
constexpr qint64 BehindLimitBytes = 256 * 1024;

// One stream and the thread that writes it.
class Writer
{
public:
    explicit Writer(std::FILE *out) : out(out), thread([this] { run(); }) {}

    ~Writer()
    {
        {
            std::lock_guard<std::mutex> locker(lock);
            quitting = true;
        }
        queued.notify_one();
        thread.join();
    }

    bool queue(QByteArray bytes, bool droppable)
    {
        {
            std::lock_guard<std::mutex> locker(lock);
            if (droppable && pendingBytes > OfferLimitBytes)
                return false;
            pendingBytes += bytes.size();
            chunks.push_back(std::move(bytes));
        }
        queued.notify_one();
        return true;
    }

    qint64 pending()
    {
        std::lock_guard<std::mutex> locker(lock);
        return pendingBytes;
    }

private:
    // Writes whatever has gathered in one go; on quitting, what is left first.
    void run()
    {
        std::unique_lock<std::mutex> locker(lock);
        for (;;) {
            queued.wait(locker, [this] { return quitting || !chunks.empty(); });
            if (chunks.empty())
                return;
            QByteArray bytes;
            while (!chunks.empty()) {
                bytes += chunks.front();
                chunks.pop_front();
            }
            locker.unlock();
            // A stream that refuses (a closed pipe) loses the text, nothing else.
            std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
            std::fflush(out);
            locker.lock();
            pendingBytes -= bytes.size();
        }
    }

    std::FILE *const out;
    std::mutex lock;
    std::condition_variable queued;
    std::deque<QByteArray> chunks;
    qint64 pendingBytes = 0; // queued or being written
    bool quitting = false;
    std::thread thread; // last: starts once the rest is set up
};

std::mutex writersLock;
std::unique_ptr<Writer> stdoutWriter;
std::unique_ptr<Writer> stderrWriter;
bool writersDone = false; // after finish(), text is written where it is made

bool queue(std::FILE *out, QByteArray bytes, bool droppable)
{
    std::unique_lock<std::mutex> locker(writersLock);
    if (writersDone) {
        locker.unlock();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
        std::fflush(out);
        return true;
    }
    std::unique_ptr<Writer> &writer = out == stderr ? stderrWriter : stdoutWriter;
    if (!writer)
        writer = std::make_unique<Writer>(out == stderr ? stderr : stdout);
    return writer->queue(std::move(bytes), droppable);
}

// Every event says which format it is in.
QByteArray jsonLine(QJsonObject object)
{
    object.insert(QStringLiteral("version"), Output::EventFormat);
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

namespace Output
{

int terminalWidth(std::FILE *out)
{
#ifdef Q_OS_WIN
    CONSOLE_SCREEN_BUFFER_INFO info;
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    if (GetConsoleScreenBufferInfo(console, &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (::ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return 80;
}

// Windows consoles take the same escapes once asked to; a terminal that does
// not say what it is (TERM=dumb) gets none.
bool escapesAllowed(std::FILE *out)
{
    if (qEnvironmentVariable("TERM") == QLatin1String("dumb"))
        return false;
#ifdef Q_OS_WIN
    const auto console = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(out)));
    DWORD mode = 0;
    return GetConsoleMode(console, &mode) &&
           SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    return ::isatty(fileno(out));
#endif
}

QString paint(bool colour, const char *code, const QString &text)
{
    if (!colour)
        return text;
    return QStringLiteral("\x1b[%1m").arg(QLatin1String(code)) + text + QStringLiteral("\x1b[0m");
}

void put(std::FILE *out, const QString &text)
{
    queue(out, text.toLocal8Bit(), false);
}

void putJson(const QJsonObject &object)
{
    queue(stdout, jsonLine(object), false);
}

bool offer(std::FILE *out, const QString &text)
{
    return queue(out, text.toLocal8Bit(), true);
}

bool offerJson(const QJsonObject &object)
{
    return queue(stdout, jsonLine(object), true);
}

bool behind()
{
    std::lock_guard<std::mutex> locker(writersLock);
    for (const auto *writer : {&stdoutWriter, &stderrWriter}) {
        if (*writer && (*writer)->pending() > BehindLimitBytes)
            return true;
    }
    return false;
}

void finish()
{
    std::unique_ptr<Writer> out;
    std::unique_ptr<Writer> err;
    {
        std::lock_guard<std::mutex> locker(writersLock);
        writersDone = true;
        out = std::move(stdoutWriter);
        err = std::move(stderrWriter);
    }
    // Each writes what it holds before it ends.
}

} // namespace Output
