#include "cli/job/job.h"

#include "download/linerates.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <toml++/toml.h>

#include <sstream>

namespace
{

// What a job's field is: its type as TOML names it, for the messages.
const char *typeName(toml::node_type type)
{
    switch (type) {
    case toml::node_type::string:
        return "a string";
    case toml::node_type::integer:
        return "an integer";
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::array:
        return "an array";
    case toml::node_type::table:
        return "a table";
    default:
        return "another type";
    }
}

QString qs(std::string_view text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

// Reads the fields off a parsed file, each check pointing at its place.
class Reader
{
public:
    Reader(const QString &path, JobRead *out) : path(path), out(out) {}

    bool fail(const toml::source_region &at, const QString &reason)
    {
        out->error = JobError{path, int(at.begin.line), int(at.begin.column), reason};
        return false;
    }

    // Only the keys in `known`: a misspelt key is never passed over.
    bool onlyKnown(const toml::table &table, std::initializer_list<const char *> known,
                   const QString &within)
    {
        for (auto &&[key, node] : table) {
            const bool found = std::any_of(known.begin(), known.end(),
                                           [&key = key](const char *k) { return key.str() == k; });
            if (!found)
                return fail(key.source(),
                            QStringLiteral("unknown key '%1'%2").arg(qs(key.str()), within));
        }
        return true;
    }

    const toml::node *typed(const toml::table &table, const char *key, toml::node_type type,
                            bool *ok)
    {
        const toml::node *node = table.get(key);
        if (node && node->type() != type)
            *ok = fail(node->source(), QStringLiteral("%1 must be %2, not %3")
                                           .arg(QLatin1String(key), QLatin1String(typeName(type)),
                                                QLatin1String(typeName(node->type()))));
        return *ok ? node : nullptr;
    }

    bool text(const toml::table &table, const char *key, QString *value, bool required)
    {
        bool ok = true;
        const toml::node *node = typed(table, key, toml::node_type::string, &ok);
        if (!ok)
            return false;
        if (!node)
            return !required ||
                   fail(table.source(), QStringLiteral("%1 is missing").arg(QLatin1String(key)));
        *value = qs(node->as_string()->get());
        return !value->isEmpty() ||
               fail(node->source(), QStringLiteral("%1 is empty").arg(QLatin1String(key)));
    }

    // An integer from `least` to `most`.
    template <typename T>
    bool integer(const toml::table &table, const char *key, std::optional<T> *value, qint64 least,
                 qint64 most)
    {
        bool ok = true;
        const toml::node *node = typed(table, key, toml::node_type::integer, &ok);
        if (!node)
            return ok;
        const qint64 n = node->as_integer()->get();
        if (n < least || n > most)
            return fail(node->source(), QStringLiteral("%1 must be %2 to %3, not %4")
                                            .arg(QLatin1String(key))
                                            .arg(least)
                                            .arg(most)
                                            .arg(n));
        *value = T(n);
        return true;
    }

    // A path in the file is relative to the job file's folder.
    QString resolved(const QString &file) const
    {
        return QDir::cleanPath(QFileInfo(path).absoluteDir().absoluteFilePath(file));
    }

    bool sequence(const toml::table &table, const char *key, std::optional<LineSequence> *value)
    {
        QString text;
        if (!table.contains(key))
            return true;
        if (!this->text(table, key, &text, false))
            return false;
        const LineSequenceParse parse = parseLineSequence(text);
        if (!parse.ok())
            return fail(table.get(key)->source(),
                        QStringLiteral("%1: %2").arg(QLatin1String(key), *parse.error));
        *value = parse.sequence;
        return true;
    }

    bool read(const toml::table &top)
    {
        Job &job = out->job;
        std::optional<int> format;
        if (!onlyKnown(top,
                       {"format", "name", "image", "image_sha256", "baud", "ports", "station",
                        "settle_ms", "record", "stamp", "enter", "leave", "quantity"},
                       QString()) ||
            !integer(top, "format", &format, 1, 1000))
            return false;
        if (format && *format != Job::Format)
            return fail(top.get("format")->source(),
                        QStringLiteral("this job is format %1; this kavro-flash reads format %2")
                            .arg(*format)
                            .arg(Job::Format));
        if (!text(top, "name", &job.name, true) || !text(top, "image", &job.imagePath, true) ||
            !text(top, "image_sha256", &job.imageSha256, true))
            return false;
        job.imagePath = resolved(job.imagePath);
        job.imageSha256 = job.imageSha256.toLower();
        if (!QRegularExpression(QStringLiteral("^[0-9a-f]{64}$")).match(job.imageSha256).hasMatch())
            return fail(top.get("image_sha256")->source(),
                        QStringLiteral("image_sha256 must be 64 hex digits"));
        return readLine(top) && readStation(top) && readStamp(top) &&
               sequence(top, "enter", &job.enter) && sequence(top, "leave", &job.leave);
    }

    bool readLine(const toml::table &top)
    {
        Job &job = out->job;
        if (!integer(top, "baud", &job.baud, 0, INT_MAX))
            return false;
        if (job.baud && !LineRates::isLineRate(*job.baud))
            return fail(top.get("baud")->source(),
                        QStringLiteral("baud must be 115200 or 256000, not %1").arg(*job.baud));
        bool ok = true;
        const toml::node *ports = typed(top, "ports", toml::node_type::array, &ok);
        if (!ports)
            return ok;
        job.ports = QStringList();
        for (const toml::node &port : *ports->as_array()) {
            if (!port.is_string() || port.as_string()->get().empty())
                return fail(port.source(), QStringLiteral("ports must be port names"));
            job.ports->append(qs(port.as_string()->get()));
        }
        return !job.ports->isEmpty() ||
               fail(ports->source(), QStringLiteral("ports is empty: leave it out, and give "
                                                    "the station's ports with -p"));
    }

    bool readStation(const toml::table &top)
    {
        Job &job = out->job;
        bool ok = true;
        if (const toml::node *station = typed(top, "station", toml::node_type::boolean, &ok))
            job.station = station->as_boolean()->get();
        std::optional<int> quantity;
        if (!ok || !integer(top, "settle_ms", &job.settleMs, 0, 3600000) ||
            !integer(top, "quantity", &quantity, 1, INT_MAX))
            return false;
        if (top.contains("record") && !text(top, "record", &job.recordPath, false))
            return false;
        if (!job.recordPath.isEmpty())
            job.recordPath = resolved(job.recordPath);
        job.quantity = quantity.value_or(0);
        if (quantity && job.recordPath.isEmpty())
            return fail(top.get("quantity")->source(),
                        QStringLiteral("quantity needs a record: the record counts the boards"));
        return true;
    }

    bool readStamp(const toml::table &top)
    {
        bool ok = true;
        const toml::node *node = typed(top, "stamp", toml::node_type::table, &ok);
        if (!node)
            return ok;
        const toml::table &table = *node->as_table();
        Stamp::Plan plan;
        std::optional<qint64> offset;
        std::optional<int> width;
        std::optional<qint64> start;
        std::optional<qint64> step;
        QString order;
        if (!onlyKnown(table, {"offset", "width", "start", "step", "order", "list"},
                       QStringLiteral(" in [stamp]")) ||
            !integer(table, "offset", &offset, 0, LLONG_MAX) ||
            !integer(table, "width", &width, 1, 16) ||
            !integer(table, "start", &start, 0, LLONG_MAX) ||
            !integer(table, "step", &step, 1, LLONG_MAX) ||
            (table.contains("order") && !text(table, "order", &order, false)) ||
            (table.contains("list") && !text(table, "list", &plan.listPath, false)))
            return false;
        if (!offset || !width)
            return fail(table.source(), QStringLiteral("[stamp] needs offset and width"));
        if (!plan.listPath.isEmpty() && (start || step || !order.isEmpty()))
            return fail(table.get("list")->source(),
                        QStringLiteral("[stamp] takes either list, or start, step and order"));
        if (!order.isEmpty() && order != QLatin1String("little") && order != QLatin1String("big"))
            return fail(table.get("order")->source(),
                        QStringLiteral("order is little or big, not '%1'").arg(order));
        if (out->job.recordPath.isEmpty())
            return fail(node->source(), QStringLiteral("[stamp] needs a record: the record is the "
                                                       "ledger that keeps a value from going to "
                                                       "two boards"));
        plan.offset = *offset;
        plan.width = *width;
        plan.start = quint64(start.value_or(1));
        plan.step = quint64(step.value_or(1));
        plan.bigEndian = order == QLatin1String("big");
        if (!plan.listPath.isEmpty())
            plan.listPath = resolved(plan.listPath);
        out->job.stamp = plan;
        return true;
    }

private:
    const QString path;
    JobRead *out;
};

// A TOML string, quoted and escaped as TOML wants it.
std::string quoted(const QString &text)
{
    std::ostringstream stream;
    stream << toml::value<std::string>(text.toStdString());
    return stream.str();
}

} // namespace

QString JobError::text() const
{
    if (line == 0)
        return QStringLiteral("%1: %2").arg(file, reason);
    return QStringLiteral("%1:%2:%3: %4").arg(file).arg(line).arg(column).arg(reason);
}

JobRead readJob(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        JobRead read;
        read.error = JobError{path, 0, 0, file.errorString()};
        return read;
    }
    return parseJob(file.readAll(), path);
}

