#ifndef INTERRUPTS_H
#define INTERRUPTS_H

#include <QObject>

class QSocketNotifier;

// Brings SIGINT and SIGTERM into the event loop: the handler only writes the
// signal's number to a socket pair, whose other end is watched here.
class Interrupts : public QObject
{
    Q_OBJECT
public:
    explicit Interrupts(QObject *parent = nullptr);
    ~Interrupts() override;

    bool isValid() const;

signals:
    void interrupted(int signal);

private:
#ifndef Q_OS_WIN
    static void handle(int signal);
    void takeSignal();

    QSocketNotifier *notifier = nullptr;
#endif
};

#endif
