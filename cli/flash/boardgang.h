#ifndef BOARDGANG_H
#define BOARDGANG_H

#include "cli/common/sessionrunner.h"
#include "cli/common/stamp.h"
#include "serial/linesequence.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

// One download session per board, all running at once, each followed by a
// SessionRunner of its own.
class BoardGang : public QObject
{
    Q_OBJECT
public:
    BoardGang(const QStringList &ports, int baud, const QString &imagePath,
              QObject *parent = nullptr);
    ~BoardGang() override;

    int size() const { return int(runners.size()); }
    QString port(int index) const { return ports[index]; }
    SessionRunner::State board(int index) const { return runners[index]->state(); }
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
    std::vector<std::unique_ptr<SessionRunner>> runners;
    std::vector<Stamp::Value> stamps;
    int endedCount = 0;
    bool interrupted = false;
};

#endif