JobRead parseJob(const QByteArray &bytes, const QString &path)
{
    JobRead read;
    read.job.path = path;
    read.job.sha256 =
        QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    toml::table top;
    try {
        top = toml::parse(std::string_view(bytes.constData(), size_t(bytes.size())),
                          path.toStdString());
    } catch (const toml::parse_error &error) {
        read.error = JobError{path, int(error.source().begin.line),
                              int(error.source().begin.column), qs(error.description())};
        return read;
    }
    Reader(path, &read).read(top);
    return read;
}

QList<QPair<QString, QString>> Job::fixedOptions() const
{
    QList<QPair<QString, QString>> fixed;
    const auto add = [&fixed](bool set, const char *field, const char *option) {
        if (set)
            fixed.append({QLatin1String(field), QLatin1String(option)});
    };
    add(baud.has_value(), "baud", "baud");
    add(ports.has_value(), "ports", "port");
    add(station.has_value(), "station", "station");
    add(settleMs.has_value(), "settle_ms", "settle");
    add(!recordPath.isEmpty(), "record", "record");
    for (const char *option : {"stamp", "stamp-start", "stamp-step", "stamp-order", "stamp-list"})
        add(stamp.has_value(), "stamp", option);
    add(enter.has_value(), "enter", "enter");
    add(leave.has_value(), "leave", "leave");
    return fixed;
}

