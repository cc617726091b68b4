// Arbitrary bytes as a request to the live page's server: parsed by
// Boost.Beast with the server's limits, then routed. Whatever arrives, the
// answer is one of the page's statuses and nothing is changed.

#include "cli/page/routes.h"

#include <boost/beast/http.hpp>

#include <cstdint>
#include <cstdlib>

namespace http = boost::beast::http;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Page::Holder holder;
    static const bool published = [] {
        auto snapshot = std::make_shared<Page::Snapshot>();
        snapshot->slotViews.resize(2);
        holder.publish(snapshot);
        return true;
    }();
    (void)published;
    static const Page::Files files{{{"/", {"text/html", "<!DOCTYPE html>"}}}};
    http::request_parser<http::string_body> parser;
    parser.header_limit(8 * 1024);
    parser.body_limit(8 * 1024);
    parser.eager(true);
    boost::beast::error_code error;
    parser.put(boost::asio::buffer(data, size), error);
    if (error || !parser.is_done())
        return 0;
    const auto &request = parser.get();
    const Page::Reply reply =
        Page::route(QByteArray::fromStdString(std::string(request.method_string())),
                    QByteArray::fromStdString(std::string(request.target())), holder, files);
    if (reply.status != 200 && reply.status != 404 && reply.status != 405)
        std::abort();
    return 0;
}
