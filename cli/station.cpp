#include "cli/station.h"

#include "cli/boardgang.h"
#include "download/uploadthread.h"
#include "serial/portdetails.h"
#include "serial/serialport.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// A few looks a second: a board is flashed well within half a second of its
// port appearing, and waiting costs next to nothing.
constexpr int PollIntervalMs = 100;
// A port that is there but does not open yet (its permissions are often set
// a moment after it appears) is tried again after this.
constexpr int OpenRetryMs = 1000;
constexpr int FileErrorStatus = 3;
constexpr int FailedStatus = 1;
constexpr int InterruptStatus = 130;

const char SuccessText[] = "Download Success";
const char OpenFailedText[] = "CanNOT Open Serial";

QByteArray sha256Of(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

bool readImage(const QString &path, QByteArray *bytes, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return false;
    }
    *bytes = file.readAll();
    return true;
}

} // namespace

Station::Station(const Settings &settings, QObject *parent)
    : QObject(parent), config(settings), sockets(settings.ports.size())
{
    for (int index = 0; index < size(); ++index) {
        sockets[index].port = config.ports[index];
        sockets[index].worker = std::make_unique<uploadThread>();
        sockets[index].worker->setBaud(config.baud);
        sockets[index].worker->setComName(config.ports[index].toUtf8().constData());
        watch(index);
    }
    poller.setInterval(PollIntervalMs);
    connect(&poller, &QTimer::timeout, this, &Station::poll);
}

// Each worker stops and waits for its session as it goes.
Station::~Station()
{
    if (recordFd >= 0)
        ::close(recordFd);
}

