#include "cli/page/livepage.h"

#include <QFile>

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

bool LivePage::start(const QString &address, int port, const Totals &lotBefore, bool hasRecord,
                     QString *error)
{
    server = std::make_unique<Server>(holder, Files::compiledIn());
    if (!server->start(address, port, error))
        return false;
    feeder = std::make_unique<Feed>(holder, lotBefore, hasRecord);
    return true;
}

bool LivePage::reachableFromOthers(const QString &address)
{
    return !address.startsWith(QLatin1String("127.")) && address != QLatin1String("::1");
}

} // namespace Page
