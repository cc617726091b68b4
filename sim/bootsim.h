#ifndef BOOTSIM_H
#define BOOTSIM_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QVector>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

// How the simulated board behaves. Frame and reply numbers count from 1 and
// restart at every start frame; the reply to frame K is reply K. 0 turns a
// numbered fault off.
struct BootSimOptions {
    QString linkPath; // symlink to the slave; read by start()
    QString imageOut; // the received image is written here at each end frame
    QString logPath;  // transcript file; read by start()

    bool neverAnswer = false;
    int answerFirst = 0; // answer frames 1..K of a session, then stay silent
    int badCheckAt = 0;  // reply K carries a wrong check byte
    int badStartAt = 0;  // reply K starts with a byte other than FE
    bool byteByByte = false;
    bool doubleReply = false; // each reply twice, in one write
    int floodAt = 0;          // garbage instead of reply K
    int floodBytes = 300;
    int hangupAt = 0;         // drop the line when frame K arrives
    int hangupAfterReply = 0; // drop the line right after reply K
    int lockedBaud = 0;       // the line keeps this rate whatever the host asks
    qint64 delayUs = 0;
    int wireBaud = 0; // reply no earlier than the line would carry frame + reply
    // A USB serial adapter's latency timer: each reply waits for the next
    // tick of a free-running N ms timer (ticks counted from the monotonic
    // clock's zero).
    int adapterLatencyMs = 0;
    // Spin through the last stretch before a reply so it leaves on time;
    // without it the board sleeps (freeing the CPU) and reports how late its
    // replies left instead (replyLatenessNs()).
    bool exactTiming = true;
    // A board held in reset, wired as most are: RTS asserted holds it in
    // reset, DTR asserted at the release starts its boot loader, which alone
    // answers frames. The host's line changes are read from this file, one
    // "DEVICE dtr=D rts=R TIME" line per change (a pseudo-terminal carries
    // none), and the host's writes as "DEVICE wrote=N TIME" after each, so
    // that each byte is heard or not as the lines were when it was sent.
    // Empty: the boot loader always answers.
    QString modemLinesPath;
};

// A board's serial boot loader on a pseudo-terminal, served from its own
// thread. start() and stop() belong to the owner; everything else may be
// called from any thread.
class FrameParser;

class BootSim
{
public:
    explicit BootSim(const BootSimOptions &options = BootSimOptions());
    ~BootSim();

    BootSim(const BootSim &) = delete;
    BootSim &operator=(const BootSim &) = delete;

    bool start(QString *error = nullptr);
    void stop();
    QString slavePath() const;

    // Takes effect from the next frame on.
    void setOptions(const BootSimOptions &options);

    // Good host frames in order since start() or clearLog().
    QList<QByteArray> hostFrames() const;
    // Host frames (true) and board writes (false) in order.
    QList<QPair<bool, QByteArray>> transcript() const;
    // The image as of the last end frame.
    QByteArray receivedImage() const;
    int endFrames() const;
    int badFrames() const;
    bool hungUp() const;
    // Per block frame that followed a board reply: from the end of that
    // reply's write() to the read that brought the block's first byte.
    QVector<qint64> turnaroundNs() const;
    // How much later than their due time the replies left, summed.
    qint64 replyLatenessNs() const;
    // The last session's block phase: from its first block frame to its end
    // frame, as they arrived, and how late the replies within it left, the
    // part of it that is the board's own. Zeros until a session has both.
    struct BlockPhase {
        qint64 ns = 0;
        qint64 latenessNs = 0;
    };
    BlockPhase blockPhase() const;

    // These return early with false once the board has hung up or stopped.
    bool waitForEndFrames(int n, int timeoutMs);
    bool waitForFrames(int n, int timeoutMs);
    bool waitForHangUp(int timeoutMs);

    // With modemLinesPath: whether the boot loader runs, and how often the
    // board was let out of reset into its boot loader and into its firmware.
    bool inBootLoader() const;
    int bootLoaderEntries() const;
    int firmwareStarts() const;

    void clearLog();

    // CPU time the serving thread used, once it has ended (after stop()):
    // what a benchmark takes off the process's time to leave the host's.
    qint64 serveCpuNs() const;

private:
    template <typename Pred> bool waitFor(int timeoutMs, Pred pred);
    void serve();
    void handleFrame(const QByteArray &frame, bool good, qint64 t0);
    void reply(const QByteArray &frame, int number, const BootSimOptions &opts, qint64 t0);
    bool writeAll(const char *data, int size);
    bool sleepUntil(qint64 deadlineNs, bool spin = true);
    void hangUp();
    void storeImage(const BootSimOptions &opts);
    void logLine(const char *who, const QByteArray &bytes);
    void closeFds();
    struct LineEvent {
        int wrote = 0; // bytes the host wrote; 0 for a change of the lines
        bool dtr = false;
        bool rts = false;
    };
    void followModemLines(const QString &path);
    void applyLineChanges();
    bool nextWrite(const QString &path);
    void takeBytes(FrameParser &parser, const char *data, int size, qint64 now);
    void feed(FrameParser &parser, const char *data, int size, qint64 now);
    void linesChanged(bool dtr, bool rts);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    BootSimOptions m_options;
    QString m_slavePath;
    QString m_linkMade;
    bool m_running = false;
    bool m_hungUp = false;
    QList<QByteArray> m_hostFrames;
    QList<QPair<bool, QByteArray>> m_transcript;
    QByteArray m_image;
    int m_endFrames = 0;
    int m_badFrames = 0;
    QVector<qint64> m_turnaround;
    qint64 m_latenessNs = 0;
    qint64 m_firstBlockNs = -1;
    qint64 m_latenessBeforeBlocksNs = 0;
    BlockPhase m_blockPhase;
    qint64 m_serveCpuNs = 0;

    // Owned by the serving thread while it runs.
    int m_masterFd = -1;
    int m_slaveFd = -1;
    int m_stopFd = -1;
    std::FILE *m_log = nullptr;
    std::thread m_thread;
    int m_frameNumber = 0;
    qint64 m_lastReplyEnd = 0;
    std::map<quint16, QByteArray> m_blocks;
    qint64 m_modemLinesRead = 0;        // bytes of the line file taken in
    std::deque<LineEvent> m_lineEvents; // read, not yet applied
    int m_writeLeft = 0;                // of the host's write being received
    bool m_rts = false;
    // Guarded by m_mutex.
    bool m_bootLoader = false;
    int m_bootLoaderEntries = 0;
    int m_firmwareStarts = 0;
};

#endif
