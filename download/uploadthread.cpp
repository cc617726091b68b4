#include "download/uploadthread.h"

#include "download/deviceframe.h"
#include "download/firmwareimage.h"
#include "download/linerates.h"
#include "download/outcome.h"
#include "serial/serialport.h"
#include "serial/threadhandover.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMetaType>

namespace
{

// Sent through queued signals as bare pointers, so only literals are used.
const char DownloadText[] = "download";

void traceLine(const QString &text)
{
    qDebug().noquote() << text;
}

// Any rate but the board's own leaves the port at its default. A setting the
// driver refuses would leave the line unfit for the board, so the session
// ends there, before any frame.
std::optional<PortFailure> setUpLine(SerialPort &line, int rate)
{
    QString refused;
    if (LineRates::isLineRate(rate) && !line.setBaudRate(rate))
        refused = QStringLiteral("baud rate %1").arg(rate);
    else if (!line.setDataBits(SerialPort::Data8))
        refused = QStringLiteral("data bits 8");
    else if (!line.setParity(SerialPort::NoParity))
        refused = QStringLiteral("parity none");
    else if (!line.setStopBits(SerialPort::OneStop))
        refused = QStringLiteral("stop bits 1");
    else if (!line.setFlowControl(SerialPort::NoFlowControl))
        refused = QStringLiteral("flow control none");
    if (refused.isEmpty()) {
        line.setTimeout(1);
        return std::nullopt;
    }
    qDebug("Serial refused %s", qPrintable(refused));
    return PortFailure::refused(refused);
}

// The port's modem lines, set where its other calls run.
class PortLines : public ModemLineAccess
{
public:
    explicit PortLines(SerialPort &port) : port(port) {}
    ModemLines::Read readLines() override { return port.readModemLines(); }
    std::optional<QString> writeLines(const ModemLines::State &lines) override
    {
        return port.setModemLines(lines);
    }
    std::optional<QString> keepLinesAtClose() override { return port.keepModemLinesAtClose(); }

private:
    SerialPort &port;
};

} // namespace

uploadThread::uploadThread() : QThread(nullptr)
{
    qRegisterMetaType<const char *>("const char*");
}

uploadThread::~uploadThread()
{
    // A thread object must not die under a running session.
    if (isRunning()) {
        stopDownload();
        wait();
    }
    // The thread's last steps are ordered before this only by QThread's own
    // locking.
    ThreadHandOver::acquire(this);
}

void uploadThread::setBaud(int rate)
{
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        baudRate = rate;
    }
    qDebug("br------%d", rate);
}

void uploadThread::setComName(const char *name)
{
    const char *text = name ? name : "";
    qDebug("Line %d,  comName=%s", 15, text);
    const QString stored = QString::fromUtf8(text);
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        comName = stored;
    }
    traceLine(stored);
}

void uploadThread::setFileName(const char *name)
{
    const char *text = name ? name : "";
    qDebug("Line %d,  fileName=%s", 21, text);
    const QString stored = QString::fromUtf8(text);
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        fileName = stored;
    }
    traceLine(stored);
}

void uploadThread::stopDownload()
{
    stopRequested = true;
}

void uploadThread::setObserver(SessionObserver *sessionObserver)
{
    observer = sessionObserver;
}

void uploadThread::setLineSequences(const LineSequence &enter, const LineSequence &leave)
{
    std::lock_guard<std::mutex> locker(settingsLock);
    enterSequence = enter;
    leaveSequence = leave;
}

QString uploadThread::portSetting()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return comName;
}

int uploadThread::baudSetting()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return baudRate;
}

QString uploadThread::fileSetting()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return fileName;
}

void uploadThread::readMyCom()
{
    std::lock_guard<std::mutex> locker(rxLock);
    // After a session has closed its port there is nothing left to read.
    if (!port)
        return;
    const QByteArray chunk = port->readAll();
    ReceiveState::takeIn(rxBuffer, rxCount, rxIndex, chunk.constData(), chunk.size());
    if (ReceiveState::replyComplete(rxCount))
        replyReady.notify_all();
}

