#include "sim/bootsim.h"

#include "download/deviceframe.h"
#include "sim/frameparser.h"

#include <QFile>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

constexpr unsigned char StartCommand = 0x10;
constexpr unsigned char BlockCommand = 0x01;
constexpr unsigned char EndCommand = 0x03;
constexpr qint64 ByteGapNs = 200 * 1000;
constexpr qint64 SpinNs = 150 * 1000;

speed_t baudCode(int rate)
{
    switch (rate) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    default:
        return B0;
    }
}

qint64 monotonicNs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

QString systemError(const QString &what)
{
    return QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

BootSim::BootSim(const BootSimOptions &options) : m_options(options) {}

BootSim::~BootSim()
{
    stop();
}

bool BootSim::start(QString *error)
{
    auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        closeFds();
        return false;
    };
    if (m_thread.joinable())
        return fail(QStringLiteral("already started"));
    const BootSimOptions opts = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_options;
    }();

    m_masterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_masterFd < 0)
        return fail(systemError(QStringLiteral("posix_openpt")));
    char name[128];
    if (grantpt(m_masterFd) != 0 || unlockpt(m_masterFd) != 0 ||
        ptsname_r(m_masterFd, name, sizeof name) != 0)
        return fail(systemError(QStringLiteral("pseudo-terminal setup")));
    // Our own slave fd keeps the line up while the host closes and reopens it.
    m_slaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slaveFd < 0)
        return fail(systemError(QString::fromLocal8Bit(name)));
    termios tio;
    if (tcgetattr(m_slaveFd, &tio) != 0)
        return fail(systemError(QStringLiteral("tcgetattr")));
    cfmakeraw(&tio);
    if (opts.lockedBaud > 0 &&
        (baudCode(opts.lockedBaud) == B0 || cfsetspeed(&tio, baudCode(opts.lockedBaud)) != 0))
        return fail(QStringLiteral("no such rate: %1").arg(opts.lockedBaud));
    if (tcsetattr(m_slaveFd, TCSANOW, &tio) != 0)
        return fail(systemError(QStringLiteral("tcsetattr")));
    // Like a driver that cannot make another rate: the kernel keeps the
    // locked rate and the host's request still succeeds.
    if (opts.lockedBaud > 0) {
        termios lock = {};
        lock.c_cflag = CBAUD;
        if (ioctl(m_masterFd, TIOCSLCKTRMIOS, &lock) != 0)
            return fail(systemError(QStringLiteral("locking the line rate")));
    }
    m_stopFd = eventfd(0, EFD_CLOEXEC);
    if (m_stopFd < 0)
        return fail(systemError(QStringLiteral("eventfd")));
    if (!opts.logPath.isEmpty()) {
        m_log = std::fopen(QFile::encodeName(opts.logPath).constData(), "we");
        if (!m_log)
            return fail(systemError(opts.logPath));
    }
    if (!opts.linkPath.isEmpty()) {
        const QByteArray link = QFile::encodeName(opts.linkPath);
        struct stat st;
        // A link left behind by an earlier run is replaced, anything else is kept.
        if (lstat(link.constData(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(link.constData());
        if (symlink(name, link.constData()) != 0)
            return fail(systemError(opts.linkPath));
        m_linkMade = opts.linkPath;
    }

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_slavePath = QString::fromLocal8Bit(name);
        m_running = true;
        m_hungUp = false;
        m_hostFrames.clear();
        m_transcript.clear();
        m_image.clear();
        m_endFrames = 0;
        m_badFrames = 0;
        m_turnaround.clear();
        m_firstBlockNs = -1;
        m_blockPhase = {};
    }
    m_frameNumber = 0;
    m_lastReplyEnd = 0;
    m_blocks.clear();
    m_modemLinesRead = 0;
    m_lineEvents.clear();
    m_writeLeft = 0;
    m_rts = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_bootLoader = false;
        m_bootLoaderEntries = 0;
        m_firmwareStarts = 0;
    }
    m_thread = std::thread(&BootSim::serve, this);
    return true;
}

qint64 BootSim::serveCpuNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_serveCpuNs;
}

void BootSim::stop()
{
    if (m_thread.joinable()) {
        const quint64 one = 1;
        if (::write(m_stopFd, &one, sizeof one) != sizeof one)
            qWarning("kavro-bootsim: cannot signal the serving thread");
        m_thread.join();
    }
    closeFds();
    if (!m_linkMade.isEmpty()) {
        ::unlink(QFile::encodeName(m_linkMade).constData());
        m_linkMade.clear();
    }
}

