#include "sessionfixture.h"

#include "download/uploadthread.h"
#include "serial/threadhandover.h"
#include "sim/bootsim.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QTimer>

QByteArray makeImage(int blocks, int tail)
{
    QByteArray image("Zentrak");
    image.append(QByteArray(64 - image.size(), '\x11'));
    for (int k = 0; k < blocks * 64 + tail; ++k)
        image.append(static_cast<char>((k * 31 + k / 64) & 0xFF));
    return image;
}

QByteArray imageData(const QByteArray &image)
{
    const int blocks = (image.size() - 64) / 64;
    return blocks > 0 ? image.mid(64, blocks * 64) : QByteArray();
}

QString commands(const QList<QByteArray> &frames)
{
    QStringList list;
    for (const QByteArray &f : frames)
        list << QString::number(static_cast<unsigned char>(f.at(3)), 16).rightJustified(2, '0');
    return list.join(' ');
}

QString writeImage(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

SignalRecorder::SignalRecorder(uploadThread *worker)
{
    connect(worker, &uploadThread::setProgress, this,
            [this](int sum) { events << QStringLiteral("progress:%1").arg(sum); });
    connect(worker, &uploadThread::setDownloadBtnText, this,
            [this](const char *text) { events << QStringLiteral("text:") + QLatin1String(text); });
    connect(worker, &uploadThread::setFinish, this, [this](const char *text) {
        events << QStringLiteral("finish:") + QLatin1String(text);
        finishedAfterMs = clock.elapsed();
    });
}

QList<int> SignalRecorder::progressValues() const
{
    QList<int> values;
    for (const QString &e : events) {
        if (e.startsWith(QLatin1String("progress:")))
            values << e.mid(9).toInt();
    }
    return values;
}

QString SignalRecorder::finishText() const
{
    for (const QString &e : events) {
        if (e.startsWith(QLatin1String("finish:")))
            return e.mid(7);
    }
    return QString();
}

QStringList SignalRecorder::closing() const
{
    int first = 0;
    while (first < events.size() && events[first].startsWith(QLatin1String("progress:")) &&
           events[first] != QLatin1String("progress:0") &&
           events[first] != QLatin1String("progress:100"))
        ++first;
    return events.mid(first);
}

bool runSession(uploadThread &worker, SignalRecorder &recorder, const QString &port,
                const QString &image, int timeoutMs)
{
    recorder.events.clear();
    recorder.finishedAfterMs = -1;
    worker.setComName(port.toUtf8().constData());
    worker.setFileName(image.toUtf8().constData());

    // finished() is queued behind every signal the session emitted, so once
    // it arrives they have all been delivered.
    QEventLoop loop;
    bool timedOut = false;
    QObject::connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
    // Queuing that quit reads the worker's meta-object in its thread after
    // run(); the worker's destructor takes this up.
    QObject::connect(
        &worker, &QThread::finished, &loop, [&worker] { ThreadHandOver::release(&worker); },
        Qt::DirectConnection);
    QTimer::singleShot(timeoutMs, &loop, [&loop, &timedOut] {
        timedOut = true;
        loop.quit();
    });
    recorder.clock.start();
    worker.start();
    loop.exec();
    if (timedOut)
        return false;
    worker.wait();
    return recorder.finishedAfterMs >= 0;
}

qint64 measureReplyWaitMs(const QTemporaryDir &dir)
{
    BootSimOptions silent;
    silent.neverAnswer = true;
    BootSim board(silent);
    if (!board.start())
        return -1;
    uploadThread worker;
    worker.setBaud(115200);
    SignalRecorder recorder(&worker);
    if (!runSession(worker, recorder, board.slavePath(),
                    writeImage(dir, QStringLiteral("silent.bin"), makeImage(1)), 10000) ||
        recorder.finishText() != QLatin1String("Download TimeOut"))
        return -1;
    return recorder.finishedAfterMs;
}
