#ifndef BOARDGANG_H
#define BOARDGANG_H

#include "cli/common/stamp.h"
#include "cli/flash/sessionfollower.h"
#include "serial/linesequence.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class uploadThread;

// One download session per board, all running at once, each followed by a
// SessionFollower of its own.
class BoardGang : public QObject
{
    Q_OBJECT
public:
    BoardGang(const QStringList &ports, int baud, const QString &imagePath,
              QObject *parent = nullptr);
    ~BoardGang() override;

    int size() const { return int(followers.size()); }
    QString port(int index) const { return ports[index]; }
    SessionFollower::State board(int index) const { return followers[index]->state(); }
    uploadThread *worker(int index) const { return followers[index]->worker(); }
    bool allEnded() const { return endedCount == size(); }
    bool wasInterrupted() const { return interrupted; }
    Stamp::Value stamp(int index) const { return stamps[index]; }

    // DTR and RTS into and out of each board's boot loader; before start().
    void setLineSequences(const LineSequence &enter, const LineSequence &leave);
    // The board's own copy of the image, with its stamp; before start().
    void setImage(int index, const QString &path, const Stamp::Value &stamp);
    void start();
    // Cancels every session, as the window's cancel does.
    void interrupt();

signals:
    void started(int index);
    void progressed(int index);
    void ended(int index);
    void finished();

private:
    const QStringList ports;
    std::vector<std::unique_ptr<SessionFollower>> followers;
    std::vector<Stamp::Value> stamps;
    int endedCount = 0;
    bool interrupted = false;
};

#endif