void BootSim::closeFds()
{
    for (int *fd : {&m_masterFd, &m_slaveFd, &m_stopFd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    if (m_log)
        std::fclose(m_log);
    m_log = nullptr;
}

QString BootSim::slavePath() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_slavePath;
}

void BootSim::setOptions(const BootSimOptions &options)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options = options;
}

QList<QByteArray> BootSim::hostFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hostFrames;
}

QList<QPair<bool, QByteArray>> BootSim::transcript() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_transcript;
}

QByteArray BootSim::receivedImage() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_image;
}

int BootSim::endFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endFrames;
}

int BootSim::badFrames() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_badFrames;
}

bool BootSim::hungUp() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hungUp;
}

QVector<qint64> BootSim::turnaroundNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_turnaround;
}

qint64 BootSim::replyLatenessNs() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_latenessNs;
}

BootSim::BlockPhase BootSim::blockPhase() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_blockPhase;
}

void BootSim::clearLog()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hostFrames.clear();
    m_transcript.clear();
    m_turnaround.clear();
    m_latenessNs = 0;
    m_firstBlockNs = -1;
    m_blockPhase = {};
}

template <typename Pred> bool BootSim::waitFor(int timeoutMs, Pred pred)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto done = [&] { return pred() || !m_running; };
    if (timeoutMs < 0)
        m_changed.wait(lock, done);
    else
        m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    return pred();
}

bool BootSim::waitForEndFrames(int n, int timeoutMs)
{
    return waitFor(timeoutMs, [&] { return m_endFrames >= n; });
}

bool BootSim::waitForFrames(int n, int timeoutMs)
{
    return waitFor(timeoutMs, [&] { return m_hostFrames.size() >= n; });
}

bool BootSim::waitForHangUp(int timeoutMs)
{
    return waitFor(timeoutMs, [&] { return m_hungUp; });
}

void BootSim::serve()
{
    // Wire-time replies need sleeps that end on time, not up to 50 us late.
    prctl(PR_SET_TIMERSLACK, 1UL);
    FrameParser parser;
    char buffer[4096];
    const QString linesPath = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_options.modemLinesPath;
    }();
    while (m_masterFd >= 0) {
        pollfd fds[2] = {{m_masterFd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        // A board held by its lines follows them also while no byte comes.
        if (!linesPath.isEmpty()) {
            followModemLines(linesPath);
            applyLineChanges();
        }
        if (poll(fds, 2, linesPath.isEmpty() ? -1 : 10) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents)
            break;
        if (!fds[0].revents)
            continue;
        const ssize_t got = ::read(m_masterFd, buffer, sizeof buffer);
        const qint64 now = monotonicNs();
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0)
            break;
        if (linesPath.isEmpty())
            feed(parser, buffer, int(got), now);
        else
            takeBytes(parser, buffer, int(got), now);
    }
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
        m_serveCpuNs = qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
    }
    m_changed.notify_all();
}

void BootSim::feed(FrameParser &parser, const char *data, int size, qint64 now)
{
    parser.feed(data, size, now);
    for (const FrameParser::Frame &frame : parser.takeFrames()) {
        if (m_masterFd < 0)
            break;
        handleFrame(frame.bytes, frame.good, frame.tag);
    }
}

// Each of the host's writes is heard as the lines were when it was made: by
// the boot loader, or by nothing, when the board is in reset or runs its
// firmware.
void BootSim::takeBytes(FrameParser &parser, const char *data, int size, qint64 now)
{
    const QString path = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_options.modemLinesPath;
    }();
    while (size > 0 && m_masterFd >= 0) {
        if (m_writeLeft == 0 && !nextWrite(path))
            m_writeLeft = size; // a host that never noted its write: heard as things are
        const int take = std::min(size, m_writeLeft);
        if (inBootLoader())
            feed(parser, data, take, now);
        else
            logLine("unheard", QByteArray(data, take));
        data += take;
        size -= take;
        m_writeLeft -= take;
    }
}

// Applies the line changes made before the host's next write, and takes that
// write's size. The host notes a write just after making it, so its note is
// waited for, within reason.
bool BootSim::nextWrite(const QString &path)
{
    const qint64 giveUp = monotonicNs() + 2000000000;
    for (;;) {
        followModemLines(path);
        applyLineChanges();
        if (!m_lineEvents.empty()) {
            m_writeLeft = m_lineEvents.front().wrote;
            m_lineEvents.pop_front();
            return true;
        }
        pollfd stopFd = {m_stopFd, POLLIN, 0};
        if (monotonicNs() > giveUp || poll(&stopFd, 1, 1) > 0)
            return false;
    }
}

