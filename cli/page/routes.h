#ifndef ROUTES_H
#define ROUTES_H

#include "cli/page/snapshot.h"

#include <QByteArray>
#include <QMap>

// What the page's server answers, apart from the wire: a request's method
// and target in, a status and a body out. Nothing here changes anything.
namespace Page
{

struct Reply {
    int status = 200;
    QByteArray contentType;
    QByteArray body;
    bool cacheable = false; // the page's own files; the state never is
};

// The page's files, as compiled into the program, by their path ("/").
struct Files {
    struct File {
        QByteArray contentType;
        QByteArray bytes;
    };
    QMap<QByteArray, File> byPath;

    static Files compiledIn();
};

// GET and HEAD alone (405 for any other method), 404 for a path that is
// not one of the page's. A query string is ignored.
Reply route(const QByteArray &method, const QByteArray &target, const Holder &holder,
            const Files &files);

} // namespace Page

#endif
