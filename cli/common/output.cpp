#include "cli/common/output.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
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

const char *streamName(std::FILE *out)
{
    return out == stderr ? "standard error" : "standard output";
}

// Writes `bytes` to `out` at once; the system's reason when it cannot.
bool writeOut(std::FILE *out, const QByteArray &bytes, QString *why)
{
    const bool written =
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out) == size_t(bytes.size());
    if (std::fflush(out) == 0 && written)
        return true;
    *why = QString::fromLocal8Bit(std::strerror(errno));
    std::clearerr(out);
    return false;
}

void reportLoss(std::FILE *lost, const QString &why);

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
            mustArrive |= !droppable;
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
            const bool lossMatters = mustArrive;
            mustArrive = false;
            locker.unlock();
            // A stream that refuses (a full disk, a closed pipe) loses the
            // text, nothing else: the sessions go on.
            QString why;
            if (!writeOut(out, bytes, &why) && lossMatters)
                reportLoss(out, why);
            locker.lock();
            pendingBytes -= bytes.size();
        }
    }

    std::FILE *const out;
    std::mutex lock;
    std::condition_variable queued;
    std::deque<QByteArray> chunks;
    qint64 pendingBytes = 0; // queued or being written
    bool mustArrive = false; // put() text is among the chunks
    bool quitting = false;
    std::thread thread; // last: starts once the rest is set up
};

std::mutex writersLock;
std::unique_ptr<Writer> stdoutWriter;
std::unique_ptr<Writer> stderrWriter;
bool writersDone = false; // after finish(), text is written where it is made
std::atomic<bool> stdoutLost{false};
std::atomic<bool> stderrLost{false};
std::atomic<bool> stdoutCarriesJson{false};

bool queue(std::FILE *out, QByteArray bytes, bool droppable)
{
    std::unique_lock<std::mutex> locker(writersLock);
    if (writersDone) {
        locker.unlock();
        QString why;
        if (!writeOut(out, bytes, &why) && !droppable)
            reportLoss(out, why);
        return true;
    }
    std::unique_ptr<Writer> &writer = out == stderr ? stderrWriter : stdoutWriter;
    if (!writer)
        writer = std::make_unique<Writer>(out == stderr ? stderr : stdout);
    return writer->queue(std::move(bytes), droppable);
}

// Text that had to arrive did not: said once, on the other stream, as long
// as that one still works and may carry a line of text.
void reportLoss(std::FILE *lost, const QString &why)
{
    std::atomic<bool> &flag = lost == stderr ? stderrLost : stdoutLost;
    if (flag.exchange(true))
        return;
    std::FILE *other = lost == stderr ? stdout : stderr;
    if (other == stdout && stdoutCarriesJson)
        return;
    queue(other,
          QStringLiteral("kavro-flash: write error on %1: %2\n")
              .arg(QLatin1String(streamName(lost)), why)
              .toLocal8Bit(),
          false);
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
    stdoutCarriesJson = true;
    queue(stdout, jsonLine(object), false);
}

bool offer(std::FILE *out, const QString &text)
{
    return queue(out, text.toLocal8Bit(), true);
}

bool offerJson(const QJsonObject &object)
{
    stdoutCarriesJson = true;
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

bool finish()
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
    out.reset();
    err.reset();
    return !stdoutLost && !stderrLost;
}

} // namespace Output
