#include "cli/common/stamp.h"

#include "download/firmwareimage.h"

#include "cli/common/sha256.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <map>
#include <string_view>
#include <utility>

namespace Stamp
{

namespace
{

constexpr int MaxWidth = 16;
constexpr int MaxNumberWidth = 8;

// The largest number `width` bytes hold.
quint64 largest(int width)
{
    return width >= 8 ? std::numeric_limits<quint64>::max() : (quint64(1) << (8 * width)) - 1;
}

} // namespace

QString Plan::field() const
{
    return QStringLiteral("0x%1:%2").arg(offset, 0, 16).arg(width);
}

QString Plan::order() const
{
    if (!listPath.isEmpty())
        return QString();
    return bigEndian ? QStringLiteral("big") : QStringLiteral("little");
}

QString Value::hex() const
{
    if (!number)
        return QString::fromLatin1(bytes.toHex().toUpper());
    return QStringLiteral("%1").arg(*number, 2 * int(bytes.size()), 16, QLatin1Char('0')).toUpper();
}

QString Value::text() const
{
    return number ? QStringLiteral("%1 (%2)").arg(hex()).arg(*number) : hex();
}

QJsonValue Value::numberJson() const
{
    if (!number)
        return QJsonValue(QJsonValue::Undefined);
    // Past 2^63 a qint64 would turn negative.
    return *number <= quint64(std::numeric_limits<qint64>::max()) ? QJsonValue(qint64(*number))
                                                                  : QJsonValue(double(*number));
}

void Value::addTo(QJsonObject &object) const
{
    object.insert(QStringLiteral("stamp"), hex());
    if (number)
        object.insert(QStringLiteral("stamp_number"), numberJson());
}

bool parseNumber(const QString &text, quint64 *value)
{
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
    *value = (hex ? text.mid(2) : text).toULongLong(&ok, hex ? 16 : 10);
    return ok && !text.startsWith(QLatin1Char('+')) && !text.startsWith(QLatin1Char('-'));
}

bool parseField(const QString &text, Plan *plan, QString *error)
{
    const QStringList parts = text.split(QLatin1Char(':'));
    quint64 offset = 0;
    quint64 width = 0;
    if (parts.size() != 2 || !parseNumber(parts[0], &offset) || !parseNumber(parts[1], &width)) {
        *error = QStringLiteral("--stamp needs OFFSET:WIDTH (0x80:4, say), not '%1'").arg(text);
        return false;
    }
    if (width < 1 || width > MaxWidth) {
        *error =
            QStringLiteral("--stamp width must be 1 to %1 bytes, not %2").arg(MaxWidth).arg(width);
        return false;
    }
    if (offset > quint64(std::numeric_limits<qint32>::max())) {
        *error = QStringLiteral("--stamp offset %1 is past any image").arg(parts[0]);
        return false;
    }
    plan->offset = qint64(offset);
    plan->width = int(width);
    return true;
}

bool fits(const Plan &plan, qint64 blocks, QString *error)
{
    const qint64 begin = FirmwareImage::HeaderSize;
    const qint64 end = begin + blocks * FirmwareImage::BlockSize;
    if (plan.offset < begin || plan.offset + plan.width > end) {
        *error = QStringLiteral("--stamp %1 is not inside the data that is sent: bytes 0x%2 to "
                                "0x%3 (the header and a last partial block are not sent)")
                     .arg(plan.field())
                     .arg(begin, 0, 16)
                     .arg(end - 1, 0, 16);
        return false;
    }
    if (!plan.listPath.isEmpty())
        return true;
    if (plan.width > MaxNumberWidth) {
        *error = QStringLiteral("numbers are at most %1 bytes wide: a --stamp of %2 bytes needs "
                                "--stamp-list")
                     .arg(MaxNumberWidth)
                     .arg(plan.width);
        return false;
    }
    if (plan.start > largest(plan.width) || plan.step == 0) {
        *error = plan.step == 0 ? QStringLiteral("--stamp-step must not be 0")
                                : QStringLiteral("--stamp-start %1 does not fit in %2 byte(s)")
                                      .arg(plan.start)
                                      .arg(plan.width);
        return false;
    }
    return true;
}

qint64 lastBlock(const Plan &plan)
{
    return (plan.offset + plan.width - 1 - FirmwareImage::HeaderSize) / FirmwareImage::BlockSize;
}

QByteArray stamped(const QByteArray &image, const Plan &plan, const Value &value)
{
    QByteArray copy = image;
    copy.replace(int(plan.offset), plan.width, value.bytes);
    return copy;
}

namespace
{

// A line of a list file, trimmed of the spaces around it.
struct ListLine {
    std::string_view text; // until the next line is read
    int number = 0;        // from 1
    bool cut = false;      // too long: only its start is in text
};

enum class LineKind { Blank, Value, Malformed };

// Each byte's value as a hex digit, -1 for none: a list of millions of
// values is read at every start, and a table takes no branch per digit.
constexpr std::array<signed char, 256> HexDigits = [] {
    std::array<signed char, 256> digits{};
    for (int c = 0; c < 256; ++c) {
        const int lower = c | 0x20;
        digits[size_t(c)] = c >= '0' && c <= '9'           ? (signed char)(c - '0')
                            : lower >= 'a' && lower <= 'f' ? (signed char)(lower - 'a' + 10)
                                                           : -1;
    }
    return digits;
}();

// A blank or comment line, or a value of exactly `width` bytes, into `bytes`.
LineKind kindOf(const ListLine &line, int width, unsigned char *bytes)
{
    if (!line.text.empty() && line.text.front() == '#')
        return LineKind::Blank;
    if (line.cut)
        return LineKind::Malformed;
    if (line.text.empty())
        return LineKind::Blank;
    // `bytes` holds MaxWidth bytes, whatever the plan says.
    if (width > MaxWidth || line.text.size() != size_t(2 * width))
        return LineKind::Malformed;
    const auto *digits = reinterpret_cast<const unsigned char *>(line.text.data());
    int bad = 0;
    for (int i = 0; i < width; ++i) {
        const int high = HexDigits[digits[2 * i]];
        const int low = HexDigits[digits[2 * i + 1]];
        bad |= high | low;
        bytes[i] = (unsigned char)(high << 4 | low);
    }
    return bad < 0 ? LineKind::Malformed : LineKind::Value;
}

// Values of up to 8 bytes are their own key; wider ones are hashed (FNV-1a),
// and a match of keys is then checked against the bytes.
quint64 keyOf(const unsigned char *bytes, int width)
{
    quint64 key = width > 8 ? 14695981039346656037ULL : 0;
    for (int i = 0; i < width; ++i)
        key = width > 8 ? (key ^ bytes[i]) * 1099511628211ULL : key << 8 | bytes[i];
    return key;
}

// Sorts keys a byte at a time, the lowest first, skipping a byte that all
// keys share: a list of millions is checked at every start, and on random
// keys this is quicker than std::sort, for 8 bytes a key more.
void sortKeys(std::vector<quint64> &keys)
{
    std::vector<quint64> sorted(keys.size());
    for (int shift = 0; shift < 64 && !keys.empty(); shift += 8) {
        std::array<size_t, 256> places{};
        for (const quint64 key : keys)
            ++places[(key >> shift) & 0xff];
        if (places[(keys.front() >> shift) & 0xff] == keys.size())
            continue;
        size_t place = 0;
        for (size_t &count : places)
            place += std::exchange(count, place);
        for (const quint64 key : keys)
            sorted[places[(key >> shift) & 0xff]++] = key;
        keys.swap(sorted);
    }
}

} // namespace

// A list file's lines, read a chunk at a time, each trimmed of the spaces
// around it. The file stays open from its check to its last value: a list
// renamed or replaced meanwhile is still read from the file that was checked.
class Source::ListFile
{
public:
    using Line = ListLine;

