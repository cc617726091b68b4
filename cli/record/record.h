#ifndef RECORD_H
#define RECORD_H

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>

// A station's record: one JSON line per board, and a record proves itself:
// each line carries the SHA-256 of the line before it (`prev`), so a line
// changed, taken out or put in breaks the chain at the line after it.
// What a line holds is told here once, for the station that writes it and
// for --check-record that reads it.
namespace Record
{

// The record line format, carried as `record` in every line. Format 2 adds
// stamps: a board's value and its reservation line. Format 3 adds
// checkpoints, which versions before it refuse as lines of an unknown kind.
constexpr int Format = 3;

// The SHA-256 of a line's bytes (without its newline), in hex.
QByteArray hashOf(const QByteArray &line);
QByteArray hashOf(const char *line, qsizetype size);

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

struct Line;

// What a start needs of the lines before it, counted as they were written:
// the boards, the successes per job, and the stamp reserved last.
struct Summary {
    qint64 boards = 0;
    qint64 successes = 0;
    qint64 reservations = 0;
    QMap<QString, qint64> jobSuccesses; // by a board line's `job`, where it has one
    // The highest value reserved (by number, or by list line), and the line
    // of the record it is on; stamp.isEmpty() while none is.
    Reservation lastReserved;
    qint64 lastReservedLine = 0;

    // Counts line `number` (from 1) of the record in.
    void add(const Line &line, qint64 number);
    // What differs from `other`, one "field: this, not that" each; empty
    // where they agree.
    QStringList differences(const Summary &other) const;
};

// The record that a record continues, as its first line names it:
// its file (relative to this record's folder), and its last line's number
// and hash, which this record's first line links to.
struct Continued {
    QString file;
    qint64 line = 0;
    QByteArray sha256; // hex

    bool isEmpty() const { return file.isEmpty(); }
};

// A line that states the summary of every line before it, so that a start
// reads only back to the last one: written at each start that found lines
// after the last one, and every CheckpointEvery lines. A record that
// continues another begins with one, which names that record and states the
// stamp reserved last there.
struct Checkpoint {
    QDateTime time;
    qint64 number = 0; // its own line's number, from 1
    qint64 offset = 0; // its own line's first byte in the file
    Summary summary;
    Continued continues; // on a record's first line only
};
constexpr int CheckpointEvery = 1000;

// One line: a board, a reservation or a checkpoint, and the link that
// chains it to the line before.
struct Line {
    enum class Kind { Board, Reservation, Checkpoint };

    Kind kind = Kind::Board;
    Board board;
    Reservation reservation;
    Checkpoint checkpoint;
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
bool read(const char *text, qsizetype size, Line *line, QString *why);

} // namespace Record

#endif
