// The serial port layer on Windows, on plain Win32 calls: one I/O thread per
// open port keeps a read waiting for the next byte, writes what write()
// queued, and sleeps until a byte, the end of its write or a wake-up from
// write() and close() arrives.

#include "serial/serialport.h"

#include "serial/devicepath.h"

#include <QDebug>

#include <windows.h>

#include <cstring>
#include <thread>

namespace
{

// A waiting read that brought nothing comes back after this long and is
// posted again; it only sets how often an idle port wakes its thread.
constexpr DWORD IdleReadMs = 5000;

// Applies one change to the line settings; false when the change is not
// one the line knows or the driver refuses it.
template <typename F> bool changeLine(HANDLE device, F &&edit)
{
    if (!device)
        return false;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(device, &dcb) || !edit(dcb))
        return false;
    return SetCommState(device, &dcb) != 0;
}

// Why a step of the open failed, with the system's error number; called
// right after the step, before another call can change that number.
PortFailure stepFailure(const char *reason, PortFailure::Kind kind = PortFailure::Kind::Other)
{
    return {
        kind, QStringLiteral("%1: error %2").arg(QLatin1String(reason)).arg(GetLastError()), {}};
}

// Raw bytes at the default rate, 8N1, no flow control, until a caller picks
// other settings; why not, when the device refuses.
std::optional<PortFailure> setUpLine(HANDLE device)
{
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // A file or NUL opens as a port does; only a port has line settings.
    if (!GetCommState(device, &dcb))
        return stepFailure("not a serial port", PortFailure::Kind::NotASerialPort);
    dcb.BaudRate = SerialPort::DefaultBaudRate;
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
    if (!SetCommState(device, &dcb))
        return stepFailure("the driver refused the line settings");
    // A read returns as soon as it has a byte, at once when one is there,
    // empty after IdleReadMs when none comes. Writes have no time limit.
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = IdleReadMs;
    if (!SetCommTimeouts(device, &timeouts))
        return stepFailure("the driver refused the read time-outs");
    return std::nullopt;
}

enum class RequestState { Done, Pending, Failed };

// An overlapped request with a manual-reset event of its own, which it
// closes. Outstanding from its start until its outcome is taken: till then
// the system may still write into it.
struct Request {
    OVERLAPPED overlapped;
    bool outstanding = false;

    explicit Request(HANDLE event)
    {
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = event;
    }
    ~Request() { CloseHandle(overlapped.hEvent); }
    Request(const Request &) = delete;
    Request &operator=(const Request &) = delete;

    HANDLE event() const { return overlapped.hEvent; }

    // `call` is ReadFile or WriteFile on this request; false when it failed
    // at once. One that finishes at once still signals its event.
    template <typename F> bool start(F &&call)
    {
        const HANDLE event = overlapped.hEvent;
        std::memset(&overlapped, 0, sizeof overlapped);
        overlapped.hEvent = event;
        ResetEvent(event);
        outstanding = call(&overlapped) || GetLastError() == ERROR_IO_PENDING;
        return outstanding;
    }

    // Whether the request has finished; `bytes` gets its count.
    RequestState poll(HANDLE device, DWORD *bytes)
    {
        if (GetOverlappedResult(device, &overlapped, bytes, FALSE)) {
            outstanding = false;
            return RequestState::Done;
        }
        if (GetLastError() == ERROR_IO_INCOMPLETE)
            return RequestState::Pending;
        outstanding = false;
        return RequestState::Failed;
    }

    // Waits for the request to end, after CancelIo() when it must not wait
    // for the device.
    bool finish(HANDLE device, DWORD *bytes)
    {
        const bool done = !outstanding || GetOverlappedResult(device, &overlapped, bytes, TRUE);
        outstanding = false;
        return done;
    }
};

} // namespace

// The open device, its I/O thread and the output queued for that thread.
struct SerialPort::Private {
    struct Io;
    void runIo(SerialPort &port);

    HANDLE device = nullptr;
    HANDLE wakeEvent = nullptr; // set by write() and close()
    std::unique_ptr<Io> io;     // made by open(), gone at close()
    std::thread ioThread;

