#include "cli/interrupts.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
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
