#ifndef SESSIONCORE_H
#define SESSIONCORE_H

#include "download/deviceframe.h"
#include "download/receivestate.h"
#include "download/sessionresult.h"

#include <QString>
#include <QtGlobal>

#include <optional>

// What one session downloads, and where.
struct SessionSettings {
    QString port;
    int baud = 0;
    QString imagePath;
    // DTR and RTS: `enter` once the line is set up, before the first frame;
    // `leave` once a successful session's end frame has left the adapter.
    // Empty ones leave the lines alone.
    LineSequence enter;
    LineSequence leave;
};

// What a session has just done, in the order it happened.
struct SessionEvent {
    enum class Kind {
        PortOpened,
        ImageLength,       // value: the image's length, header included
        BlockWritten,      // value: the block, from 1; percent: the progress
        BlockAcknowledged, // value: the block, from 1
        DataEnded,         // value: the bytes of the short read that ended the data
        Ended,             // the result is final
    };
    Kind kind;
    qint64 value = 0;
    int percent = 0;
};

class SessionEvents
{
public:
    virtual void sessionEvent(const SessionEvent &event) = 0;

protected:
    ~SessionEvents() = default;
};

// Follows sessions in types, for a program that is not the window: every
// event of a session's core, then its result, all from the session's thread.
class SessionObserver : public SessionEvents
{
public:
    // Asked while a reply is awaited: true cancels as stopDownload() does.
    virtual bool stopWanted() = 0;
    // Last, once the driver has closed what the session opened (and, for the
    // window's worker, after its closing signals); the result's time is set.
    virtual void sessionEnded(const SessionResult &result) = 0;

protected:
    ~SessionObserver() = default;
};

// The frame protocol's steps, decided in one place and doing no I/O of its
// own: a driver opens the port and the image, writes the frames it is given,
// and feeds in what the board sent, the time that passed and a stop request.
// need() says what the core waits for next. Blocking drivers and event loops
// drive it alike, one core per board.
class SessionCore
{
public:
    static constexpr int ReplyWaitTicks = 1000; // one more tick than this is a time-out
    // The progress numerator grows by one block's bytes, in percent.
    static constexpr qint64 ProgressStep = 100 * DeviceFrame::BlockDataSize;

    enum class Need {
        Port,    // portOpened() or portFailed()
        Send,    // write frame(), then frameWritten()
        Reply,   // received() and ticked(), until a reply is judged or the wait ends
        Image,   // imageOpened()
        Block,   // up to a block's bytes read into blockData(), then blockRead()
        EndSent, // the end frame is written: endSent() once it has left, or not
        Done,    // result() holds
    };

    explicit SessionCore(SessionEvents *events = nullptr) : events(events) {}

    Need need() const { return waitingFor; }

    void portOpened();
    void portFailed(const PortFailure &failure);

    const unsigned char *frame() const { return frameBytes; }
    int frameSize() const { return frameLength; }
    void frameWritten();

    void received(const char *bytes, int size);
    void ticked(int ticks = 1);
    // Seen after the next reply is accepted, as the window's cancel is.
    void requestStop() { stopRequested = true; }
    // Ticks the running reply wait has counted.
    int ticksWaited() const { return ticks; }

    // `length` once the file opened, whatever the check found.
    void imageOpened(const ImageCheck &check, std::optional<qint64> length);
    unsigned char *blockData() { return frameBytes + DeviceFrame::BlockDataOffset; }
    void blockRead(int bytes);

    void endSent(bool sent);

    const SessionResult &result() const { return outcome; }

private:
    enum class Awaiting { StartReply, PrepareReply, BlockReply };

    void emitEvent(SessionEvent::Kind kind, qint64 value = 0, int percent = 0);
    void send(const unsigned char *bytes, int size);
    void judgeReply();
    void timedOut();
    void end(SessionExit exit);

    SessionEvents *events;
    Need waitingFor = Need::Port;
    Awaiting awaiting = Awaiting::StartReply;
    bool stopRequested = false;
    bool sendingEnd = false;

    unsigned char rxBuffer[ReceiveState::Capacity] = {};
    quint8 rxCount = 0;
    quint8 rxIndex = 0;
    int ticks = 0;

    qint64 imageLength = 0;
    qint64 progressSum = ProgressStep;
    int address = 0;

    unsigned char frameBytes[DeviceFrame::BlockFrameSize] = {};
    int frameLength = 0;
    SessionResult outcome;
};

#endif
