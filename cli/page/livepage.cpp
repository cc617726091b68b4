#include "cli/page/livepage.h"

#include "cli/report/recordsource.h"
#include "download/outcome.h"

#include <QFile>
#include <QFileInfo>

// The resources live in this static library: they are registered by name
// before their first use, outside any namespace as Qt requires.
static void registerPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace Page
{

Files Files::compiledIn()
{
    registerPageResources();
    const struct {
        const char *path;
        const char *resource;
        const char *type;
    } table[] = {
        {"/", ":/page/index.html", "text/html; charset=utf-8"},
        {"/page.css", ":/page/page.css", "text/css; charset=utf-8"},
        {"/page.js", ":/page/page.js", "text/javascript; charset=utf-8"},
        {"/charts.js", ":/page/charts.js", "text/javascript; charset=utf-8"},
        {"/chart.js", ":/page/chart.min.js", "text/javascript; charset=utf-8"},
        {"/licenses.txt", ":/page/licenses.txt", "text/plain; charset=utf-8"},
    };
    Files files;
    for (const auto &entry : table) {
        QFile file(QLatin1String(entry.resource));
        if (file.open(QIODevice::ReadOnly))
            files.byPath.insert(entry.path, {entry.type, file.readAll()});
    }
    return files;
}

namespace
{

// A record that is not there yet, or cannot be read, holds no boards: the
// station itself says what is wrong with it.
Totals boardsIn(const QString &recordPath)
{
    Totals totals;
    if (recordPath.isEmpty() || !QFileInfo::exists(recordPath))
        return totals;
    const auto count = [&totals](qint64, const Record::Line &line) {
        if (line.kind != Record::Line::Kind::Board)
            return;
        const bool good = line.board.outcome == QLatin1String(Outcome::Success.text());
        ++(good ? totals.succeeded : totals.failed);
    };
    Report::RecordVerdict verdict;
    QString error;
    return Report::followRecord(recordPath, count, &verdict, &error) ? totals : Totals();
}

} // namespace

bool LivePage::start(const QString &address, int port, const QString &recordPath, QString *error)
{
    server = std::make_unique<Server>(holder, Files::compiledIn());
    if (!server->start(address, port, error))
        return false;
    feeder = std::make_unique<Feed>(holder, boardsIn(recordPath), !recordPath.isEmpty());
    return true;
}

bool LivePage::reachableFromOthers(const QString &address)
{
    return !address.startsWith(QLatin1String("127.")) && address != QLatin1String("::1");
}

} // namespace Page
