#include "bench/pagerun.h"

#include "bench/flasherprocess.h"
#include "bench/gangrun.h"
#include "bench/measure.h"
#include "bench/session.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Bench
{

namespace
{

// The clients, in a Python process of their own: POLLERS each GET /state
// once a second on a connection kept open, HOLDERS each send a request a
// byte a second and never finish it. On SIGTERM they say how many polls
// were answered with 200.
const char ClientsScript[] = R"PY(
import http.client, signal, socket, sys, threading, time
port, pollers, holders = (int(a) for a in sys.argv[1:4])
stop = threading.Event()
answered = [0]
lock = threading.Lock()

def poll():
    conn = None
    while not stop.is_set():
        began = time.monotonic()
        try:
            conn = conn or http.client.HTTPConnection("127.0.0.1", port, timeout=5)
            conn.request("GET", "/state")
            reply = conn.getresponse()
            reply.read()
            if reply.status == 200:
                with lock:
                    answered[0] += 1
        except (OSError, http.client.HTTPException):
            conn = None
        stop.wait(max(0.0, 1.0 - (time.monotonic() - began)))

def hold():
    while not stop.is_set():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                s.sendall(b"GET /state HTTP/1.1\r\n")
                while not stop.wait(1.0):
                    s.sendall(b"X")
        except OSError:
            stop.wait(0.2)

signal.signal(signal.SIGTERM, lambda *_: stop.set())
for target, count in ((poll, pollers), (hold, holders)):
    for _ in range(count):
        threading.Thread(target=target, daemon=True).start()
while not stop.wait(0.5):
    pass
print("answered", answered[0], flush=True)
)PY";

// A port free right now on the loopback, for the flasher's page and its
// clients to agree on.
int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    const bool bound = s >= 0 && ::bind(s, reinterpret_cast<sockaddr *>(&address), size) == 0 &&
                       ::getsockname(s, reinterpret_cast<sockaddr *>(&address), &size) == 0;
    if (s >= 0)
        ::close(s);
    return bound ? ntohs(address.sin_port) : 0;
}

struct PageRun {
    double slowestShare = 0;
    int answered = 0;
    double seconds = 0;
};

// One kavro-flash --serve over eight fresh boards, with the clients when
// `clients` says so.
bool pageRun(const QString &flasher, const Job &job, const QString &log, bool clients, PageRun &run,
             QString *error)
{
    Boards sims;
    if (!sims.start(PageBoards, error))
        return false;
    const int port = freePort();
    if (port == 0) {
        *error = QStringLiteral("no free port for the page");
        return false;
    }
    QProcess clientProcess;
    if (clients) {
        clientProcess.start(QStringLiteral("python3"),
                            {QStringLiteral("-c"), QString::fromLatin1(ClientsScript),
                             QString::number(port), QString::number(PagePollers),
                             QString::number(PageHolders)});
        if (!clientProcess.waitForStarted(10000)) {
            *error =
                QStringLiteral("the clients did not start: %1").arg(clientProcess.errorString());
            return false;
        }
    }
    QStringList args{flasher,
                     QStringLiteral("-q"),
                     QStringLiteral("-b"),
                     QString::number(GangBaud),
                     QStringLiteral("--serve"),
                     QStringLiteral("127.0.0.1:%1").arg(port)};
    for (const QString &port : sims.ports)
        args << QStringLiteral("-p") << port;
    args << job.imagePath;
    rusage usage{};
    QElapsedTimer clock;
    clock.start();
    const bool flashed =
        runToEnd(args, log, sessionTimeoutMs(job.blocks, GangBaud) + 60000, &usage, error);
    run.seconds = clock.elapsed() / 1000.0;
    if (clients) {
        clientProcess.terminate();
        clientProcess.waitForFinished(10000);
        const QByteArray said = clientProcess.readAllStandardOutput().trimmed();
        run.answered = said.startsWith("answered ") ? said.mid(9).toInt() : 0;
        if (flashed && run.answered == 0) {
            *error = QStringLiteral("the clients got no answer from the page: %1")
                         .arg(QString::fromLocal8Bit(said + clientProcess.readAllStandardError()));
            return false;
        }
    }
    if (!flashed)
        return false;

    const std::optional<double> slowest = slowestShare(sims.stop(), job.blocks, error);
    if (!slowest) {
        *error = QStringLiteral("page run, ") + *error;
        return false;
    }
    run.slowestShare = *slowest;
    return true;
}

} // namespace

bool pageWay(const QString &flasher, int blocks, int runs, PageResult &result, QString *error)
{
    for (const QString &program : {flasher, besideBench("kavro-bootsim")}) {
        if (!QFileInfo(program).isExecutable()) {
            *error = QStringLiteral("no program at %1").arg(program);
            return false;
        }
    }
    QTemporaryDir dir;
    Job job;
    job.blocks = blocks;
    if (!dir.isValid() || !writeImage(dir, QStringLiteral("page.bin"), job)) {
        *error = QStringLiteral("cannot write the image");
        return false;
    }
    const QString log = dir.filePath(QStringLiteral("flash.log"));
    // Alternating, so that a machine growing busier or quieter weighs on both.
    for (int n = 0; n < 2 * runs; ++n) {
        const bool clients = n % 2 == 1;
        PageRun run;
        if (!pageRun(flasher, job, log, clients, run, error))
            return false;
        (clients ? result.withClients : result.withoutClients).append(run.slowestShare);
        if (clients)
            result.pollsPerSecond.append(run.answered / run.seconds);
        std::printf("  %-12s run %d  %d boards at %d, %s  slowest share %.3f", "page", n / 2 + 1,
                    PageBoards, GangBaud, clients ? "with the clients   " : "without the clients",
                    run.slowestShare);
        if (clients)
            std::printf("  (%d polls answered, %.1f a second)", run.answered,
                        run.answered / run.seconds);
        std::printf("\n");
        std::fflush(stdout);
    }
    return true;
}

void printPageTable(const PageResult &result, int blocks)
{
    const double without = median(result.withoutClients);
    const double with = median(result.withClients);
    std::printf("\npage: kavro-flash -q -b %d --serve over %d boards, each a kavro-bootsim "
                "process, %d blocks;\n  the clients: %d polling /state once a second, %d "
                "holding a request open, a byte a second\n(medians over %d run(s) each, "
                "alternating)\n",
                GangBaud, PageBoards, blocks, PagePollers, PageHolders,
                int(result.withClients.size()));
    std::printf("  slowest board's share without the clients  %.3f\n", without);
    std::printf("  slowest board's share with the clients     %.3f  (%.1f polls answered a "
                "second)\n",
                with, median(result.pollsPerSecond));
    std::printf("  ratio %.3f (goal 0.97 or more): %s\n", with / without,
                with / without >= 0.97 ? "met" : "missed");
    std::printf("bench-page: without=%.3f with=%.3f ratio=%.3f polls_per_second=%.1f\n", without,
                with, with / without, median(result.pollsPerSecond));
    std::fflush(stdout);
}

} // namespace Bench
