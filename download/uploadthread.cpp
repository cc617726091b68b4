#include "download/uploadthread.h"

#include "download/deviceframe.h"
#include "download/firmwareimage.h"
#include "download/linerates.h"
#include "download/outcome.h"
#include "serial/serialport.h"
#include "serial/threadhandover.h"

#include <QDebug>
#include <QMetaType>

namespace
{

// Sent through queued signals as bare pointers, so only literals are used.
const char DownloadText[] = "download";

constexpr int ReplyWaitTicks = 1000; // one more tick than this is a time-out

void traceLine(const QString &text)
{
    qDebug().noquote() << text;
}

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

unsigned uploadThread::sessionCount() const
{
    return sessionsBegun;
}

// Both sides store, then look at the other's number: whichever comes second
// sees the first, so the stop is set after the session's reset either way.
void uploadThread::stopSession(unsigned number)
{
    stopFor = number;
    if (sessionsBegun == number)
        stopRequested = true;
}

QString uploadThread::refusedSetting()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return lastRefusal;
}

QString uploadThread::openFailure()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return lastOpenFailure;
}

void uploadThread::setLineSequences(const LineSequence &enter, const LineSequence &leave)
{
    std::lock_guard<std::mutex> locker(settingsLock);
    enterSequence = enter;
    leaveSequence = leave;
}

LineSequenceRun uploadThread::enterRun()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return lastEnter;
}

LineSequenceRun uploadThread::leaveRun()
{
    std::lock_guard<std::mutex> locker(settingsLock);
    return lastLeave;
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

bool uploadThread::replyAccepted()
{
    std::lock_guard<std::mutex> locker(rxLock);
    return ReceiveState::replyAccepted(rxBuffer);
}

// Up to 1001 ticks of at most 1 ms each; readMyCom() ends a tick early once
// six bytes are in, so a reply is taken up without waiting out the tick.
bool uploadThread::waitForReply()
{
    std::unique_lock<std::mutex> locker(rxLock);
    tickCount = 0;
    for (;;) {
        if (ReceiveState::replyComplete(rxCount))
            return true;
        replyReady.wait_for(locker, std::chrono::milliseconds(1));
        ++tickCount;
        if (tickCount > ReplyWaitTicks)
            return false;
    }
}

bool uploadThread::writeFrame(const QByteArray &frame)
{
    return port->write(frame) == frame.size();
}

bool uploadThread::writeFrame(const unsigned char *frame, int size)
{
    return port->write(reinterpret_cast<const char *>(frame), size) == size;
}

bool uploadThread::openSerialPort()
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
    const auto openFailed = [this, opened](const QString &reason) {
        traceLine(QStringLiteral("Serial open failed: ") + reason);
        {
            std::lock_guard<std::mutex> locker(settingsLock);
            lastOpenFailure = reason;
        }
        opened->close();
        delete opened;
        qDebug("CanNOT Open Serial");
        announceEnd(Outcome::OpenFailed, EndOrder::ButtonFirst);
        return false;
    };
    if (!opened->open(QIODevice::ReadWrite))
        return openFailed(opened->openFailure().value());
    qDebug("Open Serial %s", path.toUtf8().constData());

    // Any rate but the board's own leaves the port at its default. A setting
    // the driver refuses would leave the line unfit for the board, so the
    // session ends here, before any frame.
    QString refused;
    if (LineRates::isLineRate(rate) && !opened->setBaudRate(rate))
        refused = QStringLiteral("baud rate %1").arg(rate);
    else if (!opened->setDataBits(SerialPort::Data8))
        refused = QStringLiteral("data bits 8");
    else if (!opened->setParity(SerialPort::NoParity))
        refused = QStringLiteral("parity none");
    else if (!opened->setStopBits(SerialPort::OneStop))
        refused = QStringLiteral("stop bits 1");
    else if (!opened->setFlowControl(SerialPort::NoFlowControl))
        refused = QStringLiteral("flow control none");
    if (!refused.isEmpty()) {
        qDebug("Serial refused %s", qPrintable(refused));
        {
            std::lock_guard<std::mutex> locker(settingsLock);
            lastRefusal = refused;
        }
        return openFailed(QStringLiteral("the port refused ") + refused);
    }
    opened->setTimeout(1);
    if (const std::optional<QString> failure = enterBootLoader(opened)) {
        // A board that is never let into its boot loader is a board failed,
        // as one whose port refuses a line setting.
        {
            std::lock_guard<std::mutex> locker(settingsLock);
            lastRefusal = QStringLiteral("DTR and RTS");
        }
        return openFailed(*failure);
    }

    std::lock_guard<std::mutex> locker(rxLock);
    port = opened;
    return true;
}

// With sequences, a close must not drop the lines `leave` sets. A port
// whose lines cannot be set fails as one that cannot be set up, before any
// frame.
std::optional<QString> uploadThread::enterBootLoader(SerialPort *opened)
{
    LineSequence enter;
    bool any;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        enter = enterSequence;
        any = !enter.isEmpty() || !leaveSequence.isEmpty();
    }
    if (!any)
        return std::nullopt;
    if (const std::optional<QString> failure = opened->keepModemLinesAtClose())
        return QStringLiteral("keeping the modem lines at close: ") + *failure;
    // A port that could never leave the boot loader fails before the first
    // frame too.
    if (enter.isEmpty()) {
        const ModemLines::Read read = opened->readModemLines();
        return read.ok() ? std::nullopt
                         : std::optional<QString>(
                               QStringLiteral("before leaving the boot loader: ") + *read.failure);
    }
    const LineSequenceRun run = runLineSequence(*opened, enter);
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        lastEnter = run;
    }
    if (run.failure)
        return QStringLiteral("entering the boot loader: ") + *run.failure;
    return std::nullopt;
}

