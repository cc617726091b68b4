#include "cli/flash/boardgang.h"

BoardGang::BoardGang(const QStringList &ports, int baud, const QString &imagePath, QObject *parent)
    : QObject(parent), ports(ports), stamps(ports.size())
{
    for (int index = 0; index < ports.size(); ++index) {
        auto runner = std::make_unique<SessionRunner>();
        runner->setLine(ports[index], baud);
        runner->setImage(imagePath);
        connect(runner.get(), &SessionRunner::progressed, this,
                [this, index] { emit progressed(index); });
        connect(runner.get(), &SessionRunner::ended, this, [this, index] {
            ++endedCount;
            emit ended(index);
            if (allEnded())
                emit finished();
        });
        runners.push_back(std::move(runner));
    }
}

// Each runner cancels and waits for its session as it goes.
BoardGang::~BoardGang() = default;

void BoardGang::setLineSequences(const LineSequence &enter, const LineSequence &leave)
{
    for (auto &runner : runners)
        runner->setLineSequences(enter, leave);
}

void BoardGang::setImage(int index, const QString &path, const Stamp::Value &stamp)
{
    runners[index]->setImage(path);
    stamps[index] = stamp;
}

void BoardGang::start()
{
    for (int index = 0; index < size(); ++index) {
        runners[index]->start();
        emit started(index);
    }
}

void BoardGang::interrupt()
{
    interrupted = true;
    for (auto &runner : runners)
        runner->stop();
}