    // Bytes write() queued for the I/O thread, in order. Guarded by
    // writeLock, like the two flags; a port that is not open counts as
    // closing.
    std::mutex writeLock;
    QByteArray outgoing;
    bool closing = true;
    bool deviceGone = false;
    bool outputLost = false; // bytes written were dropped unsent
};

// The I/O thread's requests and the steps of its loop.
//
// A read always waits, so the thread wakes as soon as a byte arrives, also
// while a write is under way. It asks for a single byte, as wine finishes a
// read that has to wait only once its whole buffer is filled. The bytes
// behind that one are taken with a read of exactly as many as the driver
// holds, which does not wait.
struct SerialPort::Private::Io {
    SerialPort &port;
    Private &shared;
    const HANDLE device;
    Request reading;
    Request writing;
    char first = 0;        // what the waiting read brings
    ULONGLONG armedAt = 0; // when the waiting read was posted
    QByteArray inFlight;   // the current write's bytes, oldest first

    Io(SerialPort &port, HANDLE device, HANDLE readEvent, HANDLE writeEvent)
        : port(port), shared(*port.d), device(device), reading(readEvent), writing(writeEvent)
    {
    }

    bool serve();
    bool drain();
    void settle();

private:
    bool arm();
    bool takeArrived();
    bool takeQueued(QByteArray *arrived);
    bool pushWrites();
};

SerialPort::SerialPort(const QString &name, QObject *parent)
    : QObject(parent), name(name), d(std::make_unique<Private>())
{
}

SerialPort::~SerialPort()
{
    close();
}

bool SerialPort::open(QIODevice::OpenMode mode)
{
    if (d->device) {
        failure = PortFailure{PortFailure::Kind::Busy, QStringLiteral("already open"), {}};
        return false;
    }
    failure.reset();
    DWORD access = 0;
    if (mode & QIODevice::ReadOnly)
        access |= GENERIC_READ;
    if (mode & QIODevice::WriteOnly)
        access |= GENERIC_WRITE;
    const std::wstring path = PortName::devicePath(name).toStdWString();
    const HANDLE handle =
        CreateFileW(path.c_str(), access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A serial port is opened by one program at a time: another that has
        // it shows as access denied.
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
            failure = PortFailure{
                PortFailure::Kind::Busy, QStringLiteral("busy: another program has it open"), {}};
        else if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            failure =
                PortFailure{PortFailure::Kind::NotFound, QStringLiteral("no such device"), {}};
        else
            failure =
                PortFailure{PortFailure::Kind::Other, QStringLiteral("error %1").arg(error), {}};
        return false;
    }

    // The events of the wake-up (auto-reset) and of the I/O thread's two
    // requests (manual-reset) are made here, so that an open that cannot make
    // them fails. A step that fails closes what the steps before it made.
    HANDLE events[3] = {};
    failure = setUpLine(handle);
    for (int i = 0; i < 3 && !failure; ++i) {
        events[i] = CreateEventW(nullptr, i > 0, FALSE, nullptr);
        if (!events[i])
            failure = stepFailure("no event for the I/O thread");
    }
    if (failure) {
        for (HANDLE event : events) {
            if (event)
                CloseHandle(event);
        }
        CloseHandle(handle);
        return false;
    }
    // Bytes left over from an earlier session are not a reply to us.
    PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR);

    d->device = handle;
    d->wakeEvent = events[0];
    d->io = std::make_unique<Private::Io>(*this, handle, events[1], events[2]);
    {
        std::lock_guard<std::mutex> locker(d->writeLock);
        d->outgoing.clear();
        d->closing = false;
        d->deviceGone = false;
        d->outputLost = false;
    }
    d->ioThread = std::thread([this] { d->runIo(*this); });
    opened = true;
    return true;
}

// A driver may keep a rate of its own, or round the one asked, without
// failing the call, so the rate is read back from the device.
bool SerialPort::setBaudRate(qint32 rate)
{
    return changeLine(d->device,
                      [rate](DCB &dcb) {
                          if (rate <= 0)
                              return false;
                          dcb.BaudRate = static_cast<DWORD>(rate);
                          return true;
                      }) &&
           baudRate() == rate;
}

qint32 SerialPort::baudRate()
{
    if (!d->device)
        return 0;
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    return GetCommState(d->device, &dcb) ? static_cast<qint32>(dcb.BaudRate) : 0;
}

