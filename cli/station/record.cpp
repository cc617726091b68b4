#include "cli/station/record.h"

#include "cli/common/exitstatus.h"
#include "download/outcome.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>

#include <cstdio>

namespace RecordChain
{

QByteArray hashOf(const QByteArray &line)
{
    return QCryptographicHash::hash(line, QCryptographicHash::Sha256).toHex();
}

namespace
{

struct SlotCount {
    int boards = 0;
    int failed = 0;
    QMap<QString, int> outcomes;
};

} // namespace

int check(const QString &path, bool json)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "kavro-flash: cannot read the record %s: %s\n", qPrintable(path),
                     qPrintable(file.errorString()));
        return ExitStatus::Usage;
    }
    QList<QByteArray> lines = file.readAll().split('\n');
    // The newline that ends the last line leaves nothing after it.
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();

    int brokenAt = 0;
    QString why;
    QMap<QString, SlotCount> bySlot;
    QMap<QString, int> successesBySerial;
    QDateTime first;
    QDateTime last;
    for (int n = 0; n < lines.size() && brokenAt == 0; ++n) {
        const QJsonDocument document = QJsonDocument::fromJson(lines[n]);
        if (!document.isObject()) {
            brokenAt = n + 1;
            why = QStringLiteral("it does not parse");
            break;
        }
        const QJsonObject line = document.object();
        // Lines of an older format carry no link; every line since does.
        if (line.contains(QStringLiteral("record"))) {
            const QJsonValue prev = line.value(QStringLiteral("prev"));
            const QJsonValue expected =
                n == 0 ? QJsonValue() : QJsonValue(QString::fromLatin1(hashOf(lines[n - 1])));
            if (prev != expected) {
                brokenAt = n + 1;
                why = n == 0 ? QStringLiteral("it follows a line that is not there")
                             : QStringLiteral("line %1 is not the one it followed").arg(n);
                break;
            }
        }
        if (!line.contains(QStringLiteral("outcome")))
            continue;
        const QString outcome = line.value(QStringLiteral("outcome")).toString();
        SlotCount &slot = bySlot[line.value(QStringLiteral("slot")).toString()];
        ++slot.boards;
        ++slot.outcomes[outcome];
        const bool good = outcome == QLatin1String(Outcome::Success.text());
        slot.failed += good ? 0 : 1;
        const QString serial = line.value(QStringLiteral("usb_serial")).toString();
        if (good && !serial.isEmpty())
            ++successesBySerial[serial];
        const QDateTime time =
            QDateTime::fromString(line.value(QStringLiteral("time")).toString(), Qt::ISODateWithMs);
        if (time.isValid()) {
            if (!first.isValid() || time < first)
                first = time;
            if (!last.isValid() || time > last)
                last = time;
        }
    }

    int boards = 0;
    for (const SlotCount &slot : bySlot)
        boards += slot.boards;
    const double spanSeconds = first.isValid() ? first.msecsTo(last) / 1000.0 : 0;
    const double perHour = spanSeconds > 0 ? boards * 3600 / spanSeconds : 0;
    QMap<QString, int> repeated;
    for (auto it = successesBySerial.cbegin(); it != successesBySerial.cend(); ++it) {
        if (it.value() > 1)
            repeated.insert(it.key(), it.value());
    }

    QString text;
    if (json) {
        QJsonArray slotList;
        for (auto it = bySlot.cbegin(); it != bySlot.cend(); ++it) {
            QJsonObject outcomes;
            for (auto o = it->outcomes.cbegin(); o != it->outcomes.cend(); ++o)
                outcomes.insert(o.key(), o.value());
            slotList.append(
                QJsonObject{{QStringLiteral("slot"), it.key()},
                            {QStringLiteral("boards"), it->boards},
                            {QStringLiteral("failed"), it->failed},
                            {QStringLiteral("failure_rate"), double(it->failed) / it->boards},
                            {QStringLiteral("outcomes"), outcomes}});
        }
        QJsonObject serials;
        for (auto it = repeated.cbegin(); it != repeated.cend(); ++it)
            serials.insert(it.key(), it.value());
        const QJsonObject report{
            {QStringLiteral("event"), QStringLiteral("check")},
            {QStringLiteral("record"), path},
            {QStringLiteral("lines"), int(lines.size())},
            {QStringLiteral("intact"), brokenAt == 0},
            {QStringLiteral("broken_at"), brokenAt == 0 ? QJsonValue() : QJsonValue(brokenAt)},
            {QStringLiteral("reason"), brokenAt == 0 ? QJsonValue() : QJsonValue(why)},
            {QStringLiteral("bySlot"), slotList},
            {QStringLiteral("span_seconds"), spanSeconds},
            {QStringLiteral("boards_per_hour"), perHour},
            {QStringLiteral("repeated_usb_serials"), serials}};
        text = QString::fromUtf8(QJsonDocument(report).toJson(QJsonDocument::Compact)) +
               QLatin1Char('\n');
    } else {
        text = QStringLiteral("record %1: %2 lines, ").arg(path).arg(lines.size());
        text += brokenAt == 0
                    ? QStringLiteral("chain intact\n")
                    : QStringLiteral("chain broken at line %1: %2\n").arg(brokenAt).arg(why);
        if (first.isValid())
            text += QStringLiteral("%1 to %2: %3 h, %4 boards/hour\n")
                        .arg(first.toString(Qt::ISODate), last.toString(Qt::ISODate))
                        .arg(spanSeconds / 3600, 0, 'f', 2)
                        .arg(perHour, 0, 'f', 0);
        for (auto it = bySlot.cbegin(); it != bySlot.cend(); ++it) {
            QStringList outcomes;
            for (auto o = it->outcomes.cbegin(); o != it->outcomes.cend(); ++o)
                outcomes << QStringLiteral("%1 %2").arg(o.value()).arg(o.key());
            text += QStringLiteral("%1: %2 boards (%3), failure rate %4%\n")
                        .arg(it.key())
                        .arg(it->boards)
                        .arg(outcomes.join(QStringLiteral(", ")))
                        .arg(100.0 * it->failed / it->boards, 0, 'f', 1);
        }
        for (auto it = repeated.cbegin(); it != repeated.cend(); ++it)
            text += QStringLiteral("usb serial %1 recorded as a success %2 times\n")
                        .arg(it.key())
                        .arg(it.value());
    }
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    return brokenAt == 0 ? ExitStatus::Success : ExitStatus::Failed;
}

} // namespace RecordChain
