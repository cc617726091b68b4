#ifndef OUTPUT_H
#define OUTPUT_H

#include <QString>

#include <cstdio>

class QJsonObject;

// Writing for people and for programs, shared by the flasher's reports.
namespace Output
{

// Columns of the terminal behind `out`; 80 when it does not say.
int terminalWidth(std::FILE *out);
// Whether `out` is a terminal that takes cursor and colour escapes.
bool escapesAllowed(std::FILE *out);
// One compact JSON object and a newline on standard output, flushed.
void putJson(const QJsonObject &object);
// `text` in the local encoding, flushed.
void put(std::FILE *out, const QString &text);
// `text` in the colour of the SGR `code`, or plain when colour is off.
QString paint(bool colour, const char *code, const QString &text);

} // namespace Output

#endif
