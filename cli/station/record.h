#ifndef RECORD_H
#define RECORD_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QString>

// A station's record: one JSON line per board, and a record proves itself:
// each line carries the SHA-256 of the line before it (`prev`), so a line
// changed, taken out or put in breaks the chain at the line after it.
// What a line holds is told here once, for the station that writes it and
// for --check-record that reads it.
namespace Record
{

// The record line format, carried as `record` in every line. Format 2 adds
// stamps: a board's value and its reservation line.
constexpr int Format = 2;

// The SHA-256 of a line's bytes (without its newline), in hex.
QByteArray hashOf(const QByteArray &line);

// The job a board was flashed for: its name, the SHA-256 of the job file's
// bytes, and the lot's size (0 for none). An empty name: no job.
struct JobMark {
    QString name;
    QString sha256;
    int quantity = 0;
};

// What a board did: all a station hands over for its line.
struct Board {
    QDateTime time; // when it ended
    QString slot;
    int number = 0;    // in this run of the station, from 1
    QString usbSerial; // empty where the system does not know it
    QString image;     // the file's name
    QString sha256;    // of the image's bytes, hex
    QString outcome;
    int exitCode = 0;
    double seconds = 0;
    QString reason; // why the port did not open (it refused a line setting), or empty
    // With a stamp: the value it carried, hex, and as a number where it is
    // one; whether the block holding it was acknowledged; the SHA-256 of the
    // bytes this board was sent.
    QString stamp;
    QJsonValue stampNumber;
    bool stampAcknowledged = false;
    QString flashedSha256;
    JobMark job;
};

// A stamp value set aside for a board before its session's first frame:
// never given to another board, whatever the session's end.
struct Reservation {
    QDateTime time;
    QString slot;
    int number = 0; // the board's, as its line will say
    QString stamp;  // hex
    QJsonValue stampNumber;
    int listLine = 0;   // the value's line in the list file; 0 for numbers
    QString field;      // "0x80:4"
    QString order;      // a number's byte order, "little" or "big"; empty for a list
    QString listSha256; // of the list file; empty for numbers
};

// One line: a board, and the link that chains it to the line before.
struct Line {
    enum class Kind { Board, Reservation };

    Kind kind = Kind::Board;
    Board board;
    Reservation reservation;
    int format = 0; // 0 for a line of the older format, which has no link
    QString tool;
    QString host;
    QByteArray prev; // the line before's hash, hex; empty for a file's first line

    // The line's bytes, without its newline.
    QByteArray text() const;
};

// Reads `text` (one line, without its newline) into `line`; false, with the
// reason, when it is not a line a station writes.
bool read(const QByteArray &text, Line *line, QString *why);

// The successes recorded at `path` for the job `name`, counted across every
// run that wrote there; -1, with the reason, when the record cannot be read.
// A missing record has none.
int successesOf(const QString &path, const QString &name, QString *error);

// Checks the record at `path`: every line is a record's, the chain is
// unbroken, and what the boards did. Prints a report (JSON with `json`) on
// standard output and returns the exit status: 0 for an intact record, 1 for
// a broken one, 2 when it cannot be read. Takes no lock: a record a station
// is still writing can be checked.
int check(const QString &path, bool json);

} // namespace Record

#endif