// The changes up to the next write, which must wait for its bytes.
void BootSim::applyLineChanges()
{
    while (!m_lineEvents.empty() && m_lineEvents.front().wrote == 0) {
        linesChanged(m_lineEvents.front().dtr, m_lineEvents.front().rts);
        m_lineEvents.pop_front();
    }
}

void BootSim::handleFrame(const QByteArray &frame, bool good, qint64 t0)
{
    const BootSimOptions opts = [this] {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_options;
    }();
    if (!good) {
        logLine("bad", frame);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_badFrames;
        }
        m_changed.notify_all();
        return;
    }

    const auto *bytes = reinterpret_cast<const unsigned char *>(frame.constData());
    const unsigned char command = bytes[3];
    const bool block = command == BlockCommand && frame.size() == DeviceFrame::BlockFrameSize;
    if (command == StartCommand) {
        m_frameNumber = 0;
        m_blocks.clear();
    }
    const int number = ++m_frameNumber;
    logLine("host", frame);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hostFrames.append(frame);
        m_transcript.append({true, frame});
        if (block && m_lastReplyEnd > 0)
            m_turnaround.append(t0 - m_lastReplyEnd);
        if (command == StartCommand) {
            m_firstBlockNs = -1;
        } else if (block && m_firstBlockNs < 0) {
            m_firstBlockNs = t0;
            m_latenessBeforeBlocksNs = m_latenessNs;
        } else if (command == EndCommand && m_firstBlockNs >= 0) {
            m_blockPhase = {t0 - m_firstBlockNs, m_latenessNs - m_latenessBeforeBlocksNs};
        }
    }
    m_changed.notify_all();
    m_lastReplyEnd = 0;

    if (number == opts.hangupAt) {
        hangUp();
        return;
    }
    if (block) {
        const quint16 address = quint16(bytes[4] | bytes[5] << 8);
        m_blocks[address] = frame.mid(DeviceFrame::BlockDataOffset, DeviceFrame::BlockDataSize);
    }
    if (command == EndCommand) {
        storeImage(opts);
        return;
    }
    if (opts.neverAnswer || (opts.answerFirst > 0 && number > opts.answerFirst))
        return;
    reply(frame, number, opts, t0);
}

void BootSim::reply(const QByteArray &frame, int number, const BootSimOptions &opts, qint64 t0)
{
    qint64 deadline = monotonicNs();
    if (opts.wireBaud > 0) {
        const qint64 bits = qint64(frame.size() + DeviceFrame::ReplySize) * 10;
        deadline = std::max(deadline, t0 + bits * 1000000000 / opts.wireBaud);
    }
    deadline += opts.delayUs * 1000;
    if (opts.adapterLatencyMs > 0) {
        // A reply is a few bytes, never enough to fill the adapter's buffer
        // and go early: it waits for the timer.
        const qint64 tick = qint64(opts.adapterLatencyMs) * 1000000;
        deadline = (deadline + tick - 1) / tick * tick;
    }

    QByteArray out;
    if (number == opts.floodAt) {
        out = QByteArray(opts.floodBytes, char(0xAA));
    } else {
        unsigned char r[DeviceFrame::ReplySize] = {
            DeviceFrame::StartByte, 0x01, DeviceFrame::TypeByte, 0, 0x00, 0};
        r[3] = static_cast<unsigned char>(frame[3]);
        r[5] = DeviceFrame::checkByte(r + 1, 4);
        if (number == opts.badCheckAt)
            r[5] ^= 0xFF;
        if (number == opts.badStartAt)
            r[0] = 0xEF;
        out = QByteArray(reinterpret_cast<const char *>(r), DeviceFrame::ReplySize);
        if (opts.doubleReply)
            out += out;
    }

    if (!sleepUntil(deadline, opts.exactTiming))
        return;
    const qint64 late = monotonicNs() - deadline;
    if (opts.byteByByte) {
        for (int i = 0; i < out.size(); ++i) {
            if (i > 0 && !sleepUntil(monotonicNs() + ByteGapNs))
                return;
            if (!writeAll(out.constData() + i, 1))
                return;
        }
    } else if (!writeAll(out.constData(), out.size())) {
        return;
    }
    m_lastReplyEnd = monotonicNs();
    logLine("board", out);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_transcript.append({false, out});
        m_latenessNs += late;
    }
    m_changed.notify_all();
    if (number == opts.hangupAfterReply) {
        // A hang-up discards what the host has not read yet, so wait until
        // the reply has reached the host's input queue and left it again:
        // the host must see the reply and move on to a line that is gone.
        const qint64 giveUp = monotonicNs() + 200000000;
        bool arrived = false;
        int unread = 0;
        while (ioctl(m_slaveFd, FIONREAD, &unread) == 0 && (unread > 0 || !arrived) &&
               monotonicNs() < giveUp) {
            arrived = arrived || unread > 0;
            std::this_thread::yield();
        }
        hangUp();
    }
}

