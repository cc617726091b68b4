#include "cli/flash/boardgang.h"

#include "download/uploadthread.h"

#include <QByteArray>

BoardGang::BoardGang(const QStringList &ports, int baud, const QString &imagePath, QObject *parent)
    : QObject(parent), ports(ports), stamps(ports.size())
{
    const QByteArray image = imagePath.toUtf8();
    for (int index = 0; index < ports.size(); ++index) {
        auto follower = std::make_unique<SessionFollower>();
        uploadThread *worker = follower->worker();
        worker->setBaud(baud);
        worker->setComName(ports[index].toUtf8().constData());
        worker->setFileName(image.constData());
        connect(follower.get(), &SessionFollower::progressed, this,
                [this, index] { emit progressed(index); });
        connect(follower.get(), &SessionFollower::ended, this, [this, index] {
            ++endedCount;
            emit ended(index);
            if (allEnded())
                emit finished();
        });
        followers.push_back(std::move(follower));
    }
}

// Each follower cancels and waits for its session as it goes.
BoardGang::~BoardGang() = default;

void BoardGang::setLineSequences(const LineSequence &enter, const LineSequence &leave)
{
    for (auto &follower : followers)
        follower->worker()->setLineSequences(enter, leave);
}

void BoardGang::setImage(int index, const QString &path, const Stamp::Value &stamp)
{
    followers[index]->worker()->setFileName(path.toUtf8().constData());
    stamps[index] = stamp;
}

void BoardGang::start()
{
    for (int index = 0; index < size(); ++index) {
        followers[index]->start();
        emit started(index);
    }
}

void BoardGang::interrupt()
{
    interrupted = true;
    for (auto &follower : followers)
        follower->stop();
}