    explicit ListFile(const QString &path) : file(path) {}

    bool open(QString *error)
    {
        if (file.open(QIODevice::ReadOnly))
            return true;
        *error = failure();
        return false;
    }
    QString failure() const
    {
        return QStringLiteral("cannot read the stamp list %1: %2")
            .arg(file.fileName(), file.errorString());
    }
    qint64 size() const { return file.size(); }
    // Each chunk read from now on goes into `sha256` too; none for nullptr.
    void hashInto(Sha256 *sha256) { hash = sha256; }
    // The number of the line read last; 0 before the first.
    int lineNumber() const { return lines; }
    bool failed() const { return readFailed; }

    // Back to the first line.
    bool rewind()
    {
        filled = position = lines = 0;
        readFailed = !file.seek(0);
        return !readFailed;
    }

    // The next line; false at the end of the file or when it cannot be read
    // (then failed()).
    bool read(Line *line)
    {
        carry.clear();
        while (position < filled || refill()) {
            const char *begin = buffer.constData() + position;
            const char *end = buffer.constData() + filled;
            const auto *newline = static_cast<const char *>(std::memchr(begin, '\n', end - begin));
            const char *stop = newline ? newline : end;
            position = int(stop - buffer.constData()) + (newline ? 1 : 0);
            if (newline && carry.isEmpty())
                return take(begin, stop - begin, line);
            // A line across two chunks, kept only up to what tells it is too long.
            carry.append(begin, int(std::min<qint64>(stop - begin, MaxLine + 1 - carry.size())));
            if (newline)
                return take(carry.constData(), carry.size(), line);
        }
        // The last line may have no newline.
        return !readFailed && !carry.isEmpty() && take(carry.constData(), carry.size(), line);
    }

private:
    static constexpr int ChunkSize = 1 << 20;
    static constexpr qint64 MaxLine = 64 * 1024;

