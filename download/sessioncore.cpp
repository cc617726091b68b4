#include "download/sessioncore.h"

#include "download/outcome.h"

#include <QByteArray>

#include <cstring>

const Outcome &SessionResult::outcome() const
{
    switch (exit) {
    case SessionExit::OpenFailure:
        return Outcome::OpenFailed;
    case SessionExit::StartTimeOut:
        return Outcome::TimeOut;
    case SessionExit::CancelAfterStart:
    case SessionExit::CancelDuringBlocks:
        return Outcome::Cancel;
    case SessionExit::FileError:
        return Outcome::FileError;
    case SessionExit::Success:
        return Outcome::Success;
    case SessionExit::HandshakeRejected:
    case SessionExit::PrepareTimeOut:
    case SessionExit::BlockTimeOut:
    case SessionExit::BlockRejected:
    case SessionExit::EndFrameNotSent:
        break;
    }
    return Outcome::Stop;
}

void SessionCore::emitEvent(SessionEvent::Kind kind, qint64 value, int percent)
{
    if (events)
        events->sessionEvent(SessionEvent{kind, value, percent});
}

void SessionCore::portOpened()
{
    emitEvent(SessionEvent::Kind::PortOpened);
    const QByteArray start = DeviceFrame::startFrame();
    awaiting = Awaiting::StartReply;
    send(reinterpret_cast<const unsigned char *>(start.constData()), start.size());
}

void SessionCore::portFailed(const PortFailure &failure)
{
    outcome.portFailure = failure;
    end(SessionExit::OpenFailure);
}

void SessionCore::send(const unsigned char *bytes, int size)
{
    if (bytes != frameBytes)
        std::memcpy(frameBytes, bytes, static_cast<size_t>(size));
    frameLength = size;
    waitingFor = Need::Send;
}

void SessionCore::frameWritten()
{
    if (sendingEnd) {
        waitingFor = Need::EndSent;
        return;
    }
    if (awaiting == Awaiting::BlockReply) {
        ++outcome.blocksWritten;
        emitEvent(SessionEvent::Kind::BlockWritten, outcome.blocksWritten,
                  static_cast<int>(progressSum / imageLength));
    }
    ticks = 0;
    waitingFor = Need::Reply;
    // A reply that came early ends the wait at its first look.
    if (ReceiveState::replyComplete(rxCount))
        judgeReply();
}

// Bytes are kept whenever they come: those before a wait count towards its
// reply, as they always have.
void SessionCore::received(const char *bytes, int size)
{
    ReceiveState::takeIn(rxBuffer, rxCount, rxIndex, bytes, size);
    if (waitingFor == Need::Reply && ReceiveState::replyComplete(rxCount))
        judgeReply();
}

void SessionCore::ticked(int elapsed)
{
    if (waitingFor != Need::Reply)
        return;
    ticks += elapsed;
    if (ticks > ReplyWaitTicks)
        timedOut();
}

void SessionCore::timedOut()
{
    switch (awaiting) {
    case Awaiting::StartReply:
        return end(SessionExit::StartTimeOut);
    case Awaiting::PrepareReply:
        return end(SessionExit::PrepareTimeOut);
    case Awaiting::BlockReply:
        return end(SessionExit::BlockTimeOut);
    }
}

void SessionCore::judgeReply()
{
    const bool accepted = ReceiveState::replyAccepted(rxBuffer);
    ReceiveState::clear(rxCount, rxIndex);
    if (!accepted) {
        end(awaiting == Awaiting::BlockReply ? SessionExit::BlockRejected
                                             : SessionExit::HandshakeRejected);
        return;
    }
    switch (awaiting) {
    case Awaiting::StartReply: {
        if (stopRequested)
            return end(SessionExit::CancelAfterStart);
        const QByteArray prepare = DeviceFrame::prepareFrame();
        awaiting = Awaiting::PrepareReply;
        return send(reinterpret_cast<const unsigned char *>(prepare.constData()), prepare.size());
    }
    case Awaiting::PrepareReply:
        waitingFor = Need::Image;
        return;
    case Awaiting::BlockReply:
        ++outcome.blocksAcknowledged;
        emitEvent(SessionEvent::Kind::BlockAcknowledged, outcome.blocksAcknowledged);
        progressSum += ProgressStep;
        if (stopRequested)
            return end(SessionExit::CancelDuringBlocks);
        waitingFor = Need::Block;
        DeviceFrame::fillBlockHead(frameBytes, static_cast<quint16>(address));
        return;
    }
}

void SessionCore::imageOpened(const ImageCheck &check, std::optional<qint64> length)
{
    if (length) {
        imageLength = *length;
        emitEvent(SessionEvent::Kind::ImageLength, imageLength);
    }
    if (!check.ok()) {
        outcome.imageProblem = check.problem;
        return end(SessionExit::FileError);
    }
    awaiting = Awaiting::BlockReply;
    waitingFor = Need::Block;
    DeviceFrame::fillBlockHead(frameBytes, static_cast<quint16>(address));
}

void SessionCore::blockRead(int bytes)
{
    if (bytes < DeviceFrame::BlockDataSize) {
        emitEvent(SessionEvent::Kind::DataEnded, bytes);
        const QByteArray endFrame = DeviceFrame::endFrame();
        sendingEnd = true;
        return send(reinterpret_cast<const unsigned char *>(endFrame.constData()), endFrame.size());
    }
    // The file grew since it was checked: past the last address a block
    // would land on the start of the board's memory.
    if (outcome.blocksWritten >= DeviceFrame::MaxBlocks) {
        outcome.imageProblem = ImageCheck::Problem::TooManyBlocks;
        return end(SessionExit::FileError);
    }
    address += DeviceFrame::BlockAddressStep;
    DeviceFrame::sealBlockFrame(frameBytes);
    send(frameBytes, DeviceFrame::BlockFrameSize);
}

void SessionCore::endSent(bool sent)
{
    end(sent ? SessionExit::Success : SessionExit::EndFrameNotSent);
}

void SessionCore::end(SessionExit exit)
{
    outcome.exit = exit;
    waitingFor = Need::Done;
    emitEvent(SessionEvent::Kind::Ended);
}
