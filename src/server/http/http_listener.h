// The HTTP listener on Boost.Beast: reads each request within the limits of
// http_parsing.h and its deadlines, hands it to the route registered for its
// method and path, and writes the answer; event streams are written as their
// messages come, without a thread each. Every byte from the port is treated as hostile:
//   - a request line over kLongestRequestLine gets 414; a header line over
//     kLongestHeaderLine, more than kMostHeaderLines lines or more than
//     kLargestHead bytes of head get 431; a body over the handlers' limit,
//     with a Content-Length, chunked or not, gets 413; each answer closes the
//     connection, having read no further;
//   - a request's head has kHeadSeconds (kIdleSeconds after a previous
//     answer), its body kBodySeconds and its answer kWriteSeconds, each as a
//     whole, not per read;
//   - connections over the caps, overall and per source address, get 503
//     at once, unless the port is full and their address holds less than
//     its fair share: then the oldest connection waiting for a request
//     head of the address holding the most is closed for them
//     (connection_caps.h); event streams alike;
//   - a folded header line or a Transfer-Encoding other than "chunked"
//     alone gets 400 before any route;
//   - answers being written are bounded in bytes, overall and per source
//     address (answer_budget.h): past that a request waits, then gets 503.
// A body the handler shares (HttpResponse::shared) is sent from its buffer,
// never copied, in its gzip form when the client accepts gzip.
// Handlers run on the listener's few threads and may block briefly (the
// store): each connection's steps run in order on a strand of its own.
#pragma once

#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/http/http_parsing.h"
#include "server/http/http_request.h"
#include "server/support/endpoint.h"
#include "server/support/trusted_proxies.h"

namespace pelmora::server {

using defaults::kBodySeconds;
using defaults::kHeadSeconds;
using defaults::kHttpThreads;
using defaults::kIdleSeconds;
using defaults::kMostRequestsPerConnection;
using defaults::kWriteSeconds;

struct HttpCaps {
    int connections = defaults::kMaxConnections, perAddress = defaults::kMaxConnectionsPerAddress;
    int eventStreams = defaults::kMaxEventStreams, eventStreamsPerAddress = defaults::kMaxEventStreamsPerAddress;
    std::size_t largestBody = defaults::kLargestBody;
    std::size_t answerBytes = defaults::kAnswerBytes, answerBytesPerAddress = defaults::kAnswerBytesPerAddress;
};

using HttpHandler = std::function<void(const HttpRequest&, HttpResponse&)>;
enum class HandlerResponse { Handled, Unhandled };

class HttpListener {
public:
    // PROXIES: the peers whose X-Forwarded-For names the client (forwarded_for.h).
    HttpListener(Counters& counters, HttpCaps caps, TrustedProxies proxies = {});
    virtual ~HttpListener();

    // Routes: PATTERN must match the whole decoded path; its groups are in req.matches.
    void Get(const std::string& pattern, HttpHandler handler);
    void Post(const std::string& pattern, HttpHandler handler);
    void Put(const std::string& pattern, HttpHandler handler);
    void Delete(const std::string& pattern, HttpHandler handler);
    void addRoute(const std::string& method, const std::string& pattern, HttpHandler handler);
    // Before routing; Handled: its answer goes out and no route runs.
    void set_pre_routing_handler(std::function<HandlerResponse(const HttpRequest&, HttpResponse&)> handler);
    // After the route, before the answer is written (also for errors).
    void set_post_routing_handler(HttpHandler handler);
    // Fills the body of an error answer (404, 413, ...) left empty.
    void set_error_handler(HttpHandler handler);
    // A route that threw: its answer (500).
    void set_exception_handler(std::function<void(const HttpRequest&, HttpResponse&, std::exception_ptr)> handler);

    bool bind(const Endpoint& endpoint, std::string& error);
    int port() const;
    void run();  // until stop(), on kHttpThreads threads
    void stop(); // from any thread; the requests under way have a moment to finish

    // The answer to one parsed request, as a connection gets it: the
    // pre-routing handler, the route, errors and exceptions.
    void respond(HttpRequest& req, HttpResponse& res);

    class Impl;

private:
    struct Route {
        std::string method;
        std::regex pattern;
        HttpHandler handler;
    };
    std::vector<Route> routes_;
    std::function<HandlerResponse(const HttpRequest&, HttpResponse&)> preRouting_;
    HttpHandler postRouting_, errorHandler_;
    std::function<void(const HttpRequest&, HttpResponse&, std::exception_ptr)> exceptionHandler_;
    std::unique_ptr<Impl> impl_;
};

} // namespace pelmora::server
