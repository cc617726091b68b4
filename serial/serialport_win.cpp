// The serial port layer on Windows, on plain Win32 calls: one I/O thread per
// open port waits for incoming bytes (WaitCommEvent), for the completion of
// its own write and for a wake-up from write() and close().

#include "serial/serialport.h"

#include <QDebug>

#include <windows.h>

#include <cstring>

namespace
{

// How long close() lets queued output go out before it drops the rest.

// A receive event brings at least one byte, except when the bytes were
// already taken by the read that follows re-arming the wait. A device that
// keeps signalling with nothing to read has gone away.
constexpr int EmptyWakesOfVanishedDevice = 64;

constexpr DWORD ReadChunk = 4096;

constexpr DWORD ReceiveTickMs = 10;

HANDLE win(void *handle)
{
    return static_cast<HANDLE>(handle);
}

// Applies one change to the line settings; false when the change is not
// one the line knows or the driver refuses it.
template <typename F> bool changeLine(void *device, F &&edit)
{
    if (!device)
        return false;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(win(device), &dcb) || !edit(dcb))
        return false;
    return SetCommState(win(device), &dcb) != 0;
}

// An overlapped request with its own manual-reset event.
struct Request {
    OVERLAPPED overlapped;
    Request()
    {
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    ~Request() { CloseHandle(overlapped.hEvent); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    OVERLAPPED *reset()
    {
        const HANDLE event = overlapped.hEvent;
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = event;
        ResetEvent(event);
        return &overlapped;
    }
};

enum class Outcome { Done, Pending, Failed };

// Whether a request that was pending has finished; `bytes` gets its count.
Outcome poll(HANDLE device, Request &request, DWORD *bytes)
{
    if (GetOverlappedResult(device, &request.overlapped, bytes, FALSE))
        return Outcome::Done;
    return GetLastError() == ERROR_IO_INCOMPLETE ? Outcome::Pending : Outcome::Failed;
}

Outcome started(BOOL finishedAtOnce)
{
    if (finishedAtOnce)
        return Outcome::Done;
    return GetLastError() == ERROR_IO_PENDING ? Outcome::Pending : Outcome::Failed;
}

} // namespace

SerialPort::SerialPort(const QString &name, QObject *parent) : QObject(parent), name(name) {}

SerialPort::~SerialPort()
{
    close();
}

QString SerialPort::devicePath(const QString &name)
{
    return QStringLiteral("\\\\.\\") + name;
}

bool SerialPort::open(QIODevice::OpenMode mode)
{
    if (device)
        return false;
    DWORD access = 0;
    if (mode & QIODevice::ReadOnly)
        access |= GENERIC_READ;
    if (mode & QIODevice::WriteOnly)
        access |= GENERIC_WRITE;
    const std::wstring path = devicePath(name).toStdWString();
    const HANDLE handle =
        CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;

    // Raw bytes at the default rate, 8N1, no flow control, until a caller
    // picks other settings.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    bool ready = GetCommState(handle, &dcb);
    if (ready) {
        dcb.BaudRate = DefaultBaudRate;
        dcb.fBinary = TRUE;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.fParity = FALSE;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fAbortOnError = FALSE;
        // Reads ask for no more than has arrived; should one wait anyway,
        // it returns with what is there. Writes have no time limit.
        COMMTIMEOUTS timeouts;
        std::memset(&timeouts, 0, sizeof timeouts);
        timeouts.ReadIntervalTimeout = MAXDWORD;
        ready = SetCommState(handle, &dcb) && SetCommTimeouts(handle, &timeouts) &&
                SetCommMask(handle, EV_RXCHAR);
    }
    if (ready)
        wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!ready || !wakeEvent) {
        CloseHandle(handle);
        return false;
    }
    // Bytes left over from an earlier session are not a reply to us.
    PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);

    device = handle;
    {
        std::lock_guard<std::mutex> locker(writeLock);
        outgoing.clear();
        closing = false;
        deviceGone = false;
        outputLost = false;
    }
    ioThread = std::thread([this] { runIo(); });
    opened = true;
    return true;
}

bool SerialPort::isOpen() const
{
    return opened;
}

bool SerialPort::setBaudRate(qint32 rate)
{
    return changeLine(device, [rate](DCB &dcb) {
        if (rate <= 0)
            return false;
        dcb.BaudRate = static_cast<DWORD>(rate);
        return true;
    });
}

qint32 SerialPort::baudRate()
{
    if (!device)
        return 0;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(win(device), &dcb) ? static_cast<qint32>(dcb.BaudRate) : 0;
}

