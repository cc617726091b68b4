// Preloaded into kavro-flash by the tests of DTR and RTS sequences. A
// pseudo-terminal has no modem lines, so where the system refuses a
// modem-line call the shim answers it as a driver with lines would, and
// appends the lines' new state to the file KAVRO_MODEM_LINES names, where the
// simulated board reads it. Every call still goes to the system first, so
// strace sees each one.
//
// Once a descriptor has had a modem-line call, each write to it is noted in
// the file too, after it: the board then knows which of its bytes were sent
// before a change of the lines and which after, however late it reads them.

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

using RealWrite = ssize_t (*)(int, const void *, size_t);
using RealClose = int (*)(int);

RealWrite realWrite()
{
    static const RealWrite real = reinterpret_cast<RealWrite>(dlsym(RTLD_NEXT, "write"));
    return real;
}

RealClose realClose()
{
    static const RealClose real = reinterpret_cast<RealClose>(dlsym(RTLD_NEXT, "close"));
    return real;
}

std::mutex lock;
int lines[1024];    // per descriptor, both down until set
bool watched[1024]; // descriptors that have had a modem-line call

void append(int fd, const char *what)
{
    const char *path = std::getenv("KAVRO_MODEM_LINES");
    if (!path)
        return;
    char device[256] = {};
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (readlink(link, device, sizeof device - 1) < 0)
        return;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[400];
    const int size = std::snprintf(line, sizeof line, "%s %s %lld\n", device, what,
                                   (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
    // One write of the whole line: boards reading the file never see half.
    const int out = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0)
        return;
    if (realWrite()(out, line, size_t(size)) != size)
        std::fprintf(stderr, "modemshim: cannot write %s\n", path);
    realClose()(out);
}

void report(int fd, int bits)
{
    char what[32];
    std::snprintf(what, sizeof what, "dtr=%d rts=%d", (bits & TIOCM_DTR) != 0,
                  (bits & TIOCM_RTS) != 0);
    append(fd, what);
}

int emulate(int fd, unsigned long request, int *bits)
{
    if (fd < 0 || fd >= 1024 || !bits) {
        errno = EINVAL;
        return -1;
    }
    std::lock_guard<std::mutex> locker(lock);
    watched[fd] = true;
    int &state = lines[fd];
    constexpr int Lines = TIOCM_DTR | TIOCM_RTS;
    switch (request) {
    case TIOCMGET:
        *bits = state;
        return 0;
    case TIOCMSET:
        state = *bits & Lines;
        break;
    case TIOCMBIS:
        state |= *bits & Lines;
        break;
    default:
        state &= ~(*bits & Lines);
        break;
    }
    report(fd, state);
    return 0;
}

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...)
{
    using Real = int (*)(int, unsigned long, ...);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "ioctl"));
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    const int result = real(fd, request, argument);
    const bool modem =
        request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (result == 0 || !modem || (errno != ENOTTY && errno != EINVAL))
        return result;
    return emulate(fd, request, static_cast<int *>(argument));
}

extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    const ssize_t put = realWrite()(fd, data, size);
    if (put > 0 && fd >= 0 && fd < 1024) {
        std::lock_guard<std::mutex> locker(lock);
        if (watched[fd]) {
            char what[32];
            std::snprintf(what, sizeof what, "wrote=%zd", put);
            append(fd, what);
        }
    }
    return put;
}

extern "C" int close(int fd)
{
    if (fd >= 0 && fd < 1024) {
        std::lock_guard<std::mutex> locker(lock);
        watched[fd] = false;
        lines[fd] = 0;
    }
    return realClose()(fd);
}