bool SerialPort::setDataBits(DataBits bits)
{
    return changeLine(d->device, [bits](DCB &dcb) {
        if (bits < Data5 || bits > Data8)
            return false;
        dcb.ByteSize = static_cast<BYTE>(bits);
        return true;
    });
}

bool SerialPort::setParity(Parity parity)
{
    return changeLine(d->device, [parity](DCB &dcb) {
        switch (parity) {
        case NoParity:
            dcb.Parity = NOPARITY;
            break;
        case EvenParity:
            dcb.Parity = EVENPARITY;
            break;
        case OddParity:
            dcb.Parity = ODDPARITY;
            break;
        case SpaceParity:
            dcb.Parity = SPACEPARITY;
            break;
        case MarkParity:
            dcb.Parity = MARKPARITY;
            break;
        default:
            return false;
        }
        dcb.fParity = parity != NoParity;
        return true;
    });
}

bool SerialPort::setStopBits(StopBits bits)
{
    return changeLine(d->device, [bits](DCB &dcb) {
        switch (bits) {
        case OneStop:
            dcb.StopBits = ONESTOPBIT;
            return true;
        case OneAndHalfStop:
            dcb.StopBits = ONE5STOPBITS;
            return true;
        case TwoStop:
            dcb.StopBits = TWOSTOPBITS;
            return true;
        default:
            return false;
        }
    });
}

