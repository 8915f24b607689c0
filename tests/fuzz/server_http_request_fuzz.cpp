// The team server's HTTP request path without the socket: any bytes, read
// as the listener reads them (Beast's parser, its limits, the checks once
// the head is in), and a whole request routed to the handlers. The limits
// hold, every answer has a status, and a JSON answer is JSON.
#include <boost/asio/buffer.hpp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "server/api/http_api.h"
#include "server/http/http_parsing.h"
#include "server/store/sqlite/sqlite_store.h"

using namespace pelmora::server;
namespace http = boost::beast::http;

namespace {
struct Server {
    Server()
    {
        std::string error;
        std::remove("fuzz_http.db");
        store = openSqliteStore("fuzz_http.db", error);
        if (!store) std::abort();
        fleet = std::make_unique<FleetView>(*store, StatusLimits{});
        api = std::make_unique<HttpApi>(*store, counters, *fleet,
                                        HttpSettings{"fuzz-admin-token-0123456", "", {}, 30, 16, 4, {}});
    }
    Counters counters;
    std::unique_ptr<Store> store;
    std::unique_ptr<FleetView> fleet;
    std::unique_ptr<HttpApi> api;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Server server;
    RequestParser parser;
    limitParser(parser, kLargestBody);
    parser.eager(true);
    boost::beast::error_code ec;
    std::size_t used = 0;
    // The listener's buffer never holds more than kReadBufferLimit unparsed bytes.
    while (!parser.is_done()) {
        const std::size_t offered = std::min(size - used, kReadBufferLimit);
        const std::size_t taken = parser.put(boost::asio::buffer(data + used, offered), ec);
        used += taken;
        if (ec == http::error::need_more && taken > 0) continue;
        if (ec) return 0; // an error answer, or more to wait for
        if (taken == 0) return 0;
    }
    if (headOverLimit(parser) != 0) return 0;
    const auto& head = parser.get();
    if (head.target().size() > kLongestRequestLine || head.body().size() > kLargestBody) std::abort();
    HttpRequest req;
    if (!toRequest(parser.get(), "127.0.0.1", req)) return 0;
    HttpResponse res;
    server.api->respond(req, res);
    if (res.status < 100 || res.status > 599) std::abort();
    for (const auto& [name, value] : res.headers)
        if (value.find_first_of("\r\n") != std::string::npos) std::abort();
    if (res.get_header_value("Content-Type") == "application/json" &&
        nlohmann::json::parse(res.text(), nullptr, false).is_discarded())
        std::abort();
    EventText first;
    if (res.events && res.events(first) && first.text.compare(0, 6, "retry:") != 0) std::abort();
    return 0;
}