void uploadThread::clearReceiveState()
{
    std::lock_guard<std::mutex> locker(rxLock);
    ReceiveState::clear(rxCount, rxIndex);
}

bool uploadThread::stopWanted()
{
    return stopRequested || (observer && observer->stopWanted());
}

// Up to 1001 ticks of at most 1 ms each; readMyCom() ends a tick early once
// six bytes are in, so a reply is taken up without waiting out the tick.
void uploadThread::awaitReply(SessionCore &core)
{
    std::unique_lock<std::mutex> locker(rxLock);
    tickCount = 0;
    while (core.need() == SessionCore::Need::Reply) {
        if (stopWanted())
            core.requestStop();
        if (ReceiveState::replyComplete(rxCount)) {
            core.received(reinterpret_cast<const char *>(rxBuffer), rxCount);
            ReceiveState::clear(rxCount, rxIndex);
            return;
        }
        replyReady.wait_for(locker, std::chrono::milliseconds(1));
        ++tickCount;
        core.ticked();
    }
}

void uploadThread::openSerialPort(SessionCore &core)
{
    QString name;
    int rate;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        name = comName;
        rate = baudRate;
    }
    const QString path = SerialPort::devicePath(name);
    traceLine(name);
    traceLine(path);

    auto *opened = new SerialPort(name);
    std::optional<PortFailure> failure;
    if (!opened->open(QIODevice::ReadWrite)) {
        failure = opened->openFailure().value();
    } else {
        qDebug("Open Serial %s", path.toUtf8().constData());
        failure = setUpLine(*opened, rate);
        if (!failure)
            failure = enterBootLoader(*opened);
    }
    if (failure) {
        traceLine(QStringLiteral("Serial open failed: ") + failure->detail);
        opened->close();
        delete opened;
        core.portFailed(*failure);
        return;
    }
    {
        std::lock_guard<std::mutex> locker(rxLock);
        port = opened;
    }
    connect(port, &SerialPort::readyRead, this, &uploadThread::readMyCom);
    core.portOpened();
}

// A board that is never let into its boot loader is a board failed, as one
// whose port refuses a line setting: before any frame.
std::optional<PortFailure> uploadThread::enterBootLoader(SerialPort &opened)
{
    LineSequence enter;
    LineSequence leave;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        enter = enterSequence;
        leave = leaveSequence;
    }
    PortLines lines(opened);
    if (const std::optional<PortFailure> failure = prepareLines(lines, enter, leave))
        return failure;
    if (enter.isEmpty())
        return std::nullopt;
    entered = runLineSequence(lines, enter);
    if (entered.failure)
        return enterFailure(*entered.failure);
    return std::nullopt;
}

// Only once the end frame has left the host does the board get let go; a
// failure here is told, and leaves the session's outcome as it is.
void uploadThread::leaveBootLoader()
{
    LineSequence leave;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        leave = leaveSequence;
    }
    if (leave.isEmpty())
        return;
    PortLines lines(*port);
    if (port->drain())
        left = runLineSequence(lines, leave);
    else
        left.failure = QStringLiteral("the end frame did not leave the host");
    if (left.failure)
        traceLine(QStringLiteral("Leaving the boot loader failed: ") + *left.failure);
}

// An image that cannot be read is a file error like a bad header, and so is
// one whose block addresses would wrap onto the start of the board's memory:
// refused before any block goes out.
void uploadThread::openImage(SessionCore &core, FirmwareImage &image)
{
    QString imagePath;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        imagePath = fileName;
    }
    const ImageCheck check = image.openChecked(imagePath);
    core.imageOpened(check, image.isOpen() ? std::optional<qint64>(image.length()) : std::nullopt);
}

// Closes and releases the session's port. Once `port` is cleared no queued
// readMyCom() can reach the object any more, so it can go right away. True
// when everything written has left the host; a session without a port has
// nothing to close.
bool uploadThread::closeSerialPort()
{
    SerialPort *closing;
    {
        std::lock_guard<std::mutex> locker(rxLock);
        closing = port;
        port = nullptr;
    }
    if (!closing)
        return true;
    const bool sent = closing->close();
    delete closing;
    return sent;
}

