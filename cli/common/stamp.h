#ifndef STAMP_H
#define STAMP_H

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

// A value of each board's own (a serial number, an address, a key) written
// over a few bytes of the image before the board's session: numbers counted
// up from a start, or the lines of a list file, each given to one board only.
namespace Stamp
{

// Where the value goes and where the values come from, as the command line
// says.
struct Plan {
    qint64 offset = 0;
    int width = 0; // 0: no stamp
    bool bigEndian = false;
    quint64 start = 1;
    quint64 step = 1;
    QString listPath; // empty for numbers

    bool active() const { return width > 0; }
    // "0x80:4", as reservations carry it.
    QString field() const;
    // "little" or "big" for numbers; empty for a list.
    QString order() const;
};

// One board's value.
struct Value {
    QByteArray bytes;              // as written into the image
    std::optional<quint64> number; // for numbers
    int listLine = 0;              // for a list: its line in the file, from 1

    bool isValid() const { return !bytes.isEmpty(); }
    // Hex digits, the number's most significant first (for a list, the
    // bytes in the file's order).
    QString hex() const;
    // "000003E8 (1000)"
    QString text() const;
    // The number for JSON, exact up to 2^53 (the hex always is);
    // undefined for a list's value.
    QJsonValue numberJson() const;
    // `stamp`, and `stamp_number` where the value is a number.
    void addTo(QJsonObject &object) const;
};

// "OFFSET:WIDTH" into the plan; false with the reason on a usage error.
bool parseField(const QString &text, Plan *plan, QString *error);
// An unsigned number, decimal or 0x hex.
bool parseNumber(const QString &text, quint64 *value);
// The stamp lies in the data that is sent, and the numbers fit its width.
bool fits(const Plan &plan, qint64 blocks, QString *error);
// The block (from 0) whose frame carries the stamp's last byte.
qint64 lastBlock(const Plan &plan);
// `image` with the value over the stamped bytes.
QByteArray stamped(const QByteArray &image, const Plan &plan, const Value &value);

// Where the next board's value comes from. A list is not held: the file is
// read once through when it opens, and then a line at a time as boards take
// its values.
class Source
{
public:
    Source();
    ~Source();
    Source(Source &&) noexcept;
    Source &operator=(Source &&) noexcept;

    // Reads the list file through, if the plan names one; false with the
    // reason (a malformed line, or a value twice, names its line).
    bool open(const Plan &plan, QString *error);
    const Plan &plan() const { return spec; }
    // The list file's SHA-256 as it was read, hex; empty for numbers.
    QString listSha256() const { return listHash; }
    // Goes on after a value already reserved; never goes back.
    void skipPast(const Value &reserved);
    // The next value; false when there are no more.
    bool next(Value *value);

private:
    class ListFile;

    Value numberValue(quint64 number) const;
    bool checkList(ListFile &file, QString *error);
    bool findTwice(ListFile &file, std::vector<quint64> keys, int lines, QString *error);

    Plan spec;
    QString listHash;
    std::unique_ptr<ListFile> list; // open, at the next value's line
    std::optional<quint64> nextNumber;
};

} // namespace Stamp

#endif
