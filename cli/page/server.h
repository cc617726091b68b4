#ifndef SERVER_H
#define SERVER_H

#include "cli/page/routes.h"
#include "cli/page/snapshot.h"

#include <QString>

#include <memory>

// The live page's HTTP server: one thread of its own, reading snapshots from
// a holder. However its clients behave, it holds at most MaxConnections
// sockets and gives each request RequestSeconds, so it can never take the
// file descriptors the ports and the record need, nor hold up a session.
namespace Page
{

class Server
{
public:
    static constexpr int MaxConnections = 64;
    static constexpr int RequestSeconds = 10;
    static constexpr int HeaderLimitBytes = 8 * 1024;

    Server(const Holder &holder, Files files);
    ~Server();

    // Listens on `address` (an IPv4 or IPv6 address) and `port` (0 for any
    // free one) and starts serving. False, with the reason, when it cannot.
    bool start(const QString &address, int port, QString *error);
    // Where it listens, as a browser's address: "http://127.0.0.1:8080/".
    QString url() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

} // namespace Page

#endif