bool SerialPort::setDataBits(QSerialPort::DataBits bits)
{
    return changeLine(device, [bits](DCB &dcb) {
        if (bits < QSerialPort::Data5 || bits > QSerialPort::Data8)
            return false;
        dcb.ByteSize = static_cast<BYTE>(bits);
        return true;
    });
}

bool SerialPort::setParity(QSerialPort::Parity parity)
{
    return changeLine(device, [parity](DCB &dcb) {
        switch (parity) {
        case QSerialPort::NoParity:
            dcb.Parity = NOPARITY;
            break;
        case QSerialPort::EvenParity:
            dcb.Parity = EVENPARITY;
            break;
        case QSerialPort::OddParity:
            dcb.Parity = ODDPARITY;
            break;
        case QSerialPort::SpaceParity:
            dcb.Parity = SPACEPARITY;
            break;
        case QSerialPort::MarkParity:
            dcb.Parity = MARKPARITY;
            break;
        default:
            return false;
        }
        dcb.fParity = parity != QSerialPort::NoParity;
        return true;
    });
}

bool SerialPort::setStopBits(QSerialPort::StopBits bits)
{
    return changeLine(device, [bits](DCB &dcb) {
        switch (bits) {
        case QSerialPort::OneStop:
            dcb.StopBits = ONESTOPBIT;
            return true;
        case QSerialPort::OneAndHalfStop:
            dcb.StopBits = ONE5STOPBITS;
            return true;
        case QSerialPort::TwoStop:
            dcb.StopBits = TWOSTOPBITS;
            return true;
        default:
            return false;
        }
    });
}

bool SerialPort::setFlowControl(QSerialPort::FlowControl flow)
{
    return changeLine(device, [flow](DCB &dcb) {
        if (flow != QSerialPort::NoFlowControl && flow != QSerialPort::HardwareControl &&
            flow != QSerialPort::SoftwareControl)
            return false;
        const bool hardware = flow == QSerialPort::HardwareControl;
        const bool software = flow == QSerialPort::SoftwareControl;
        dcb.fOutxCtsFlow = hardware;
        dcb.fRtsControl = hardware ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fOutX = software;
        dcb.fInX = software;
        dcb.XonChar = 0x11;
        dcb.XoffChar = 0x13;
        dcb.XonLim = 128;
        dcb.XoffLim = 128;
        return true;
    });
}

qint64 SerialPort::write(const QByteArray &data)
{
    return write(data.constData(), data.size());
}

// Never blocks: the bytes join the queue and the I/O thread is woken.
qint64 SerialPort::write(const char *data, qint64 size)
{
    {
        std::lock_guard<std::mutex> locker(writeLock);
        if (closing || deviceGone)
            return -1;
        outgoing.append(data, static_cast<int>(size));
    }
    SetEvent(win(wakeEvent));
    return size;
}

QByteArray SerialPort::readAll()
{
    std::lock_guard<std::mutex> locker(incomingLock);
    QByteArray data;
    data.swap(incoming);
    return data;
}