// Only once the end frame has left the host does the board get let go.
void uploadThread::leaveBootLoader()
{
    LineSequence leave;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        leave = leaveSequence;
    }
    if (leave.isEmpty())
        return;
    LineSequenceRun run;
    if (port->drain())
        run = runLineSequence(*port, leave);
    else
        run.failure = QStringLiteral("the end frame did not leave the host");
    if (run.failure)
        traceLine(QStringLiteral("Leaving the boot loader failed: ") + *run.failure);
    std::lock_guard<std::mutex> locker(settingsLock);
    lastLeave = run;
}

// Closes and releases the session's port. Once `port` is cleared no queued
// readMyCom() can reach the object any more, so it can go right away. True
// when everything written has left the host.
bool uploadThread::closeSerialPort()
{
    SerialPort *closing;
    {
        std::lock_guard<std::mutex> locker(rxLock);
        closing = port;
        port = nullptr;
    }
    const bool sent = closing->close();
    delete closing;
    return sent;
}

void uploadThread::announceEnd(const Outcome &outcome, EndOrder order)
{
    if (order == EndOrder::OutcomeFirst)
        emit setFinish(outcome.text());
    emit setDownloadBtnText(DownloadText);
    emit setProgress(0);
    if (order == EndOrder::ButtonFirst)
        emit setFinish(outcome.text());
}

void uploadThread::endSession(const Outcome &outcome, EndOrder order)
{
    closeSerialPort();
    announceEnd(outcome, order);
}

void uploadThread::run()
{
    const ThreadHandOver::ReleaseOnExit handOver(this);
    stopRequested = false;
    if (stopFor == ++sessionsBegun)
        stopRequested = true;
    clearReceiveState();
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        lastRefusal.clear();
        lastOpenFailure.clear();
        lastEnter = {};
        lastLeave = {};
    }

    if (!openSerialPort())
        return;
    connect(port, &SerialPort::readyRead, this, &uploadThread::readMyCom);

    writeFrame(DeviceFrame::startFrame());
    if (!waitForReply()) {
        endSession(Outcome::TimeOut, EndOrder::OutcomeFirst);
        qDebug("Line-->%d   here end", 59);
        return;
    }
    if (!replyAccepted()) {
        endSession(Outcome::Stop, EndOrder::ButtonFirst);
        return;
    }
    clearReceiveState();
    if (stopRequested) {
        endSession(Outcome::Cancel, EndOrder::OutcomeFirst);
        qDebug("Line-->%d   here end", 80);
        return;
    }

    writeFrame(DeviceFrame::prepareFrame());
    if (!waitForReply()) {
        endSession(Outcome::Stop, EndOrder::ButtonFirst);
        qDebug("Line-->%d   here end", 102);
        return;
    }
    if (!replyAccepted()) {
        endSession(Outcome::Stop, EndOrder::ButtonFirst);
        return;
    }
    clearReceiveState();

    QString imagePath;
    {
        std::lock_guard<std::mutex> locker(settingsLock);
        imagePath = fileName;
    }
    FirmwareImage image;
    const auto fileError = [this, &image] {
        image.close();
        closeSerialPort();
        emit setDownloadBtnText(DownloadText);
        emit setFinish(Outcome::FileError.text());
        emit setProgress(100);
        emit setProgress(0);
    };
    // An image that cannot be read is a file error like a bad header, and so
    // is one whose block addresses would wrap onto the start of the board's
    // memory: refused before any block goes out.
    const ImageCheck check = image.openChecked(imagePath);
    const qint64 length = image.length();
    if (image.isOpen())
        qDebug("file length is %ld", static_cast<long>(length));
    if (!check.ok()) {
        fileError();
        return;
    }

    unsigned char frame[DeviceFrame::BlockFrameSize];
    qint64 progressSum = 6400;
    int address = 0;
    for (int block = 0;; ++block) {
        DeviceFrame::fillBlockHead(frame, static_cast<quint16>(address));
        address += DeviceFrame::BlockAddressStep;
        const int got = image.readBlock(frame + DeviceFrame::BlockDataOffset);
        if (got < DeviceFrame::BlockDataSize) {
            qDebug("--------n=%ld-----------\n", static_cast<long>(got));
            // Success only once the end frame has left the host: a line
            // that went away after the last reply ends the session as a stop.
            const bool endWritten = writeFrame(DeviceFrame::endFrame());
            if (endWritten)
                leaveBootLoader();
            const bool endSent = closeSerialPort() && endWritten;
            image.close();
            if (!endSent) {
                emit setDownloadBtnText(DownloadText);
                emit setProgress(0);
                qDebug("end frame not sent");
                emit setFinish(Outcome::Stop.text());
                return;
            }
            announceEnd(Outcome::Success, EndOrder::ButtonFirst);
            return;
        }
        // The file grew since it was measured: same refusal as above.
        if (block >= DeviceFrame::MaxBlocks) {
            fileError();
            return;
        }
        DeviceFrame::sealBlockFrame(frame);
        writeFrame(frame, DeviceFrame::BlockFrameSize);
        emit setProgress(static_cast<int>(progressSum / length));

        if (!waitForReply()) {
            image.close();
            endSession(Outcome::Stop, EndOrder::ButtonFirst);
            qDebug("Line-->%d   here end", 192);
            return;
        }
        if (!replyAccepted()) {
            image.close();
            endSession(Outcome::Stop, EndOrder::ButtonFirst);
            qDebug("go end");
            return;
        }
        clearReceiveState();
        progressSum += 6400;
        if (stopRequested) {
            image.close();
            endSession(Outcome::Cancel, EndOrder::OutcomeFirst);
            qDebug("Line-->%d   here end", 214);
            return;
        }
    }
}
