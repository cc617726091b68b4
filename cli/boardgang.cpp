#include "cli/boardgang.h"

#include "download/uploadthread.h"

#include <QByteArray>

#include <cstring>

BoardGang::BoardGang(const QStringList &ports, int baud, const QString &imagePath, QObject *parent)
    : QObject(parent)
{
    const QByteArray image = imagePath.toUtf8();
    boards.resize(ports.size());
    for (int index = 0; index < size(); ++index) {
        Board &b = boards[index];
        b.port = ports[index];
        b.worker = std::make_unique<uploadThread>();
        b.worker->setBaud(baud);
        b.worker->setComName(b.port.toUtf8().constData());
        b.worker->setFileName(image.constData());
        watch(index);
    }
}

// Each worker stops and waits for its session as it goes.
BoardGang::~BoardGang() = default;

void BoardGang::watch(int index)
{
    uploadThread *worker = boards[index].worker.get();
    // Queued: the worker object lives here, its signals come from its thread,
    // in the order they were sent, and finished() after all of them.
    connect(worker, &uploadThread::setProgress, this, [this, index](int value) {
        Board &b = boards[index];
        if (b.closing)
            return;
        // A stop asked before the session began was cleared by its start.
        if (stopping)
            b.worker->stopDownload();
        ++b.blocksSent;
        b.percent = value;
        emit progressed(index);
    });
    connect(worker, &uploadThread::setDownloadBtnText, this,
            [this, index](const char *) { boards[index].closing = true; });
    connect(worker, &uploadThread::setFinish, this, [this, index](const char *text) {
        Board &b = boards[index];
        b.outcome = text;
        b.elapsedMs = b.clock.elapsed();
    });
    connect(worker, &QThread::finished, this, [this, index] {
        boards[index].ended = true;
        ++endedCount;
        emit ended(index);
        if (allEnded())
            emit finished();
    });
}

void BoardGang::start()
{
    for (int index = 0; index < size(); ++index) {
        Board &b = boards[index];
        b.clock.start();
        b.worker->start(QThread::InheritPriority);
        emit started(index);
    }
}

void BoardGang::stop()
{
    stopping = true;
    for (Board &b : boards) {
        if (!b.ended)
            b.worker->stopDownload();
    }
}

int BoardGang::exitStatusFor(const char *outcome)
{
    static const struct {
        const char *outcome;
        int status;
    } statuses[] = {
        {"Download Success", 0},   {"Download stop", 1},    {"File Error", 3},
        {"CanNOT Open Serial", 4}, {"Download TimeOut", 5}, {"Download Cancel", 130},
    };
    for (const auto &s : statuses) {
        if (outcome && std::strcmp(outcome, s.outcome) == 0)
            return s.status;
    }
    return 1;
}
