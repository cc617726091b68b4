#include "cli/flash/gangrecord.h"

#include "cli/common/exitstatus.h"
#include "cli/common/output.h"
#include "cli/flash/boardgang.h"
#include "cli/record/boardline.h"
#include "serial/portdetails.h"

#include <QDateTime>
#include <QFileInfo>

GangRecord::GangRecord(BoardGang &gang, const QString &recordPath, const QString &imagePath,
                       const Stamp::Plan &stamp, QObject *parent)
    : QObject(parent), gang(gang), recordPath(recordPath), imagePath(imagePath), stamp(stamp),
      flashedSha256(gang.size())
{
    connect(&gang, &BoardGang::ended, this, &GangRecord::ended);
}

bool GangRecord::prepare(Stamp::Source stampValues, QString *error, int *status, QString *notice)
{
    *status = ExitStatus::FileError;
    QString why;
    const WorkingCopies::Failure failure = image.open(imagePath, &why);
    if (failure != WorkingCopies::Failure::None) {
        *error = failure == WorkingCopies::Failure::Unreadable
                     ? QStringLiteral("cannot read the image %1: %2").arg(imagePath, why)
                     : why;
        return false;
    }
    *status = ExitStatus::Usage;
    if (!writer.open(recordPath, continuedRecord, error, notice) ||
        (stamp.active() && !ledger.open(std::move(stampValues), &writer, recordPath, error)) ||
        !quantityLeft(error, status))
        return false;
    writer.checkpointIfBehind();
    for (int index = 0; index < gang.size(); ++index) {
        usbSerials << PortDetails::lookUp(gang.port(index)).serialNumber;
        if (!stamp.active()) {
            flashedSha256[index] = image.sha256();
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
        const QByteArray bytes = Stamp::stamped(image.image(), stamp, value);
        QString copy;
        if (!image.write(QStringLiteral("board%1.bin").arg(index), bytes, &copy,
                         &flashedSha256[index], &why)) {
            *status = ExitStatus::FileError;
            *error = QStringLiteral("cannot write the image's working copy %1: %2").arg(copy, why);
            return false;
        }
        gang.setImage(index, copy, value);
    }
    return true;
}

// The lot is never overshot: every board named may succeed.
bool GangRecord::quantityLeft(QString *error, int *status) const
{
    if (job.quantity == 0)
        return true;
    const qint64 done = writer.summary().jobSuccesses.value(job.name);
    const qint64 left = std::max<qint64>(0, job.quantity - done);
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
    const SessionRunner::State session = gang.board(index);
    Record::BoardResult result{index + 1, gang.port(index),  usbSerials.value(index),
                               {},        gang.stamp(index), flashedSha256[index]};
    result.session = {
        session.outcomeText(), session.exitStatus(),
        session.succeeded(),   session.blocksSent,
        session.elapsedMs,     session.portFailure() ? session.portFailure()->detail : QString()};
    const Record::RunImage run{QFileInfo(imagePath).fileName(), image.sha256(), stamp, job};
    const Record::Board board = Record::boardLine(result, run, QDateTime::currentDateTimeUtc());
    QString error;
    if (writer.append(board, &error))
        return;
    lost = true;
    Output::put(stderr, QStringLiteral("kavro-flash: cannot write the record %1 for %2: %3\n")
                            .arg(recordPath, gang.port(index), error));
}
