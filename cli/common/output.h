#ifndef OUTPUT_H
#define OUTPUT_H

#include <QString>

#include <cstdio>

class QJsonObject;

// Writing for people and for programs, shared by the flasher's reports.
//
// Standard output and standard error are each written by a thread of their
// own, so a reader that stops reading (a paused terminal, a slow pipe) holds
// up nothing else. put() text always arrives, in order, unless its stream
// refuses it, which finish() tells; offer() text is for redraws and
// progress, and is dropped while its stream is behind.
namespace Output
{

// Columns of the terminal behind `out`; 80 when it does not say.
int terminalWidth(std::FILE *out);
// Whether `out` is a terminal that takes cursor and colour escapes.
bool escapesAllowed(std::FILE *out);
// `text` in the colour of the SGR `code`, or plain when colour is off.
QString paint(bool colour, const char *code, const QString &text);

// `text` in the local encoding, queued for `out`. Never waits.
void put(std::FILE *out, const QString &text);
// The format of the --json events, carried as `version` in each one.
// Format 2 calls a station's board number `board`, as the record does
// (format 1: `serial`).
constexpr int EventFormat = 2;

// One compact JSON object and a newline, queued for standard output.
void putJson(const QJsonObject &object);
// As put(), unless `out` is behind; false when the text was dropped.
bool offer(std::FILE *out, const QString &text);
bool offerJson(const QJsonObject &object);
// Whether a stream holds so much unwritten text that no more should be made.
bool behind();
// Waits until everything queued has been written (or refused by its
// stream), and ends the writing threads. False when put() text was lost
// (a full disk, a closed pipe): that was said on the other stream, and the
// program's status should say so too.
bool finish();

} // namespace Output

#endif