bool Station::prepare(QString *error)
{
    QByteArray image;
    if (!readImage(config.imagePath, &image, error))
        return false;
    imageHash = sha256Of(image);
    if (!snapshots.isValid()) {
        *error = QStringLiteral("no room for the image's working copies: %1")
                     .arg(snapshots.errorString());
        return false;
    }
    if (config.recordPath.isEmpty())
        return true;
    // Appended to, never truncated: the record of earlier shifts stays.
    recordFd = ::open(QFile::encodeName(config.recordPath).constData(),
                      O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (recordFd < 0) {
        *error = QStringLiteral("cannot open the record %1: %2")
                     .arg(config.recordPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

void Station::start()
{
    clock.start();
    poller.start();
    poll();
}

void Station::interrupt()
{
    interrupted = true;
    stopTaking(QString(), InterruptStatus);
    for (Slot &s : sockets) {
        if (s.state == State::Flashing)
            s.worker->stopDownload();
    }
    finishWhenIdle();
}

int Station::exitStatus() const
{
    if (haltStatus != 0)
        return haltStatus;
    return badBoards > 0 ? FailedStatus : 0;
}

bool Station::portPresent(const Slot &s) const
{
    // Follows links: a by-path name whose device has gone is not there.
    return QFileInfo::exists(SerialPort::devicePath(s.port));
}

void Station::poll()
{
    for (int index = 0; index < size(); ++index) {
        Slot &s = sockets[index];
        if (s.state == State::WaitingForUnplug && !portPresent(s)) {
            s.state = State::WaitingForBoard;
            emit changed(index);
        } else if (s.state == State::WaitingForBoard && taking && portPresent(s) &&
                   clock.elapsed() >= s.retryAfterMs) {
            if (config.count > 0 && boardsStarted >= config.count)
                continue;
            startBoard(index);
        }
    }
}

// The image is read again for each board, and the session is given a copy of
// exactly the bytes whose hash was checked, so a file replaced mid-transfer
// can never reach a board in pieces.
void Station::startBoard(int index)
{
    Slot &s = sockets[index];
    QByteArray image;
    QString error;
    if (!readImage(config.imagePath, &image, &error)) {
        stopTaking(
            QStringLiteral("the image %1 cannot be read any more: %2").arg(config.imagePath, error),
            FileErrorStatus);
        return;
    }
    if (sha256Of(image) != imageHash) {
        stopTaking(QStringLiteral("the image %1 has changed since the station started; "
                                  "restart the station to flash the new one")
                       .arg(config.imagePath),
                   FileErrorStatus);
        return;
    }
    const QString copy = snapshots.filePath(QStringLiteral("slot%1.bin").arg(index));
    QSaveFile out(copy);
    if (!out.open(QIODevice::WriteOnly) || out.write(image) != image.size() || !out.commit()) {
        stopTaking(QStringLiteral("cannot write the image's working copy %1: %2")
                       .arg(copy, out.errorString()),
                   FileErrorStatus);
        return;
    }

    ++boardsStarted;
    s.board = boardsStarted;
    s.state = State::Flashing;
    s.blocksSent = 0;
    s.percent = 0;
    s.closing = false;
    s.outcome = nullptr;
    s.usbSerial = PortDetails::lookUp(s.port).serialNumber;
    s.worker->setFileName(copy.toUtf8().constData());
    s.clock.start();
    s.worker->start(QThread::InheritPriority);
    emit boardStarted(index);
}

void Station::watch(int index)
{
    uploadThread *worker = sockets[index].worker.get();
    // Queued: the worker object lives here and its signals come from its
    // thread, in order, with finished() after all of them.
    connect(worker, &uploadThread::setProgress, this, [this, index](int value) {
        Slot &s = sockets[index];
        if (s.closing)
            return;
        // A stop asked before the session began was cleared by its start.
        if (interrupted)
            s.worker->stopDownload();
        ++s.blocksSent;
        s.percent = value;
        emit changed(index);
    });
    connect(worker, &uploadThread::setDownloadBtnText, this,
            [this, index](const char *) { sockets[index].closing = true; });
    connect(worker, &uploadThread::setFinish, this, [this, index](const char *text) {
        Slot &s = sockets[index];
        s.outcome = text;
        s.elapsedMs = s.clock.elapsed();
    });
    connect(worker, &QThread::finished, this, [this, index] { endBoard(index); });
}

void Station::endBoard(int index)
{
    Slot &s = sockets[index];
    // A port that is there but does not open is no board flashed: it is
    // tried again, as long as it stays.
    if (s.outcome && qstrcmp(s.outcome, OpenFailedText) == 0) {
        --boardsStarted;
        s.state = State::WaitingForBoard;
        s.retryAfterMs = clock.elapsed() + OpenRetryMs;
        s.lastOutcome = QString::fromLatin1(s.outcome);
        emit changed(index);
        finishWhenIdle();
        return;
    }
    const bool good = s.outcome && qstrcmp(s.outcome, SuccessText) == 0;
    ++(good ? goodBoards : badBoards);
    s.lastOutcome = QString::fromLatin1(s.outcome ? s.outcome : "no outcome");
    s.state = State::WaitingForUnplug;
    QString error;
    const bool recorded = record(s, &error);
    emit boardEnded(index);
    if (!recorded)
        stopTaking(QStringLiteral("cannot write the record %1: %2; the station has stopped")
                       .arg(config.recordPath, error),
                   FailedStatus);
    if (config.count > 0 && goodBoards + badBoards >= config.count)
        stopTaking(QString(), 0);
    finishWhenIdle();
}

// One line per board, on disk before the next board can start: a board
// flashed without its record is worse than a halted line.
bool Station::record(const Slot &s, QString *error)
{
    if (recordFd < 0)
        return true;
    const QJsonObject line{
        {QStringLiteral("time"), QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
        {QStringLiteral("slot"), s.port},
        {QStringLiteral("board"), s.board},
        // Known for USB adapters only.
        {QStringLiteral("usb_serial"),
         s.usbSerial.isEmpty() ? QJsonValue() : QJsonValue(s.usbSerial)},
        {QStringLiteral("image"), QFileInfo(config.imagePath).fileName()},
        {QStringLiteral("sha256"), imageSha256()},
        {QStringLiteral("outcome"), s.lastOutcome},
        {QStringLiteral("exit_code"), BoardGang::exitStatusFor(s.outcome)},
        {QStringLiteral("seconds"), s.elapsedMs / 1000.0},
    };
    const QByteArray bytes = QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n';
    // One write, so a line is never split by another writer appending too.
    ssize_t written;
    do {
        written = ::write(recordFd, bytes.constData(), size_t(bytes.size()));
    } while (written < 0 && errno == EINTR);
    if (written != bytes.size() || ::fsync(recordFd) != 0) {
        *error = written < 0 || written == bytes.size()
                     ? QString::fromLocal8Bit(std::strerror(errno))
                     : QStringLiteral("short write");
        return false;
    }
    return true;
}

// No new board is taken; sessions in progress run to their end. The first
// reason given is the one reported.
void Station::stopTaking(const QString &reason, int status)
{
    if (!taking)
        return;
    taking = false;
    haltStatus = status;
    halt = reason;
    if (!reason.isEmpty())
        emit halted(reason);
    finishWhenIdle();
}

void Station::finishWhenIdle()
{
    if (taking || done)
        return;
    for (const Slot &s : sockets) {
        if (s.state == State::Flashing)
            return;
    }
    done = true;
    poller.stop();
    emit finished();
}
