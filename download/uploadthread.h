#ifndef UPLOADTHREAD_H
#define UPLOADTHREAD_H

#include "download/receivestate.h"
#include "download/sessioncore.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>

class FirmwareImage;
class SerialPort;

// The download worker. Each start runs one session on its own thread: start
// and prepare frames, one 71-byte frame per 64-byte data block, each answered
// by the board, then the end frame. The protocol's steps are the session
// core's; this drives it with blocking calls and tells the window through
// three signals. readMyCom() runs queued from the port's I/O thread in the
// thread the object lives in: the window's GUI thread, or a thread of its own
// where a program must take replies in whatever its main thread is doing.
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

    // Set while no session runs; null for none.
    void setObserver(SessionObserver *observer);
    // DTR and RTS into the board's boot loader and out (SessionSettings
    // tells when); empty ones, as the window has them, leave the lines alone.
    void setLineSequences(const LineSequence &enter, const LineSequence &leave);

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
    // Turns the core's events into the window's progress and trace lines.
    struct Relay : SessionEvents {
        explicit Relay(uploadThread *worker) : worker(worker) {}
        void sessionEvent(const SessionEvent &event) override;
        uploadThread *worker;
    };

    void drive(SessionCore &core, FirmwareImage &image);
    void openSerialPort(SessionCore &core);
    std::optional<PortFailure> enterBootLoader(SerialPort &opened);
    void leaveBootLoader();
    void openImage(SessionCore &core, FirmwareImage &image);
    void awaitReply(SessionCore &core);
    bool stopWanted();
    void clearReceiveState();
    bool closeSerialPort();
    void announceEnd(const SessionResult &result);

    // Settings: written by the GUI thread, copied by a session when it needs
    // them. Guarded by settingsLock.
    QString comName;
    int baudRate = 0;
    LineSequence enterSequence;
    LineSequence leaveSequence;

    // Receive state and the port it is read from: filled by readMyCom() in
    // the GUI thread, handed to the core and cleared by the session. Guarded
    // by rxLock; replyReady wakes the session as soon as a reply is complete.
    unsigned char rxBuffer[ReceiveState::Capacity] = {};
    quint8 rxCount = 0;
    quint8 rxIndex = 0;
    int tickCount = 0; // session thread only
    std::atomic<bool> stopRequested{false};
    QString fileName;
    SerialPort *port = nullptr;

    SessionObserver *observer = nullptr; // set only while no session runs
    Relay relay{this};
    bool endFrameWritten = false; // session thread only
    LineSequenceRun entered;      // session thread only, as are the runs
    LineSequenceRun left;

    // Standard mutexes, so thread checkers see every hand-over.
    std::mutex settingsLock;
    std::mutex rxLock;
    std::condition_variable replyReady;
};

#endif