void SerialPort::runIo()
{
    const HANDLE handle = win(device);
    Request waiting, reading, writing;
    DWORD events = 0;
    bool waitPending = false;
    bool writePending = false;
    QByteArray inFlight; // the bytes of the current write, oldest first
    int emptyWakes = 0;
    bool draining = false;
    ULONGLONG drainDeadline = 0;
    char chunk[ReadChunk];

    // Takes whatever has arrived, asking the driver how much that is so a
    // read never waits; false when the device fails.
    const auto takeArrived = [&](bool *gotAny) {
        *gotAny = false;
        for (;;) {
            COMSTAT status;
            DWORD errors = 0;
            if (!ClearCommError(handle, &errors, &status))
                return false;
            if (status.cbInQue == 0)
                return true;
            DWORD got = 0;
            const DWORD want = qMin<DWORD>(status.cbInQue, ReadChunk);
            const Outcome read = started(ReadFile(handle, chunk, want, &got, reading.reset()));
            if (read == Outcome::Failed ||
                (read == Outcome::Pending &&
                 !GetOverlappedResult(handle, &reading.overlapped, &got, TRUE)))
                return false;
            if (got == 0)
                return true;
            *gotAny = true;
            {
                std::lock_guard<std::mutex> locker(incomingLock);
                incoming.append(chunk, static_cast<int>(got));
            }
            emit readyRead();
        }
    };

    bool failed = false;
    for (;;) {
        bool signalled = false;
        if (!waitPending) {
            const Outcome wait = started(WaitCommEvent(handle, &events, waiting.reset()));
            failed = wait == Outcome::Failed;
            waitPending = wait == Outcome::Pending;
            signalled = wait == Outcome::Done;
        } else {
            DWORD unused = 0;
            const Outcome wait = poll(handle, waiting, &unused);
            // Wine aborts a pending wait now and then; it is armed again, and
            // counts as a wake that may bring nothing.
            const bool aborted =
                wait == Outcome::Failed && GetLastError() == ERROR_OPERATION_ABORTED;
            failed = wait == Outcome::Failed && !aborted;
            waitPending = wait == Outcome::Pending;
            signalled = wait == Outcome::Done || aborted;
        }
        if (failed)
            break;

        // Also after re-arming the wait: bytes that came before it would
        // not signal it.
        bool gotAny = false;
        if (!takeArrived(&gotAny)) {
            failed = true;
            break;
        }
        emptyWakes = gotAny ? 0 : emptyWakes + (signalled ? 1 : 0);
        if (emptyWakes >= EmptyWakesOfVanishedDevice) {
            failed = true;
            break;
        }

        if (writePending) {
            DWORD put = 0;
            const Outcome write = poll(handle, writing, &put);
            if (write == Outcome::Failed || (write == Outcome::Done && put == 0)) {
                failed = true;
                break;
            }
            if (write == Outcome::Done) {
                writePending = false;
                inFlight.remove(0, static_cast<int>(put));
            }
        }
        {
            std::lock_guard<std::mutex> locker(writeLock);
            if (inFlight.isEmpty())
                inFlight.swap(outgoing);
            if (closing && !draining) {
                draining = true;
                drainDeadline = GetTickCount64() + DrainTimeoutMs;
            }
        }
        if (!writePending && !inFlight.isEmpty()) {
            DWORD put = 0;
            const Outcome write =
                started(WriteFile(handle, inFlight.constData(), static_cast<DWORD>(inFlight.size()),
                                  &put, writing.reset()));
            if (write == Outcome::Failed || (write == Outcome::Done && put == 0)) {
                failed = true;
                break;
            }
            if (write == Outcome::Done)
                inFlight.remove(0, static_cast<int>(put));
            writePending = write == Outcome::Pending;
            if (!writePending)
                continue; // take up the rest, or the next queued bytes
        }

        // Wine's receive event is not always raised for bytes that come
        // while a read or an aborted wait is under way; a short tick takes
        // those up. A tick that finds nothing does not count as a wake.
        DWORD waitMs = ReceiveTickMs;
        if (draining) {
            if (!writePending && inFlight.isEmpty()) {
                // Written to the driver; let the line carry it out.
                FlushFileBuffers(handle);
                break;
            }
            const ULONGLONG now = GetTickCount64();
            if (now >= drainDeadline) {
                std::lock_guard<std::mutex> locker(writeLock);
                outputLost = true;
                break;
            }
            waitMs = qMin(waitMs, static_cast<DWORD>(drainDeadline - now));
        }
        HANDLE wakers[3];
        DWORD count = 0;
        wakers[count++] = win(wakeEvent);
        if (waitPending)
            wakers[count++] = waiting.overlapped.hEvent;
        if (writePending)
            wakers[count++] = writing.overlapped.hEvent;
        if (WaitForMultipleObjects(count, wakers, FALSE, waitMs) == WAIT_FAILED) {
            failed = true;
            break;
        }
    }

    if (failed) {
        // Cable pulled or port gone: the session ends by its reply time-out
        // instead of this thread spinning; further writes fail.
        qDebug().noquote() << "serial port gone:" << name;
        std::lock_guard<std::mutex> locker(writeLock);
        deviceGone = true;
        outputLost = outputLost || writePending || !inFlight.isEmpty() || !outgoing.isEmpty();
    }
    // The requests live on this stack: let every one end before it goes.
    SetCommMask(handle, 0);
    CancelIo(handle);
    DWORD unused = 0;
    if (waitPending)
        GetOverlappedResult(handle, &waiting.overlapped, &unused, TRUE);
    if (writePending)
        GetOverlappedResult(handle, &writing.overlapped, &unused, TRUE);
}

// Lets queued output go out (bounded), closes the device and ends the I/O
// thread. Safe to call more than once.
bool SerialPort::close()
{
    if (!device)
        return !outputLost;
    {
        std::lock_guard<std::mutex> locker(writeLock);
        closing = true;
    }
    SetEvent(win(wakeEvent));
    ioThread.join();
    CloseHandle(win(device));
    CloseHandle(win(wakeEvent));
    device = nullptr;
    wakeEvent = nullptr;
    opened = false;
    return !outputLost;
}
