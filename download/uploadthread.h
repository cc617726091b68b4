#ifndef UPLOADTHREAD_H
#define UPLOADTHREAD_H

#include "download/receivestate.h"
#include "serial/linesequence.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class Outcome;
class SerialPort;

// The download worker. Each start runs one session on its own thread: start
// and prepare frames, one 71-byte frame per 64-byte data block, each answered
// by the board, then the end frame. readMyCom() runs queued from the port's
// I/O thread in the thread the object lives in: the window's GUI thread, or a
// thread of its own where a program must take replies in whatever its main
// thread is doing.
class uploadThread : public QThread
{
    Q_OBJECT
public:
    uploadThread();
    ~uploadThread() override;

    void setBaud(int rate);
    // Port name and image path come as UTF-8: a Windows code page would
    // lose every character outside it.
    void setComName(const char *comName);
    void setFileName(const char *fileName);
    void stopDownload();

    // Sessions begun so far; the next one to begin takes the next number.
    unsigned sessionCount() const;
    // stopDownload() for session `number` alone. It holds even when that
    // session's thread has not yet reached its first step, which clears any
    // earlier stop.
    void stopSession(unsigned number);
    // The line setting the last session's port refused ("baud rate 256000"),
    // or empty.
    QString refusedSetting();
    // Why the last session's port did not open or could not be set up, or
    // empty.
    QString openFailure();

    // Changes to the port's DTR and RTS: `enter` once the port is set up,
    // before the start frame; `leave` once a successful session's end frame
    // has left the host. Empty ones leave the lines alone.
    void setLineSequences(const LineSequence &enter, const LineSequence &leave);
    // The last session's sequences as they ran, and why one stopped short.
    LineSequenceRun enterRun();
    LineSequenceRun leaveRun();

    // The settings as the next session will read them.
    QString portSetting();
    int baudSetting();
    QString fileSetting();

signals:
    void setProgress(int sum);
    void setFinish(const char *text);
    void setDownloadBtnText(const char *text);

public slots:
    void readMyCom();

protected:
    void run() override;

private:
    // The two orders in which a session's closing signals have always come:
    // the button and the progress first, or the outcome first.
    enum class EndOrder { ButtonFirst, OutcomeFirst };
    void announceEnd(const Outcome &outcome, EndOrder order);
    // Closes the port, then announces the outcome.
    void endSession(const Outcome &outcome, EndOrder order);

    bool openSerialPort();
    std::optional<QString> enterBootLoader(SerialPort *opened);
    void leaveBootLoader();
    bool waitForReply();
    bool replyAccepted();
    void clearReceiveState();
    bool closeSerialPort();
    bool writeFrame(const QByteArray &frame);
    bool writeFrame(const unsigned char *frame, int size);

    // Settings: written by the GUI thread, copied by a session when it needs
    // them. Guarded by settingsLock.
    QString comName;
    int baudRate = 0;

    // Receive state and the port it is read from: filled by readMyCom() in
    // the GUI thread, judged and cleared by the session. Guarded by rxLock;
    // replyReady wakes the session as soon as a reply is complete.
    unsigned char rxBuffer[ReceiveState::Capacity] = {};
    quint8 rxCount = 0;
    quint8 rxIndex = 0;
    int tickCount = 0; // session thread only
    std::atomic<bool> stopRequested{false};
    std::atomic<unsigned> sessionsBegun{0};
    std::atomic<unsigned> stopFor{0};
    QString lastRefusal;        // guarded by settingsLock
    QString lastOpenFailure;    // guarded by settingsLock
    LineSequence enterSequence; // guarded by settingsLock, as are the runs
    LineSequence leaveSequence;
    LineSequenceRun lastEnter;
    LineSequenceRun lastLeave;
    QString fileName;
    SerialPort *port = nullptr;

    // Standard mutexes, so thread checkers see every hand-over.
    std::mutex settingsLock;
    std::mutex rxLock;
    std::condition_variable replyReady;
};

#endif
