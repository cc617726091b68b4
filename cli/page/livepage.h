#ifndef LIVEPAGE_H
#define LIVEPAGE_H

#include "cli/page/feed.h"
#include "cli/page/server.h"
#include "cli/page/snapshot.h"

#include <QString>

#include <memory>

// The live page of a run: its snapshots, the feed that makes them and the
// server that gives them out.
namespace Page
{

class LivePage
{
public:
    // The lot so far starts from `lotBefore`, the boards the run's record
    // held when it started (none without a record: `hasRecord`). False, with
    // the reason, when the page cannot be served there; nothing is running
    // then.
    bool start(const QString &address, int port, const Totals &lotBefore, bool hasRecord,
               QString *error);
    Feed &feed() { return *feeder; }
    QString url() const { return server->url(); }
    // Whether the address lets other machines reach the page.
    static bool reachableFromOthers(const QString &address);

private:
    Holder holder;
    std::unique_ptr<Feed> feeder;
    std::unique_ptr<Server> server; // last: it reads the holder until it goes
};

} // namespace Page

#endif
