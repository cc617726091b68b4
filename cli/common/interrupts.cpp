#include "cli/common/interrupts.h"

#include "cli/common/exitstatus.h"

#include <csignal>

#ifdef Q_OS_WIN
// Windows has no signals to speak of: Ctrl-C, Ctrl-Break and a closing
// console arrive as control events on a thread of their own, which hands
// them to the event loop by a queued call.
#include <QMetaObject>

#include <atomic>
#include <windows.h>

namespace
{
// Read by the handler's own thread.
std::atomic<Interrupts *> current{nullptr};
std::atomic<bool> seen{false};
HANDLE ownerDone = nullptr; // set once the owner is done with the sessions

// Windows allows a closing console 5 s before it ends the process.
constexpr DWORD CloseWaitMs = 4500;

BOOL WINAPI controlHandler(DWORD event)
{
    Interrupts *const owner = current;
    if (!owner)
        return FALSE;
    const bool closing =
        event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
    if (!seen.exchange(true)) {
        const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
        QMetaObject::invokeMethod(
            owner, [owner, signal] { emit owner->interrupted(signal); }, Qt::QueuedConnection);
    } else if (!closing) {
        ExitProcess(ExitStatus::Interrupted);
    }
    if (closing)
        WaitForSingleObject(ownerDone, CloseWaitMs);
    return TRUE;
}

QString lastError()
{
    return QStringLiteral("error %1").arg(GetLastError());
}
} // namespace

Interrupts::Interrupts(QObject *parent) : QObject(parent)
{
    ownerDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ownerDone) {
        why = QStringLiteral("cannot watch for Ctrl-C: ") + lastError();
        return;
    }
    current = this;
    if (!SetConsoleCtrlHandler(controlHandler, TRUE)) {
        why = QStringLiteral("cannot watch for Ctrl-C: ") + lastError();
        current = nullptr;
    }
}

Interrupts::~Interrupts()
{
    if (!ownerDone)
        return;
    // A handler waiting for a closing console lets the process end now.
    SetEvent(ownerDone);
    SetConsoleCtrlHandler(controlHandler, FALSE);
    current = nullptr;
    CloseHandle(ownerDone);
    ownerDone = nullptr;
}

#else
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int signalPair[2] = {-1, -1};
volatile std::sig_atomic_t seen = 0;
const int watchedSignals[] = {SIGINT, SIGTERM};
struct sigaction savedActions[std::size(watchedSignals)];
} // namespace

Interrupts::Interrupts(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0) {
        why = QStringLiteral("cannot watch for Ctrl-C: ") +
              QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    ::fcntl(signalPair[0], F_SETFL, ::fcntl(signalPair[0], F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Interrupts::takeSignal);

    struct sigaction action {
    };
    action.sa_handler = &Interrupts::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(watchedSignals); ++i)
        ::sigaction(watchedSignals[i], &action, &savedActions[i]);
}

Interrupts::~Interrupts()
{
    if (!notifier)
        return;
    for (size_t i = 0; i < std::size(watchedSignals); ++i)
        ::sigaction(watchedSignals[i], &savedActions[i], nullptr);
    ::close(signalPair[0]);
    ::close(signalPair[1]);
    signalPair[0] = signalPair[1] = -1;
}

// The second signal needs no event loop: whatever the main thread is doing,
// the process ends here.
void Interrupts::handle(int signal)
{
    if (seen)
        ::_exit(ExitStatus::Interrupted);
    seen = 1;
    const int savedErrno = errno;
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t put = ::write(signalPair[0], &number, 1);
    errno = savedErrno;
}

void Interrupts::takeSignal()
{
    char number;
    if (::read(signalPair[1], &number, 1) == 1)
        emit interrupted(number);
}
#endif