bool BootSim::writeAll(const char *data, int size)
{
    while (size > 0) {
        const ssize_t put = ::write(m_masterFd, data, size);
        if (put > 0) {
            data += put;
            size -= int(put);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN)
            return false;
        // The host is not reading and the line buffer is full.
        pollfd fds[2] = {{m_masterFd, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents)
            return false;
    }
    return true;
}

bool BootSim::sleepUntil(qint64 deadlineNs, bool spin)
{
    for (;;) {
        const qint64 left = deadlineNs - monotonicNs();
        if (left <= 0)
            return true;
        if (left > 3000000) {
            // Long waits stay stoppable; the last stretch is slept exactly. The
            // margin covers a late poll() wake-up on a busy machine.
            pollfd stopFd = {m_stopFd, POLLIN, 0};
            const qint64 ms = std::min<qint64>((left - 2000000) / 1000000, INT_MAX);
            if (poll(&stopFd, 1, int(ms)) > 0)
                return false;
            continue;
        }
        // A sleeping thread wakes tens of microseconds late, which would
        // count against the host in wire-time runs; the last stretch spins.
        const qint64 wake = spin ? deadlineNs - SpinNs : deadlineNs;
        if (left > SpinNs || !spin) {
            timespec ts = {time_t(wake / 1000000000), long(wake % 1000000000)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
        }
        while (monotonicNs() < deadlineNs) {
        }
        return true;
    }
}

void BootSim::hangUp()
{
    ::close(m_masterFd);
    m_masterFd = -1;
    ::close(m_slaveFd);
    m_slaveFd = -1;
    logLine("hangup", QByteArray());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hungUp = true;
    }
    m_changed.notify_all();
}

void BootSim::storeImage(const BootSimOptions &opts)
{
    QByteArray image;
    for (const auto &block : m_blocks)
        image += block.second;
    if (!opts.imageOut.isEmpty()) {
        // QSaveFile renames a finished temp file, so readers never see half an image.
        QSaveFile file(opts.imageOut);
        if (!file.open(QIODevice::WriteOnly) || file.write(image) != image.size() || !file.commit())
            qWarning("kavro-bootsim: cannot write %s: %s", qPrintable(opts.imageOut),
                     qPrintable(file.errorString()));
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_image = image;
        ++m_endFrames;
    }
    m_changed.notify_all();
}

void BootSim::logLine(const char *who, const QByteArray &bytes)
{
    if (!m_log)
        return;
    if (bytes.isEmpty())
        std::fprintf(m_log, "%s\n", who);
    else
        std::fprintf(m_log, "%s %s\n", who, bytes.toHex(' ').toUpper().constData());
    std::fflush(m_log);
}

// The host's line changes and writes since the last look, for this board's
// device alone, in the order the host made them.
void BootSim::followModemLines(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(m_modemLinesRead))
        return;
    const QByteArray device = QFile::encodeName(slavePath());
    for (;;) {
        const QByteArray line = file.readLine();
        if (!line.endsWith('\n'))
            break;
        m_modemLinesRead += line.size();
        const QList<QByteArray> fields = line.trimmed().split(' ');
        if (fields.size() == 4 && fields[0] == device)
            m_lineEvents.push_back({0, fields[1] == "dtr=1", fields[2] == "rts=1"});
        else if (fields.size() == 3 && fields[0] == device && fields[1].startsWith("wrote="))
            m_lineEvents.push_back({fields[1].mid(6).toInt(), false, false});
    }
}

bool BootSim::inBootLoader() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bootLoader;
}

int BootSim::bootLoaderEntries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bootLoaderEntries;
}

int BootSim::firmwareStarts() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_firmwareStarts;
}

// RTS asserted holds the board in reset; its release starts the boot loader
// where DTR is asserted then, else the firmware.
void BootSim::linesChanged(bool dtr, bool rts)
{
    const bool released = m_rts && !rts;
    m_rts = rts;
    logLine(dtr ? (rts ? "lines dtr=1 rts=1" : "lines dtr=1 rts=0")
                : (rts ? "lines dtr=0 rts=1" : "lines dtr=0 rts=0"),
            QByteArray());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (rts)
            m_bootLoader = false;
        if (released) {
            m_bootLoader = dtr;
            ++(dtr ? m_bootLoaderEntries : m_firmwareStarts);
        }
    }
    if (rts)
        m_frameNumber = 0;
    m_changed.notify_all();
}
