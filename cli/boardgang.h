#ifndef BOARDGANG_H
#define BOARDGANG_H

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class uploadThread;

// One download session per board, all running at once. Each board has its
// own worker, driven as the window drives its one: the settings, start, and
// stopDownload() for a cancel; everything else is read from its signals.
class BoardGang : public QObject
{
    Q_OBJECT
public:
    struct Board {
        QString port;
        std::unique_ptr<uploadThread> worker;
        // Block frames written: the worker reports progress once after each
        // one, and not again until its closing signals.
        int blocksSent = 0;
        int percent = 0; // as the worker last reported it
        bool closing = false;
        const char *outcome = nullptr; // set once the session has ended
        bool ended = false;            // and its thread is done
        QElapsedTimer clock;
        qint64 elapsedMs = 0;
    };

    BoardGang(const QStringList &ports, int baud, const QString &imagePath,
              QObject *parent = nullptr);
    ~BoardGang() override;

    int size() const { return int(boards.size()); }
    const Board &board(int index) const { return boards[index]; }
    uploadThread *worker(int index) const { return boards[index].worker.get(); }
    bool allEnded() const { return endedCount == size(); }

    void start();
    // Asks every running session to stop, as the window's cancel does.
    void stop();

    // The exit status that stands for a session's outcome.
    static int exitStatusFor(const char *outcome);

signals:
    void started(int index);
    void progressed(int index);
    void ended(int index);
    void finished();

private:
    void watch(int index);

    std::vector<Board> boards;
    int endedCount = 0;
    bool stopping = false;
};

#endif
