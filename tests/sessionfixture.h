#ifndef SESSIONFIXTURE_H
#define SESSIONFIXTURE_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class uploadThread;

// Writes firmware images for the tests: the magic, a header, then `blocks`
// blocks of recognisable data and `tail` trailing bytes.
QByteArray makeImage(int blocks, int tail = 0);
QByteArray imageData(const QByteArray &image);
QString writeImage(const QTemporaryDir &dir, const QString &name, const QByteArray &bytes);

// The command bytes of frames the board received, as "10 04 01 03".
QString commands(const QList<QByteArray> &frames);

// Records the worker's three signals, in delivery order, as "text:download",
// "progress:37" and "finish:Download Success".
class SignalRecorder : public QObject
{
    Q_OBJECT
public:
    explicit SignalRecorder(uploadThread *worker);

    QStringList events;
    QElapsedTimer clock;
    qint64 finishedAfterMs = -1;

    QList<int> progressValues() const;
    QString finishText() const;
    // The events from the first non-progress one on: the closing signals.
    QStringList closing() const;
};

// Starts the worker on `port` and `image` and runs the event loop until the
// session's thread has ended and its signals are delivered.
bool runSession(uploadThread &worker, SignalRecorder &recorder, const QString &port,
                const QString &image, int timeoutMs = 5000);

// How long one reply wait lasts on this machine, measured with a silent
// board: its 1 ms sleeps run longer on a loaded machine or under a sanitizer.
// -1 when the measurement fails.
qint64 measureReplyWaitMs(const QTemporaryDir &dir);

#endif
