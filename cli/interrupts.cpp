#include "cli/interrupts.h"

#include <csignal>

#ifdef Q_OS_WIN
// Windows has no signals to speak of: Ctrl-C, Ctrl-Break and a closing
// console arrive as control events on a thread of their own, which hands
// them to the event loop by a queued call.
#include <QMetaObject>

#include <windows.h>

namespace
{
Interrupts *current = nullptr;

BOOL WINAPI controlHandler(DWORD event)
{
    if (!current)
        return FALSE;
    const int signal = event == CTRL_C_EVENT ? SIGINT : SIGTERM;
    QMetaObject::invokeMethod(
        current, [signal] { emit current->interrupted(signal); }, Qt::QueuedConnection);
    return TRUE;
}
} // namespace

Interrupts::Interrupts(QObject *parent) : QObject(parent)
{
    current = this;
    SetConsoleCtrlHandler(controlHandler, TRUE);
}

Interrupts::~Interrupts()
{
    SetConsoleCtrlHandler(controlHandler, FALSE);
    current = nullptr;
}

bool Interrupts::isValid() const
{
    return true;
}

#else
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
int signalPair[2] = {-1, -1};
const int watchedSignals[] = {SIGINT, SIGTERM};
} // namespace

Interrupts::Interrupts(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPair) != 0)
        return;
    // A burst of signals must never block the handler.
    ::fcntl(signalPair[0], F_SETFL, ::fcntl(signalPair[0], F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(signalPair[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Interrupts::takeSignal);

    struct sigaction action {
    };
    action.sa_handler = &Interrupts::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int s : watchedSignals)
        ::sigaction(s, &action, nullptr);
}

bool Interrupts::isValid() const
{
    return notifier != nullptr;
}

Interrupts::~Interrupts()
{
    if (!notifier)
        return;
    for (const int s : watchedSignals)
        std::signal(s, SIG_DFL);
    ::close(signalPair[0]);
    ::close(signalPair[1]);
    signalPair[0] = signalPair[1] = -1;
}

void Interrupts::handle(int signal)
{
    const int savedErrno = errno;
    const char number = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t put = ::write(signalPair[0], &number, 1);
    errno = savedErrno;
}

void Interrupts::takeSignal()
{
    char numbers[16];
    const ssize_t got = ::read(signalPair[1], numbers, sizeof numbers);
    for (ssize_t i = 0; i < got; ++i)
        emit interrupted(numbers[i]);
}
#endif
