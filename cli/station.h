#ifndef STATION_H
#define STATION_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <vector>

class uploadThread;

// A production station: every port is a fixture socket (a slot) that flashes
// each board plugged into it, once, and then waits for it to be unplugged.
// A board's session is the window's session, run by its own worker.
class Station : public QObject
{
    Q_OBJECT
public:
    enum class State { WaitingForBoard, Flashing, WaitingForUnplug };

    struct Slot {
        QString port;
        State state = State::WaitingForBoard;
        std::unique_ptr<uploadThread> worker;
        int board = 0; // running number of the board in the slot, from 1
        int blocksSent = 0;
        int percent = 0;
        bool closing = false;
        const char *outcome = nullptr;
        QString lastOutcome;
        QString usbSerial;
        QElapsedTimer clock;
        qint64 elapsedMs = 0;
        qint64 retryAfterMs = 0; // a port that did not open is tried again then
    };

    struct Settings {
        QStringList ports;
        int baud = 115200;
        QString imagePath;
        qint64 blocks = 0;
        int count = 0; // boards to flash in all; 0 for no limit
        QString recordPath;
    };

    explicit Station(const Settings &settings, QObject *parent = nullptr);
    ~Station() override;

    // Takes the image's hash and opens the record; false with the reason.
    bool prepare(QString *error);
    void start();
    // Ctrl-C: sessions in progress end as a cancel, no new board is taken.
    void interrupt();

    int size() const { return int(sockets.size()); }
    const Slot &slot(int index) const { return sockets[index]; }
    const Settings &settings() const { return config; }
    QString imageSha256() const { return QString::fromLatin1(imageHash.toHex()); }
    int succeeded() const { return goodBoards; }
    int failed() const { return badBoards; }
    qint64 elapsedMs() const { return clock.elapsed(); }
    bool wasInterrupted() const { return interrupted; }
    // Why the station stopped by itself, if it did.
    QString haltReason() const { return halt; }
    int exitStatus() const;

signals:
    void changed(int index);
    void boardStarted(int index);
    void boardEnded(int index);
    void halted(const QString &reason);
    void finished();

private:
    void poll();
    void startBoard(int index);
    void watch(int index);
    void endBoard(int index);
    bool record(const Slot &s, QString *error);
    void stopTaking(const QString &reason, int status);
    void finishWhenIdle();
    bool portPresent(const Slot &s) const;

    Settings config;
    std::vector<Slot> sockets;
    QByteArray imageHash;
    QTemporaryDir snapshots;
    int recordFd = -1;
    QTimer poller;
    QElapsedTimer clock;
    int boardsStarted = 0;
    int goodBoards = 0;
    int badBoards = 0;
    bool interrupted = false;
    bool taking = true;
    bool done = false;
    int haltStatus = 0;
    QString halt;
};

#endif