QStringList Job::portArguments() const
{
    QStringList args;
    if (baud)
        args << QStringLiteral("--baud") << QString::number(*baud);
    for (const QString &port : ports.value_or(QStringList()))
        args << QStringLiteral("--port") << port;
    return args;
}

QStringList Job::arguments() const
{
    QStringList args = portArguments();
    if (station.value_or(false))
        args << QStringLiteral("--station");
    if (settleMs)
        args << QStringLiteral("--settle") << QString::number(*settleMs);
    if (!recordPath.isEmpty())
        args << QStringLiteral("--record") << recordPath;
    if (stamp) {
        args << QStringLiteral("--stamp") << stamp->field();
        if (stamp->listPath.isEmpty())
            args << QStringLiteral("--stamp-start") << QString::number(stamp->start)
                 << QStringLiteral("--stamp-step") << QString::number(stamp->step)
                 << QStringLiteral("--stamp-order") << stamp->order();
        else
            args << QStringLiteral("--stamp-list") << stamp->listPath;
    }
    if (enter)
        args << QStringLiteral("--enter") << enter->text();
    if (leave)
        args << QStringLiteral("--leave") << leave->text();
    return args << imagePath;
}

QByteArray jobText(const Job &job)
{
    std::ostringstream out;
    const auto line = [&out](const char *comment, const std::string &assignment) {
        out << "\n# " << comment << "\n" << assignment << "\n";
    };
    out << "# A kavro-flash job: run it with kavro-flash --job FILE.\n"
        << "format = " << Job::Format << "\n";
    line("Written into each record line, and counted against the quantity.",
         "name = " + quoted(job.name));
    line("The image, relative to this file, and its SHA-256: another image is refused.",
         "image = " + quoted(job.imagePath) + "\nimage_sha256 = " + quoted(job.imageSha256));
    if (job.baud)
        line("The boards' line rate.", "baud = " + std::to_string(*job.baud));
    if (job.ports) {
        std::string list;
        for (const QString &port : *job.ports)
            list += (list.empty() ? "" : ", ") + quoted(port);
        line("The ports; leave them out to give them with -p on each station PC.",
             "ports = [" + list + "]");
    }
    if (job.station)
        line("A production station: each port a fixture slot.",
             std::string("station = ") + (*job.station ? "true" : "false"));
    if (job.settleMs)
        line("A port away for less than this is the same board coming back.",
             "settle_ms = " + std::to_string(*job.settleMs));
    if (!job.recordPath.isEmpty())
        line("One line per board, relative to this file.", "record = " + quoted(job.recordPath));
    if (job.quantity > 0)
        line("The lot's size: no board is started past it.",
             "quantity = " + std::to_string(job.quantity));
    else if (!job.recordPath.isEmpty())
        // Left for the engineer to set, here: below a [table] it would be
        // the table's.
        line("The lot's size: no board is started past it.", "# quantity = N");
    if (job.enter)
        line("DTR and RTS steps into the boot loader, before the first frame.",
             "enter = " + quoted(job.enter->text()));
    if (job.leave)
        line("DTR and RTS steps out of it, after a good board's last frame.",
             "leave = " + quoted(job.leave->text()));
    if (job.stamp) {
        const Stamp::Plan &plan = *job.stamp;
        out << "\n# Each board's own value, written over the image.\n[stamp]\n"
            << "offset = " << plan.offset << "\nwidth = " << plan.width << "\n";
        if (plan.listPath.isEmpty())
            out << "start = " << plan.start << "\nstep = " << plan.step
                << "\norder = " << quoted(plan.order()) << "\n";
        else
            out << "list = " << quoted(plan.listPath) << "\n";
    }
    return QByteArray::fromStdString(out.str());
}
