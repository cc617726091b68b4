#include "serial/serialport.h"

#include "serial/devicepath.h"
#include "serial/portdetails.h"
#include "serial/threadhandover.h"
#include "serial/ttyline.h"

#include <QFile>
#include <QMetaObject>
#include <QSerialPort>
#include <QThread>

#include <atomic>
#include <cerrno>
#include <sys/file.h>
#include <unistd.h>

// A QSerialPort in a thread of its own, and what lets frames be written
// past that thread.
struct SerialPort::Private {
    template <typename F> bool runInIoThread(F &&work);
    void stopDirectWrites();
    void closeDevice(QSerialPort *port, const QString &name);

    QThread ioThread;
    QSerialPort *serial = nullptr; // owned by ioThread while open

    // The device's descriptor for writes from the caller's thread; -1 once
    // the I/O thread closes the device.
    std::mutex writeLock;
    int writeFd = -1;
    bool writesQueued = false;
    std::atomic<bool> queuedWriteFailed{false};
    bool keepLines = false; // set by keepModemLinesAtClose(), in the I/O thread
};

namespace
{

// In the I/O thread: what the QSerialPort holds goes to the device, and the
// device sends it, both bounded by DrainTimeoutMs.
bool drainPort(QSerialPort *port)
{
    port->flush();
    if (port->bytesToWrite() > 0)
        port->waitForBytesWritten(SerialPort::DrainTimeoutMs);
    return port->bytesToWrite() == 0 &&
           TtyLine::drain(static_cast<int>(port->handle()), SerialPort::DrainTimeoutMs);
}

} // namespace

SerialPort::SerialPort(const QString &name, QObject *parent)
    : QObject(parent), name(name), d(std::make_unique<Private>())
{
    d->ioThread.setObjectName(QStringLiteral("serial-io"));
}

SerialPort::~SerialPort()
{
    close();
}

// Runs `work` in the I/O thread and waits for it. Only valid while the I/O
// thread runs and never from the I/O thread itself.
template <typename F> bool SerialPort::Private::runInIoThread(F &&work)
{
    bool result = false;
    if (!serial)
        return false;
    QMetaObject::invokeMethod(serial,
                              ThreadHandOver::work(this, [&result, &work] { result = work(); }),
                              Qt::BlockingQueuedConnection);
    ThreadHandOver::acquire(this);
    return result;
}

bool SerialPort::open(QIODevice::OpenMode mode)
{
    if (d->serial) {
        failure = PortFailure{PortFailure::Kind::Busy, QStringLiteral("already open"), {}};
        return false;
    }
    failure.reset();
    d->ioThread.start();
    d->serial = new QSerialPort;
    d->serial->moveToThread(&d->ioThread);

    const QString path = PortName::devicePath(name);
    QSerialPort *port = d->serial;
    Private *io = d.get();
    const bool ok = d->runInIoThread([this, io, port, path, mode] {
        port->setPortName(path);
        // The line's rate until a caller picks another one.
        port->setBaudRate(DefaultBaudRate);
        if (!port->open(mode)) {
            failure = TtyLine::openFailure(QFile::encodeName(path).constData());
            return false;
        }
        // QSerialPort's lock file is keyed by the name and its exclusive
        // mode does not bind root; a lock on the device itself refuses a
        // second opener by any name, so a line never has two writers.
        if (::flock(static_cast<int>(port->handle()), LOCK_EX | LOCK_NB) != 0) {
            port->close();
            failure = TtyLine::busy(path);
            return false;
        }
        // A USB adapter would hold every short reply for its latency timer
        // (16 ms by default on FTDI chips): ask for the lowest it allows.
        // Where the driver or this user's rights refuse, the line still works.
        TtyLine::requestLowLatency(static_cast<int>(port->handle()));
        LatencyTimer timer = LatencyTimer::of(path);
        timer.lower();
        // Bytes left over from an earlier session are not a reply to us.
        port->clear(QSerialPort::Input);
        {
            std::lock_guard<std::mutex> locker(io->writeLock);
            io->writeFd = static_cast<int>(port->handle());
            io->writesQueued = false;
            io->queuedWriteFailed = false;
        }
        connect(port, &QSerialPort::readyRead, port, [this, port] { deliver(port->readAll()); });
        // A vanished device (cable pulled, peer hung up) keeps reporting
        // itself readable; close it so the I/O thread does not spin.
        connect(port, &QSerialPort::errorOccurred, port,
                [io, port](QSerialPort::SerialPortError e) {
                    if (e == QSerialPort::ResourceError && port->isOpen()) {
                        io->stopDirectWrites();
                        port->close();
                    }
                });
        return true;
    });
    if (!ok) {
        close();
        return false;
    }
    opened = true;
    return true;
}

// A driver may leave its rate or round it without failing the call, so the
// rate is read back from the device.
bool SerialPort::setBaudRate(qint32 rate)
{
    QSerialPort *port = d->serial;
    return d->runInIoThread([port, rate] {
        return port->setBaudRate(rate) &&
               TtyLine::effectiveRate(static_cast<int>(port->handle())) == rate;
    });
}

qint32 SerialPort::baudRate()
{
    QSerialPort *port = d->serial;
    qint32 rate = 0;
    d->runInIoThread([port, &rate] {
        rate = port->baudRate();
        return true;
    });
    return rate;
}

bool SerialPort::setDataBits(DataBits bits)
{
    QSerialPort *port = d->serial;
    return bits >= Data5 && bits <= Data8 && d->runInIoThread([port, bits] {
        return port->setDataBits(static_cast<QSerialPort::DataBits>(bits));
    });
}