    bool refill()
    {
        position = filled = 0;
        if (buffer.size() != ChunkSize)
            buffer.resize(ChunkSize);
        const qint64 got = file.read(buffer.data(), ChunkSize);
        if (got < 0)
            readFailed = true;
        if (got <= 0)
            return false;
        filled = int(got);
        if (hash)
            hash->add(buffer.constData(), filled);
        return true;
    }

    bool take(const char *data, qint64 size, Line *line)
    {
        line->number = ++lines;
        line->cut = size > MaxLine;
        std::string_view text(data, size_t(std::min(size, MaxLine)));
        // As QByteArray::trimmed() does.
        const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        while (!text.empty() && space(text.front()))
            text.remove_prefix(1);
        while (!text.empty() && space(text.back()))
            text.remove_suffix(1);
        line->text = text;
        return true;
    }

    QFile file;
    Sha256 *hash = nullptr;
    QByteArray buffer;
    QByteArray carry; // the start of a line that runs past its chunk
    int filled = 0;
    int position = 0; // in buffer: where the next line starts
    int lines = 0;
    bool readFailed = false;
};

Source::Source() = default;
Source::~Source() = default;
Source::Source(Source &&) noexcept = default;
Source &Source::operator=(Source &&) noexcept = default;

bool Source::open(const Plan &stampSpec, QString *error)
{
    spec = stampSpec;
    nextNumber = spec.start;
    listHash.clear();
    list.reset();
    if (spec.listPath.isEmpty())
        return true;
    auto file = std::make_unique<ListFile>(spec.listPath);
    Sha256 sha256;
    sha256.begin();
    file->hashInto(&sha256);
    if (!file->open(error) || !checkList(*file, error))
        return false;
    listHash = QString::fromLatin1(sha256.finish());
    file->hashInto(nullptr);
    if (!file->rewind()) {
        *error = file->failure();
        return false;
    }
    list = std::move(file);
    return true;
}

// Every line a value of the width, a blank or a comment, and no value twice.
bool Source::checkList(ListFile &file, QString *error)
{
    std::vector<quint64> keys;
    // Lines of a value and a newline at least: room for all, up to a bound.
    keys.reserve(size_t(std::min<qint64>(file.size() / (2 * spec.width + 1) + 1, 1 << 22)));
    ListFile::Line line;
    unsigned char bytes[MaxWidth];
    while (file.read(&line)) {
        const LineKind kind = kindOf(line, spec.width, bytes);
        if (kind == LineKind::Value) {
            keys.push_back(keyOf(bytes, spec.width));
            continue;
        }
        if (kind == LineKind::Blank)
            continue;
        // A value twice before this line is the first fault in the file.
        if (!findTwice(file, std::move(keys), line.number - 1, error))
            return false;
        *error = QStringLiteral("%1 line %2: a value must be exactly %3 hex digits, not '%4'")
                     .arg(spec.listPath)
                     .arg(line.number)
                     .arg(2 * spec.width)
                     .arg(QString::fromUtf8(line.text.data(), int(line.text.size())) +
                          (line.cut ? QStringLiteral("...") : QString()));
        return false;
    }
    if (file.failed()) {
        *error = file.failure();
        return false;
    }
    return findTwice(file, std::move(keys), file.lineNumber(), error);
}

// False, with the first line (up to `lines`) whose value an earlier line
// holds, when `keys` (of those lines' values) has one twice. Only the lines
// whose keys are twice are read again and held.
bool Source::findTwice(ListFile &file, std::vector<quint64> keys, int lines, QString *error)
{
    sortKeys(keys);
    std::vector<quint64> twice;
    for (size_t i = 1; i < keys.size(); ++i) {
        if (keys[i] == keys[i - 1] && (twice.empty() || twice.back() != keys[i]))
            twice.push_back(keys[i]);
    }
    keys = std::vector<quint64>();
    if (twice.empty())
        return true;
    std::map<quint64, std::vector<std::pair<int, QByteArray>>> seen;
    ListFile::Line line;
    unsigned char bytes[MaxWidth];
    file.hashInto(nullptr);
    if (!file.rewind()) {
        *error = file.failure();
        return false;
    }
    while (file.read(&line) && line.number <= lines) {
        if (kindOf(line, spec.width, bytes) != LineKind::Value)
            continue;
        const quint64 key = keyOf(bytes, spec.width);
        if (!std::binary_search(twice.cbegin(), twice.cend(), key))
            continue;
        const QByteArray value(reinterpret_cast<const char *>(bytes), spec.width);
        std::vector<std::pair<int, QByteArray>> &earlier = seen[key];
        for (const auto &[earlierLine, earlierValue] : earlier) {
            if (earlierValue != value)
                continue;
            // A value twice in the list would go to two boards.
            *error = QStringLiteral("%1 line %2: the value %3 is on line %4 already")
                         .arg(spec.listPath)
                         .arg(line.number)
                         .arg(QString::fromLatin1(value.toHex().toUpper()))
                         .arg(earlierLine);
            return false;
        }
        earlier.emplace_back(line.number, value);
    }
    if (file.failed()) {
        *error = file.failure();
        return false;
    }
    return true;
}

Value Source::numberValue(quint64 number) const
{
    QByteArray bytes(spec.width, '\0');
    for (int i = 0; i < spec.width; ++i) {
        const char byte = char((number >> (8 * i)) & 0xff);
        bytes[spec.bigEndian ? spec.width - 1 - i : i] = byte;
    }
    return Value{bytes, number, 0};
}

void Source::skipPast(const Value &reserved)
{
    if (!spec.listPath.isEmpty()) {
        // Up to the reserved value's line, if not past it already.
        ListFile::Line line;
        while (list && list->lineNumber() < reserved.listLine && list->read(&line)) {
        }
        return;
    }
    if (!reserved.number || !nextNumber || *reserved.number < *nextNumber)
        return;
    // Past the end of the width, or of 64 bits: none left.
    const quint64 after = *reserved.number + spec.step;
    if (after < *reserved.number || after > largest(spec.width))
        nextNumber.reset();
    else
        nextNumber = after;
}

bool Source::next(Value *value)
{
    if (!spec.listPath.isEmpty()) {
        ListFile::Line line;
        unsigned char bytes[MaxWidth];
        while (list && list->read(&line)) {
            const LineKind kind = kindOf(line, spec.width, bytes);
            // A line that is no value now: the file was changed since it was read.
            if (kind == LineKind::Malformed)
                return false;
            if (kind == LineKind::Value) {
                *value = Value{QByteArray(reinterpret_cast<const char *>(bytes), spec.width),
                               std::nullopt, line.number};
                return true;
            }
        }
        return false;
    }
    if (!nextNumber)
        return false;
    *value = numberValue(*nextNumber);
    skipPast(*value);
    return true;
}

} // namespace Stamp
