#ifndef SERIALPORT_H
#define SERIALPORT_H

#include "serial/modemlines.h"
#include "serial/portfailure.h"

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QString>

#include <memory>
#include <mutex>
#include <optional>

// The download session's only door to a serial line.
//
// Each open port gets an I/O thread of its own, and the device is served
// there. On Linux a QSerialPort lives in that thread and is touched from
// nowhere else: the calls below hand their work over to it, and only frames
// the device takes at once are written straight from the caller's thread. On
// Windows the thread runs plain Win32 overlapped I/O: a read always waiting
// for the next byte, and the writes queued by write(). Either way incoming
// bytes are collected by the I/O thread into a buffer of our own, after which
// readyRead() is emitted from the I/O thread; readAll() may then be called
// from any thread, also while another thread is writing.
class SerialPort : public QObject
{
    Q_OBJECT
public:
    // The line settings, in the layer's own terms so that its callers need
    // nothing of the backend's.
    enum DataBits { Data5 = 5, Data6, Data7, Data8 };
    enum Parity { NoParity, EvenParity, OddParity, SpaceParity, MarkParity };
    enum StopBits { OneStop, OneAndHalfStop, TwoStop };
    enum FlowControl { NoFlowControl, HardwareControl, SoftwareControl };

    static constexpr qint32 DefaultBaudRate = 115200;
    // Longest wait at close for written bytes to leave: far more than a
    // frame needs at any rate the board speaks.
    static constexpr int DrainTimeoutMs = 500;

    explicit SerialPort(const QString &name, QObject *parent = nullptr);
    ~SerialPort() override;

    // PortName::devicePath(), for the session that opens the port by it.
    static QString devicePath(const QString &name);

    QString portName() const { return name; }

    bool open(QIODevice::OpenMode mode);
    bool isOpen() const;
    // Why the last open() failed: set whenever open() returns false, none
    // after one that worked.
    std::optional<PortFailure> openFailure() const { return failure; }

    bool setBaudRate(qint32 rate);
    qint32 baudRate();
    bool setDataBits(DataBits bits);
    bool setParity(Parity parity);
    bool setStopBits(StopBits bits);
    bool setFlowControl(FlowControl flow);
    // A read time-out bounds how long a blocking read waits. No read here
    // blocks: readAll() hands over what the I/O thread has collected, and
    // readyRead() tells when there is more. So the setting changes nothing.
    void setTimeout(long /*milliseconds*/) {}

    // Never blocks: what the device cannot take at once is queued.
    qint64 write(const char *data, qint64 size);
    qint64 write(const QByteArray &data);

    QByteArray readAll();

    // The adapter's DTR and RTS lines, where the port's other calls run.
    ModemLines::Read readModemLines();
    std::optional<QString> setModemLines(const ModemLines::State &lines);
    // From now on a close leaves the lines as the last setModemLines() put
    // them, rather than dropping them.
    std::optional<QString> keepModemLinesAtClose();
    // Waits, for at most DrainTimeoutMs, until everything written has left
    // the host; false when it has not.
    bool drain();

    // Writes out whatever is still queued, waits (bounded) until the device
    // has sent it, closes the device and ends the I/O thread. False when bytes
    // written through this port are known to be lost. Safe to call more than
    // once.
    bool close();

signals:
    void readyRead();

private:
    // Each backend's own state and I/O thread: serialport.cpp on Linux,
    // serialport_win.cpp on Windows.
    struct Private;

    // Called by the I/O thread with bytes that arrived: keeps them for
    // readAll() and emits readyRead().
    void deliver(const QByteArray &chunk);

    const QString name;

    std::mutex incomingLock;
    QByteArray incoming;
    bool opened = false;
    std::optional<PortFailure> failure;

    std::unique_ptr<Private> d;
};

#endif