bool SerialPort::setFlowControl(FlowControl flow)
{
    return changeLine(d->device, [flow](DCB &dcb) {
        if (flow != NoFlowControl && flow != HardwareControl && flow != SoftwareControl)
            return false;
        const bool hardware = flow == HardwareControl;
        const bool software = flow == SoftwareControl;
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

// Never blocks: the bytes join the queue and the I/O thread is woken.
qint64 SerialPort::write(const char *data, qint64 size)
{
    {
        std::lock_guard<std::mutex> locker(d->writeLock);
        if (d->closing || d->deviceGone)
            return -1;
        d->outgoing.append(data, static_cast<int>(size));
    }
    SetEvent(d->wakeEvent);
    return size;
}

void SerialPort::Private::runIo(SerialPort &port)
{
    const bool served = io->serve();
    if (served)
        io->drain();
    else
        // Cable pulled or port gone: the session ends by its reply time-out;
        // further writes fail.
        qDebug().noquote() << "serial port gone:" << port.portName();
    io->settle();
    std::lock_guard<std::mutex> locker(writeLock);
    deviceGone = !served;
    outputLost = !io->inFlight.isEmpty() || !outgoing.isEmpty();
}

// Until close() asks for the end (true) or the device fails (false).
bool SerialPort::Private::Io::serve()
{
    if (!arm())
        return false;
    for (;;) {
        if (!pushWrites())
            return false;
        {
            std::lock_guard<std::mutex> locker(shared.writeLock);
            if (shared.closing)
                return true;
        }
        const HANDLE wakers[] = {shared.wakeEvent, reading.event(), writing.event()};
        const DWORD count = writing.outstanding ? 3 : 2;
        if (WaitForMultipleObjects(count, wakers, FALSE, INFINITE) == WAIT_FAILED || !takeArrived())
            return false;
    }
}

// Posts the read that waits for the next byte.
bool SerialPort::Private::Io::arm()
{
    armedAt = GetTickCount64();
    return reading.start(
        [this](OVERLAPPED *request) { return ReadFile(device, &first, 1, nullptr, request); });
}

// Once the waiting read is done: hands its byte and those that came behind it
// to readAll() and posts the next. A read comes back empty when IdleReadMs
// ran out; one that does so well before has a device behind it that is gone.
bool SerialPort::Private::Io::takeArrived()
{
    DWORD got = 0;
    const RequestState read = reading.poll(device, &got);
    if (read != RequestState::Done)
        return read == RequestState::Pending;
    if (got == 0)
        return GetTickCount64() - armedAt >= IdleReadMs / 2 && arm();
    QByteArray arrived(&first, 1);
    if (!takeQueued(&arrived))
        return false;
    port.deliver(arrived);
    return arm();
}

// Appends what the driver holds to `arrived`.
bool SerialPort::Private::Io::takeQueued(QByteArray *arrived)
{
    COMSTAT status;
    DWORD errors = 0;
    if (!ClearCommError(device, &errors, &status))
        return false;
    if (status.cbInQue == 0)
        return true;
    const int had = arrived->size();
    arrived->resize(had + static_cast<int>(status.cbInQue));
    DWORD got = 0;
    const bool read = reading.start([&](OVERLAPPED *request) {
        return ReadFile(device, arrived->data() + had, status.cbInQue, nullptr, request);
    });
    if (!read || !reading.finish(device, &got))
        return false;
    arrived->resize(had + static_cast<int>(got));
    return true;
}

// Takes up the current write's outcome and starts the next, in order, until
// one is under way or nothing is left to write.
bool SerialPort::Private::Io::pushWrites()
{
    for (;;) {
        if (writing.outstanding) {
            DWORD put = 0;
            const RequestState write = writing.poll(device, &put);
            if (write == RequestState::Pending)
                return true;
            if (write == RequestState::Failed || put == 0)
                return false;
            inFlight.remove(0, static_cast<int>(put));
        }
        if (inFlight.isEmpty()) {
            std::lock_guard<std::mutex> locker(shared.writeLock);
            inFlight.swap(shared.outgoing);
        }
        if (inFlight.isEmpty())
            return true;
        const bool started = writing.start([this](OVERLAPPED *request) {
            return WriteFile(device, inFlight.constData(), static_cast<DWORD>(inFlight.size()),
                             nullptr, request);
        });
        if (!started)
            return false;
    }
}

// After close(): lets the queued output go out, for at most DrainTimeoutMs.
// What is left when it returns was not sent.
bool SerialPort::Private::Io::drain()
{
    const ULONGLONG deadline = GetTickCount64() + DrainTimeoutMs;
    for (;;) {
        if (!pushWrites())
            return false;
        if (!writing.outstanding) {
            // Written to the driver; let the line carry it out.
            FlushFileBuffers(device);
            return true;
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline ||
            WaitForSingleObject(writing.event(), static_cast<DWORD>(deadline - now)) == WAIT_FAILED)
            return false;
    }
}

// The requests go at close(), with their events: none may still be under way
// then.
void SerialPort::Private::Io::settle()
{
    CancelIo(device);
    DWORD unused = 0;
    reading.finish(device, &unused);
    writing.finish(device, &unused);
}

ModemLines::Read SerialPort::readModemLines()
{
    if (!d->device) {
        ModemLines::Read read;
        read.failure = QStringLiteral("the port is not open");
        return read;
    }
    return ModemLines::read(reinterpret_cast<qintptr>(d->device));
}

// From the caller's thread, as the line settings above are: the I/O thread
// only reads and writes.
std::optional<QString> SerialPort::setModemLines(const ModemLines::State &lines)
{
    if (!d->device)
        return QStringLiteral("the port is not open");
    return ModemLines::write(reinterpret_cast<qintptr>(d->device), lines);
}

std::optional<QString> SerialPort::keepModemLinesAtClose()
{
    if (!d->device)
        return QStringLiteral("the port is not open");
    return ModemLines::keepAtClose(reinterpret_cast<qintptr>(d->device));
}

// Waits until the I/O thread has taken every queued byte, then lets the
// driver send them: FlushFileBuffers returns once its writes are done.
bool SerialPort::drain()
{
    const ULONGLONG deadline = GetTickCount64() + DrainTimeoutMs;
    for (;;) {
        {
            std::lock_guard<std::mutex> locker(d->writeLock);
            if (d->closing || d->deviceGone)
                return false;
            if (d->outgoing.isEmpty())
                break;
        }
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
    return FlushFileBuffers(d->device) != 0;
}

// Lets queued output go out (bounded), closes the device and ends the I/O
// thread. Safe to call more than once.
bool SerialPort::close()
{
    if (!d->device)
        return !d->outputLost;
    {
        std::lock_guard<std::mutex> locker(d->writeLock);
        d->closing = true;
    }
    SetEvent(d->wakeEvent);
    d->ioThread.join();
    d->io.reset();
    CloseHandle(d->device);
    CloseHandle(d->wakeEvent);
    d->device = nullptr;
    d->wakeEvent = nullptr;
    opened = false;
    return !d->outputLost;
}
