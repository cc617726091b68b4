#include "cli/page/routes.h"

#include "cli/page/render.h"

namespace Page
{

namespace
{

Reply plain(int status, const char *text)
{
    return {status, "text/plain; charset=utf-8", QByteArray(text) + '\n', false};
}

} // namespace

Reply route(const QByteArray &method, const QByteArray &target, const Holder &holder,
            const Files &files)
{
    if (method != "GET" && method != "HEAD")
        return plain(405, "Method Not Allowed: the page only reads (GET, HEAD)");
    const int query = target.indexOf('?');
    const QByteArray path = query < 0 ? target : target.left(query);
    if (path == "/state" || path == "/metrics") {
        const std::shared_ptr<const Snapshot> snapshot = holder.latest();
        if (!snapshot)
            return plain(503, "Service Unavailable: no state yet");
        return path == "/state" ? Reply{200, "application/json", stateJson(*snapshot), false}
                                : Reply{200, "text/plain; version=0.0.4; charset=utf-8",
                                        metricsText(*snapshot), false};
    }
    const auto file = files.byPath.constFind(path);
    if (file == files.byPath.cend())
        return plain(404, "Not Found");
    return {200, file->contentType, file->bytes, true};
}

} // namespace Page
