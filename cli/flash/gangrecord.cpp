#include "cli/flash/gangrecord.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/flash/boardgang.h"
#include "serial/portdetails.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>

namespace
{

QString sha256Of(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

GangRecord::GangRecord(BoardGang &gang, const QString &recordPath, const QString &imagePath,
                       const Stamp::Plan &stamp, QObject *parent)
    : QObject(parent), gang(gang), recordPath(recordPath), imagePath(imagePath), stamp(stamp),
      flashedSha256(gang.size())
{
    connect(&gang, &BoardGang::ended, this, &GangRecord::ended);
}

bool GangRecord::prepare(QString *error, int *status, QString *notice)
{
    *status = ExitStatus::FileError;
    QFile file(imagePath);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the image %1: %2").arg(imagePath, file.errorString());
        return false;
    }
    const QByteArray image = file.readAll();
    imageSha256 = sha256Of(image);
    if (!copies.isValid()) {
        *error =
            QStringLiteral("no room for the image's working copies: %1").arg(copies.errorString());
        return false;
    }
    *status = ExitStatus::Usage;
    if (!writer.open(recordPath, error, notice) ||
        (stamp.active() && !ledger.open(stamp, &writer, recordPath, error)) ||
        !quantityLeft(error, status))
        return false;
    for (int index = 0; index < gang.size(); ++index) {
        usbSerials << PortDetails::lookUp(gang.port(index)).serialNumber;
        if (!stamp.active()) {
            flashedSha256[index] = imageSha256;
            continue;
        }
        Stamp::Value value;
        *status = ExitStatus::Failed;
        switch (ledger.reserve(gang.port(index), index + 1, &value, error)) {
        case StampLedger::Result::Reserved:
            break;
        case StampLedger::Result::NoneLeft:
            *error = QStringLiteral("no stamp values left for %1 after %2")
                         .arg(gang.port(index), ledger.rangeText().isEmpty()
                                                    ? QStringLiteral("those in the record")
                                                    : ledger.rangeText());
            return false;
        case StampLedger::Result::NotWritten:
            *error = QStringLiteral("cannot reserve a stamp in the record %1 for %2: %3")
                         .arg(recordPath, gang.port(index), *error);
            return false;
        }
        const QByteArray bytes = Stamp::stamped(image, stamp, value);
        const QString copy = copies.filePath(QStringLiteral("board%1.bin").arg(index));
        QSaveFile out(copy);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit()) {
            *status = ExitStatus::FileError;
            *error = QStringLiteral("cannot write the image's working copy %1: %2")
                         .arg(copy, out.errorString());
            return false;
        }
        flashedSha256[index] = sha256Of(bytes);
        gang.setImage(index, copy, value);
    }
    return true;
}

// The lot is never overshot: every board named may succeed.
bool GangRecord::quantityLeft(QString *error, int *status) const
{
    if (job.quantity == 0)
        return true;
    const int done = Record::successesOf(recordPath, job.name, error);
    if (done < 0)
        return false;
    const int left = std::max(0, job.quantity - done);
    if (left >= gang.size())
        return true;
    *status = left == 0 ? ExitStatus::Success : ExitStatus::Usage;
    *error = left == 0 ? QStringLiteral("the job %1 has reached its quantity of %2 boards")
                             .arg(job.name)
                             .arg(job.quantity)
                       : QStringLiteral("the job %1 has %2 of its quantity of %3 boards left: "
                                        "name at most %2 ports")
                             .arg(job.name)
                             .arg(left)
                             .arg(job.quantity);
    return false;
}

void GangRecord::ended(int index)
{
    const SessionFollower::State session = gang.board(index);
    Record::Board board;
    board.time = QDateTime::currentDateTimeUtc();
    board.slot = gang.port(index);
    board.number = index + 1;
    board.usbSerial = usbSerials.value(index);
    board.image = QFileInfo(imagePath).fileName();
    board.sha256 = imageSha256;
    board.outcome = session.outcomeText();
    board.exitCode = session.exitStatus();
    board.seconds = session.elapsedMs / 1000.0;
    board.reason = session.openFailure;
    board.job = job;
    if (stamp.active())
        StampLedger::fill(&board, gang.stamp(index),
                          session.succeeded() || session.blocksSent >= Stamp::lastBlock(stamp) + 2,
                          flashedSha256[index]);
    QString error;
    if (writer.append(board, &error))
        return;
    lost = true;
    Output::put(stderr, QStringLiteral("kavro-flash: cannot write the record %1 for %2: %3\n")
                            .arg(recordPath, gang.port(index), error));
}
