#include "bench/ptyfloor.h"

#include "bench/measure.h"
#include "download/deviceframe.h"

#include <QVector>

#include <cstdlib>
#include <ctime>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace Bench
{

namespace
{

qint64 threadCpuNs()
{
    timespec cpu{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    return qint64(cpu.tv_sec) * 1000000000 + cpu.tv_nsec;
}

} // namespace

PtyFloor::Figures PtyFloor::measure(int rounds)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0)
        return {};
    int slave = -1;
    if (grantpt(master) == 0 && unlockpt(master) == 0)
        slave = ::open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) {
        ::close(master);
        return {};
    }
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);

    std::thread board([master, rounds] {
        char frame[DeviceFrame::BlockFrameSize];
        const char reply[DeviceFrame::ReplySize] = {};
        for (int r = 0; r < rounds; ++r) {
            if (!readExactly(master, frame, sizeof frame) ||
                ::write(master, reply, sizeof reply) != sizeof reply)
                return;
        }
    });
    QVector<double> trips;
    char frame[DeviceFrame::BlockFrameSize] = {};
    char reply[DeviceFrame::ReplySize];
    const qint64 cpuBefore = threadCpuNs();
    for (int r = 0; r < rounds; ++r) {
        const qint64 start = nowNs();
        if (::write(slave, frame, sizeof frame) != sizeof frame ||
            !readExactly(slave, reply, sizeof reply))
            break;
        trips.append((nowNs() - start) / 1000.0);
    }
    const double cpuUs = (threadCpuNs() - cpuBefore) / 1000.0 / rounds;
    ::close(slave); // ends the board's read if the host gave up early
    board.join();
    ::close(master);
    if (trips.size() != rounds)
        return {};
    return {median(trips), cpuUs};
}

bool PtyFloor::readExactly(int fd, char *data, int size)
{
    int got = 0;
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            return false;
        const ssize_t n = ::read(fd, data + got, static_cast<size_t>(size - got));
        if (n <= 0)
            return false;
        got += static_cast<int>(n);
    }
    return true;
}

} // namespace Bench
