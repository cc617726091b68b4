#ifndef GANGRECORD_H
#define GANGRECORD_H

#include "cli/common/stamp.h"
#include "cli/common/workingcopies.h"
#include "cli/record/recordwriter.h"
#include "cli/record/stampledger.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <vector>

class BoardGang;

// The record of boards named with -p: a line per board as it ends, as a
// station writes. With a stamp, each board's value is reserved and its
// stamped copy of the image made before the gang starts.
class GangRecord : public QObject
{
    Q_OBJECT
public:
    GangRecord(BoardGang &gang, const QString &recordPath, const QString &imagePath,
               const Stamp::Plan &stamp, QObject *parent = nullptr);

    // Every line names the job; with its quantity, prepare() refuses more
    // boards than the lot has left. Before prepare().
    void setJob(const Record::JobMark &mark) { job = mark; }
    // A new record that continues the record at `path`. Before prepare().
    void setContinuedRecord(const QString &path) { continuedRecord = path; }
    // Before any port opens, with `stampValues` (the stamp's, opened) for
    // the ledger. On failure, the reason and the exit status; `notice`
    // tells of a repair made to the record.
    bool prepare(Stamp::Source stampValues, QString *error, int *status, QString *notice);
    // A line, or a reservation, could not be written: the run has failed.
    bool lineLost() const { return lost; }
    QString stampRange() const { return ledger.rangeText(); }
    // What the record's lines hold so far.
    const Record::Summary &summary() const { return writer.summary(); }

private:
    void ended(int index);
    bool quantityLeft(QString *error, int *status) const;

    BoardGang &gang;
    const QString recordPath;
    QString continuedRecord;
    const QString imagePath;
    const Stamp::Plan stamp;
    Record::Writer writer;
    StampLedger ledger;
    WorkingCopies image;
    std::vector<QString> flashedSha256;
    QStringList usbSerials;
    Record::JobMark job;
    bool lost = false;
};

#endif
