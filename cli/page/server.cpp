#include "cli/page/server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace Page
{

namespace
{

// One client's connection: requests read and answered one after another
// until the client closes, errs or runs out of time.
class Connection : public std::enable_shared_from_this<Connection>
{
public:
    Connection(tcp::socket socket, const Holder &holder, const Files &files, std::atomic<int> &open)
        : stream(std::move(socket)), holder(holder), files(files), open(open)
    {
        ++open;
    }
    ~Connection() { --open; }

    void read()
    {
        parser.emplace();
        parser->header_limit(Server::HeaderLimitBytes);
        parser->body_limit(Server::HeaderLimitBytes);
        stream.expires_after(std::chrono::seconds(Server::RequestSeconds));
        http::async_read(stream, buffer, *parser,
                         [self = shared_from_this()](beast::error_code error, std::size_t) {
                             self->onRead(error);
                         });
    }

private:
    void onRead(beast::error_code error)
    {
        if (error == http::error::end_of_stream || error == beast::error::timeout ||
            error == asio::error::operation_aborted || error == asio::error::connection_reset ||
            error == asio::error::eof)
            return close();
        if (error == http::error::header_limit)
            return answer(Reply{431, "text/plain", "Request Header Fields Too Large\n"}, false,
                          false);
        if (error)
            return answer(Reply{400, "text/plain", "Bad Request\n"}, false, false);
        const auto &request = parser->get();
        const QByteArray method = QByteArray::fromStdString(std::string(request.method_string()));
        const QByteArray target = QByteArray::fromStdString(std::string(request.target()));
        answer(route(method, target, holder, files), request.keep_alive(),
               request.method() == http::verb::head);
    }

    void answer(const Reply &reply, bool keepAlive, bool headOnly)
    {
        response = {};
        response.result(static_cast<http::status>(reply.status));
        response.version(11);
        response.set(http::field::content_type,
                     beast::string_view(reply.contentType.constData(), reply.contentType.size()));
        response.set(http::field::cache_control, reply.cacheable ? "max-age=60" : "no-store");
        response.set("X-Content-Type-Options", "nosniff");
        response.set("Content-Security-Policy",
                     "default-src 'self'; style-src 'self'; img-src 'self' data:");
        if (reply.status == 405)
            response.set(http::field::allow, "GET, HEAD");
        response.keep_alive(keepAlive);
        response.content_length(reply.body.size());
        if (!headOnly)
            response.body().assign(reply.body.constData(), size_t(reply.body.size()));
        stream.expires_after(std::chrono::seconds(Server::RequestSeconds));
        http::async_write(
            stream, response,
            [self = shared_from_this(), keepAlive](beast::error_code error, std::size_t) {
                if (error || !keepAlive)
                    return self->close();
                self->read();
            });
    }

    void close()
    {
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream.socket().close(ignored);
    }

    beast::tcp_stream stream;
    beast::flat_buffer buffer{Server::HeaderLimitBytes * 2};
    std::optional<http::request_parser<http::string_body>> parser;
    http::response<http::string_body> response;
    const Holder &holder;
    const Files &files;
    std::atomic<int> &open;
};

} // namespace

struct Server::Impl {
    Impl(const Holder &holder, Files files) : holder(holder), files(std::move(files)) {}

    void accept()
    {
        acceptor.async_accept(asio::make_strand(context),
                              [this](beast::error_code error, tcp::socket socket) {
                                  if (error == asio::error::operation_aborted)
                                      return;
                                  if (!error)
                                      welcome(std::move(socket));
                                  accept();
                              });
    }

    // Past the cap a new client is closed at once: the ones already in are
    // answered, and the process keeps its descriptors.
    void welcome(tcp::socket socket)
    {
        if (open.load() >= MaxConnections) {
            beast::error_code ignored;
            socket.close(ignored);
            return;
        }
        std::make_shared<Connection>(std::move(socket), holder, files, open)->read();
    }

    // The context outlives nothing it hands its connections: they are
    // freed with it, and still reach the rest.
    const Holder &holder;
    const Files files;
    std::atomic<int> open{0};
    tcp::endpoint endpoint;
    asio::io_context context{1};
    tcp::acceptor acceptor{context};
    std::thread thread;
};

Server::Server(const Holder &holder, Files files)
    : impl(std::make_unique<Impl>(holder, std::move(files)))
{
}

Server::~Server()
{
    if (impl->thread.joinable()) {
        impl->context.stop();
        impl->thread.join();
    }
}

bool Server::start(const QString &address, int port, QString *error)
{
    beast::error_code code;
    const asio::ip::address ip = asio::ip::make_address(address.toStdString(), code);
    if (code) {
        *error = QStringLiteral("'%1' is not an IP address").arg(address);
        return false;
    }
    tcp::acceptor &acceptor = impl->acceptor;
    const tcp::endpoint wanted(ip, quint16(port));
    acceptor.open(wanted.protocol(), code);
#ifndef _WIN32
    // A station restarted at once gets its port back. (On Windows the
    // option would let another program take a port in use.)
    if (!code)
        acceptor.set_option(asio::socket_base::reuse_address(true), code);
#endif
    if (!code)
        acceptor.bind(wanted, code);
    if (!code)
        acceptor.listen(asio::socket_base::max_listen_connections, code);
    if (!code)
        impl->endpoint = acceptor.local_endpoint(code);
    if (code) {
        *error = QStringLiteral("cannot serve the page on %1 port %2: %3")
                     .arg(address)
                     .arg(port)
                     .arg(QString::fromLocal8Bit(code.message().c_str()));
        return false;
    }
    impl->accept();
    impl->thread = std::thread([this] { impl->context.run(); });
    return true;
}

QString Server::url() const
{
    const asio::ip::address ip = impl->endpoint.address();
    const QString host = QString::fromStdString(ip.to_string());
    return QStringLiteral("http://%1:%2/")
        .arg(ip.is_v6() ? QLatin1Char('[') + host + QLatin1Char(']') : host)
        .arg(impl->endpoint.port());
}

} // namespace Page