void uploadThread::Relay::sessionEvent(const SessionEvent &event)
{
    switch (event.kind) {
    case SessionEvent::Kind::ImageLength:
        qDebug("file length is %ld", static_cast<long>(event.value));
        break;
    case SessionEvent::Kind::BlockWritten:
        emit worker->setProgress(event.percent);
        break;
    case SessionEvent::Kind::DataEnded:
        qDebug("--------n=%ld-----------\n", static_cast<long>(event.value));
        break;
    case SessionEvent::Kind::PortOpened:
    case SessionEvent::Kind::BlockAcknowledged:
    case SessionEvent::Kind::Ended:
        break;
    }
    if (worker->observer)
        worker->observer->sessionEvent(event);
}

void uploadThread::drive(SessionCore &core, FirmwareImage &image)
{
    using Need = SessionCore::Need;
    for (;;) {
        switch (core.need()) {
        case Need::Port:
            openSerialPort(core);
            break;
        case Need::Send: {
            const qint64 size = core.frameSize();
            endFrameWritten =
                port->write(reinterpret_cast<const char *>(core.frame()), size) == size;
            core.frameWritten();
            break;
        }
        case Need::Reply:
            awaitReply(core);
            break;
        case Need::Image:
            openImage(core, image);
            break;
        case Need::Block:
            core.blockRead(image.readBlock(core.blockData()));
            break;
        case Need::EndSent:
            // Success only once the end frame has left the host: a line that
            // went away after the last reply ends the session as a stop.
            if (endFrameWritten)
                leaveBootLoader();
            core.endSent(closeSerialPort() && endFrameWritten);
            break;
        case Need::Done:
            return;
        }
    }
}

// The closing signals in the order each exit has always given them, with
// its trace lines.
void uploadThread::announceEnd(const SessionResult &result)
{
    const char *outcome = result.outcome().text();
    const auto buttonFirst = [this, outcome] {
        emit setDownloadBtnText(DownloadText);
        emit setProgress(0);
        emit setFinish(outcome);
    };
    const auto outcomeFirst = [this, outcome] {
        emit setFinish(outcome);
        emit setDownloadBtnText(DownloadText);
        emit setProgress(0);
    };
    switch (result.exit) {
    case SessionExit::OpenFailure:
        qDebug("CanNOT Open Serial");
        return buttonFirst();
    case SessionExit::StartTimeOut:
        outcomeFirst();
        return qDebug("Line-->%d   here end", 59);
    case SessionExit::HandshakeRejected:
    case SessionExit::Success:
        return buttonFirst();
    case SessionExit::CancelAfterStart:
        outcomeFirst();
        return qDebug("Line-->%d   here end", 80);
    case SessionExit::PrepareTimeOut:
        buttonFirst();
        return qDebug("Line-->%d   here end", 102);
    case SessionExit::FileError:
        emit setDownloadBtnText(DownloadText);
        emit setFinish(outcome);
        emit setProgress(100);
        return emit setProgress(0);
    case SessionExit::BlockTimeOut:
        buttonFirst();
        return qDebug("Line-->%d   here end", 192);
    case SessionExit::BlockRejected:
        buttonFirst();
        return qDebug("go end");
    case SessionExit::CancelDuringBlocks:
        outcomeFirst();
        return qDebug("Line-->%d   here end", 214);
    case SessionExit::EndFrameNotSent:
        emit setDownloadBtnText(DownloadText);
        emit setProgress(0);
        qDebug("end frame not sent");
        return emit setFinish(outcome);
    }
}

void uploadThread::run()
{
    const ThreadHandOver::ReleaseOnExit handOver(this);
    stopRequested = false;
    clearReceiveState();
    entered = {};
    left = {};
    QElapsedTimer clock;
    clock.start();

    SessionCore core(&relay);
    FirmwareImage image;
    drive(core, image);
    image.close();
    closeSerialPort();

    SessionResult result = core.result();
    result.elapsedMs = clock.elapsed();
    result.enter = entered;
    result.leave = left;
    announceEnd(result);
    if (observer)
        observer->sessionEnded(result);
}