// Below, the backend's value for each of ours sits at our value's index.
bool SerialPort::setParity(Parity parity)
{
    static constexpr QSerialPort::Parity backend[] = {
        QSerialPort::NoParity, QSerialPort::EvenParity, QSerialPort::OddParity,
        QSerialPort::SpaceParity, QSerialPort::MarkParity};
    QSerialPort *port = d->serial;
    return parity >= NoParity && parity <= MarkParity &&
           d->runInIoThread([port, parity] { return port->setParity(backend[parity]); });
}

bool SerialPort::setStopBits(StopBits bits)
{
    static constexpr QSerialPort::StopBits backend[] = {
        QSerialPort::OneStop, QSerialPort::OneAndHalfStop, QSerialPort::TwoStop};
    QSerialPort *port = d->serial;
    return bits >= OneStop && bits <= TwoStop &&
           d->runInIoThread([port, bits] { return port->setStopBits(backend[bits]); });
}

bool SerialPort::setFlowControl(FlowControl flow)
{
    static constexpr QSerialPort::FlowControl backend[] = {
        QSerialPort::NoFlowControl, QSerialPort::HardwareControl, QSerialPort::SoftwareControl};
    QSerialPort *port = d->serial;
    return flow >= NoFlowControl && flow <= SoftwareControl &&
           d->runInIoThread([port, flow] { return port->setFlowControl(backend[flow]); });
}

// Frames go straight to the device from the caller's thread: a hop through
// the I/O thread would add a thread wake-up to every exchange. Only what the
// device cannot take at once is handed to the I/O thread, and from then on
// everything goes that way so nothing overtakes it.
qint64 SerialPort::write(const char *data, qint64 size)
{
    std::lock_guard<std::mutex> locker(d->writeLock);
    if (d->writeFd < 0)
        return -1;
    qint64 done = 0;
    if (!d->writesQueued) {
        while (done < size) {
            const ssize_t put = ::write(d->writeFd, data + done, static_cast<size_t>(size - done));
            if (put > 0)
                done += put;
            else if (put < 0 && errno == EINTR)
                continue;
            else if (put < 0 && errno == EAGAIN)
                break;
            else
                return done > 0 ? done : -1;
        }
        if (done == size)
            return size;
        d->writesQueued = true;
    }
    QSerialPort *port = d->serial;
    const QByteArray rest(data + done, static_cast<int>(size - done));
    Private *io = d.get();
    QMetaObject::invokeMethod(port,
                              ThreadHandOver::work(io,
                                                   [io, port, rest] {
                                                       if (!port->isOpen() ||
                                                           port->write(rest) != rest.size())
                                                           io->queuedWriteFailed = true;
                                                       port->flush();
                                                   }),
                              Qt::QueuedConnection);
    return size;
}

// Called in the I/O thread before the device is closed, so no direct write
// can reach a descriptor that is closed or already reused.
void SerialPort::Private::stopDirectWrites()
{
    std::lock_guard<std::mutex> locker(writeLock);
    writeFd = -1;
}

ModemLines::Read SerialPort::readModemLines()
{
    ModemLines::Read read;
    read.failure = QStringLiteral("the port is not open");
    QSerialPort *port = d->serial;
    d->runInIoThread([port, &read] {
        read = ModemLines::read(port->handle());
        return read.ok();
    });
    return read;
}

std::optional<QString> SerialPort::setModemLines(const ModemLines::State &lines)
{
    std::optional<QString> failure = QStringLiteral("the port is not open");
    QSerialPort *port = d->serial;
    d->runInIoThread([port, &lines, &failure] {
        failure = ModemLines::write(port->handle(), lines);
        return !failure;
    });
    return failure;
}

// Cleared now, as the lines may be set before the close; and once more at
// the close itself, as QSerialPort puts back the settings it found at open,
// HUPCL with them, just before it closes.
std::optional<QString> SerialPort::keepModemLinesAtClose()
{
    std::optional<QString> failure = QStringLiteral("the port is not open");
    QSerialPort *port = d->serial;
    d->runInIoThread([io = d.get(), port, &failure] {
        failure = ModemLines::keepAtClose(port->handle());
        io->keepLines = !failure;
        return !failure;
    });
    return failure;
}

// Where the lines must stay, a second descriptor keeps the device open
// through QSerialPort's close, and is the last to close, with HUPCL off.
void SerialPort::Private::closeDevice(QSerialPort *port, const QString &name)
{
    const int held = keepLines ? ::dup(static_cast<int>(port->handle())) : -1;
    port->close();
    if (held < 0)
        return;
    if (const std::optional<QString> failure = ModemLines::keepAtClose(held))
        qWarning("serial port %s: the modem lines drop at close: %s", qPrintable(name),
                 qPrintable(*failure));
    ::close(held);
}

// Queued behind every pending write, as close() is.
bool SerialPort::drain()
{
    QSerialPort *port = d->serial;
    return d->runInIoThread([port] { return port->isOpen() && drainPort(port); }) &&
           !d->queuedWriteFailed;
}

bool SerialPort::close()
{
    if (!d->serial)
        return !d->queuedWriteFailed;
    QSerialPort *port = d->serial;
    // Queued after every pending write, so those go out first. The close
    // puts back the line settings found at open, which on a real line could
    // change the rate under bytes still waiting in the driver: drain first.
    const bool drained = d->runInIoThread([io = d.get(), port, this] {
        io->stopDirectWrites();
        // Once a hang-up has closed the device, what it had taken is beyond
        // our knowledge; only a write after that is known to be lost.
        bool sent = true;
        if (port->isOpen()) {
            sent = drainPort(port);
            io->closeDevice(port, name);
        }
        delete port;
        return sent;
    });
    d->serial = nullptr;
    opened = false;
    d->ioThread.quit();
    d->ioThread.wait();
    return drained && !d->queuedWriteFailed;
}
