#ifndef BOARDLINE_H
#define BOARDLINE_H

#include "cli/common/stamp.h"
#include "cli/record/record.h"

#include <QDateTime>
#include <QString>

// A board's line, built in one place for the gang and the station alike.
namespace Record
{

// How a board's session ended, as the program that ran it tells it.
struct SessionEnd {
    QString outcome; // the outcome's text
    int exitCode = 0;
    bool succeeded = false;
    int blocksWritten = 0; // block frames written, acknowledged or not
    qint64 elapsedMs = 0;
    QString reason; // why the port did not open or set up; empty where it did
};

// A board as it ended: its place, its session, and what it was sent.
struct BoardResult {
    int number = 0; // in this run, from 1
    QString port;
    QString usbSerial; // empty where the system does not know it
    SessionEnd session;
    Stamp::Value stamp;    // not valid without a stamp
    QString flashedSha256; // of the bytes the board was sent, hex
};

// What every board of a run shares.
struct RunImage {
    QString name;   // the image file's name
    QString sha256; // of its bytes, hex
    Stamp::Plan stamp;
    JobMark job; // the job the run is for; no name without one
};

// Whether the board took its stamp: it succeeded, or the block after the
// one carrying the stamp was written, which is sent only once that one was
// acknowledged.
bool stampAcknowledged(const Stamp::Plan &plan, const SessionEnd &session);

// The board's line, as it ended at `time`.
Board boardLine(const BoardResult &result, const RunImage &image, const QDateTime &time);

} // namespace Record

#endif
