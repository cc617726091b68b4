#ifndef INTERRUPTS_H
#define INTERRUPTS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// Brings the first SIGINT or SIGTERM (on Windows: Ctrl-C, Ctrl-Break or a
// closing console) into the event loop; a second one ends the process at
// once with the interrupt's status. On POSIX the handler only writes the
// signal's number to a socket pair, whose other end is watched here. While
// no event loop runs (the summary going out), the first one waits unseen
// rather than end the process half way through its output. The actions
// found at construction are restored at destruction.
//
// A closing console ends a Windows process as soon as its handler returns,
// so there the handler waits until this object is destroyed, which its owner
// does once the sessions have ended: within the time Windows gives.
class Interrupts : public QObject
{
    Q_OBJECT
public:
    explicit Interrupts(QObject *parent = nullptr);
    ~Interrupts() override;

    // False when the interrupts could not be taken over, which failure()
    // then tells; they keep their old effect.
    bool isValid() const { return why.isEmpty(); }
    QString failure() const { return why; }

signals:
    void interrupted(int signal);

private:
    QString why;
#ifndef Q_OS_WIN
    static void handle(int signal);
    void takeSignal();

    QSocketNotifier *notifier = nullptr;
#endif
};

#endif
