#include "server/http/http_listener.h"

#include <atomic>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/optional.hpp>
#include <array>
#include <ctime>
#include <optional>
#include <thread>

#include "server/support/connection_caps.h"
#include "server/http/answer_budget.h"
#include "server/http/forwarded_for.h"
#include "server/http/http_parsing.h"
#include "server/support/defaults.h"
#include "server/support/log.h"

namespace pelmora::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::ip::tcp;
using beast::error_code;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace {

using defaults::kBudgetPollMilliseconds;
using defaults::kDrainMilliseconds;
using defaults::kEventPollMilliseconds;
using defaults::kMostDrained;
using defaults::kMostRefusals;
using defaults::kStopGraceMilliseconds;

// A body sent from a buffer held by a shared pointer: the answers that
// many connections send (shared_text.h) are written from the one buffer.
struct SharedBody {
    using value_type = std::shared_ptr<const std::string>;

    static std::uint64_t size(const value_type& body) { return body ? body->size() : 0; }

    class writer {
    public:
        using const_buffers_type = asio::const_buffer;

        template <bool isRequest, class Fields>
        writer(const http::header<isRequest, Fields>&, const value_type& body) : body_(body)
        {
        }
        void init(error_code& ec) { ec = {}; }
        boost::optional<std::pair<const_buffers_type, bool>> get(error_code& ec)
        {
            ec = {};
            if (done_ || !body_ || body_->empty()) return boost::none;
            done_ = true;
            return std::make_pair(asio::const_buffer(body_->data(), body_->size()), false);
        }

    private:
        const value_type& body_;
        bool done_ = false;
    };
};

} // namespace

class HttpListener::Impl {
public:
    Impl(HttpListener& owner, Counters& counters, HttpCaps caps, TrustedProxies proxies)
        : owner(owner), counters(counters), caps(caps), proxies(std::move(proxies)), connections(caps.connections, caps.perAddress),
          streams(caps.eventStreams, caps.eventStreamsPerAddress),
          answers(caps.answerBytes, caps.answerBytesPerAddress)
    {
    }

    void accept();
    void admit(tcp::socket socket);
    void windDown(std::chrono::steady_clock::time_point until);
    void logRefusal(const std::string& peer, const std::string& what);

    HttpListener& owner;
    Counters& counters;
    const HttpCaps caps;
    const TrustedProxies proxies;
    ConnectionCaps connections, streams;
    AnswerBudget answers;
    std::atomic<int> refusals{0}, busy{0};
    std::atomic<bool> stopping{false};
    asio::io_context io{kHttpThreads};
    tcp::acceptor acceptor{asio::make_strand(io)};
    asio::steady_timer pause{acceptor.get_executor()};
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(HttpListener::Impl& owner, tcp::socket socket, std::string peer)
        : owner_(owner), stream_(std::move(socket)), peer_(std::move(peer)), client_(peer_),
          poll_(stream_.get_executor())
    {
    }
    ~Connection()
    {
        setBusy(false);
        if (place_) owner_.connections.release(place_);
        if (streaming_) owner_.streams.release(streaming_);
        if (refusing_) --owner_.refusals;
        endAnswer();
    }

    void start(ConnectionCaps::Id place)
    {
        place_ = place;
        readHead(kHeadSeconds);
    }
    // Over a cap: 503 at once, nothing read.
    void refuse()
    {
        refusing_ = true;
        HttpRequest req;
        req.remote_addr = peer_;
        HttpResponse res;
        res.status = 503;
        res.set_header("Retry-After", "10");
        answerError(req, res, "too many connections");
    }

private:
    void setBusy(bool busy)
    {
        if (busy != busy_) owner_.busy += busy ? 1 : -1;
        busy_ = busy;
    }

    void readHead(int limitSeconds)
    {
        parser_.emplace();
        limitParser(*parser_, owner_.caps.largestBody);
        stream_.expires_after(seconds(limitSeconds));
        // Until a whole head is in, the place may go to an address holding
        // less than its share (connection_caps.h).
        owner_.connections.idle(place_, closer());
        buffer_.restart();
        http::async_read_header(stream_, buffer_, *parser_,
                                [self = shared_from_this()](error_code ec, std::size_t) { self->onHead(ec); });
    }

    // Closes this connection from any thread, if it is still there.
    ConnectionCaps::Closer closer()
    {
        return [weak = weak_from_this(), on = stream_.get_executor()] {
            asio::post(on, [weak] {
                if (const auto self = weak.lock()) self->close();
            });
        };
    }

    void onHead(error_code ec)
    {
        if (ec) return failed(ec, true);
        owner_.connections.busy(place_);
        const int status = buffer_.folded() ? 400 : headOverLimit(*parser_);
        if (status) return limitAnswer(status);
        setBusy(true);
        if (parser_->is_done()) return handle();
        if (beast::iequals(parser_->get()[http::field::expect], "100-continue")) {
            static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(seconds(kWriteSeconds));
            return asio::async_write(stream_, asio::buffer(kContinue, sizeof kContinue - 1),
                                     [self = shared_from_this()](error_code ec, std::size_t) {
                                         if (ec) return self->close();
                                         self->readBody();
                                     });
        }
        readBody();
    }

    void readBody()
    {
        stream_.expires_after(seconds(kBodySeconds));
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) {
                             if (ec) return self->failed(ec, false);
                             self->handle();
                         });
    }

    void failed(error_code ec, bool inHead)
    {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            if (!inHead) return limitAnswer(413);
            const auto data = buffer_.data();
            return limitAnswer(headRunOver(static_cast<const char*>(data.data()), data.size()));
        }
        if (ec == http::error::body_limit) return limitAnswer(413);
        if (ec == beast::error::timeout) {
            logEvent(Level::debug, "HTTP connection from " + peer_ + " cut: no whole request " +
                                       (inHead ? "head" : "body") + " in time");
            return close();
        }
        if (ec == http::error::end_of_stream || ec == asio::error::eof || ec == asio::error::connection_reset ||
            ec == asio::error::operation_aborted || ec == http::error::partial_message)
            return close();
        // Any other fault of the message itself.
        HttpRequest req;
        req.remote_addr = peer_;
        HttpResponse res;
        res.status = 400;
        answerError(req, res, "");
    }

    void limitAnswer(int status)
    {
        HttpRequest req;
        req.remote_addr = peer_;
        HttpResponse res;
        res.status = status;
        logRepeated(Level::warn, Repeat::noise, "HTTP over a limit", peer_,
                    "HTTP request from " + peer_ + " refused with " + std::to_string(status) +
                        (status == 400 ? ": not framed as HTTP/1.1 allows" : ": over a size limit"));
        answerError(req, res, "");
    }

    // An answer that ends the connection; REASON, if any, as its error text.
    void answerError(HttpRequest& req, HttpResponse& res, const std::string& reason)
    {
        if (!reason.empty()) res.set_content("{\"error\":\"" + reason + "\"}", "application/json");
        owner_.owner.respond(req, res); // the error text and the counts, no route
        keepAlive_ = false;
        write(res);
    }

    // The answer budget first: past it, the request waits (a timer, no
    // thread held) up to kAnswerWaitMilliseconds, then gets 503.
    void handle()
    {
        auto& message = parser_->get();
        if (!answering_) client_ = clientOf(message);
        if (!answering_ && !owner_.answers.tryStart(client_)) return waitForBudget();
        answering_ = true;
        HttpRequest req;
        HttpResponse res;
        if (!toRequest(message, client_, req)) {
            res.status = 400;
            keepAlive_ = false;
        } else {
            keepAlive_ = message.keep_alive() && ++served_ < kMostRequestsPerConnection && !owner_.stopping;
        }
        head_ = req.method == "HEAD";
        gzip_ = acceptsGzip(req.get_header_value("Accept-Encoding"));
        parser_.reset();
        owner_.owner.respond(req, res);
        if (res.events && res.status == 200) return startEvents(req, res);
        write(res);
    }

    // The client a trusted proxy names; anyone else is its own.
    std::string clientOf(const RequestParser::value_type& message)
    {
        if (!owner_.proxies.trusts(peer_)) return peer_;
        std::vector<std::string> values;
        for (const auto& field : message)
            if (beast::iequals(field.name_string(), "X-Forwarded-For")) values.emplace_back(field.value());
        const ForwardedClient client = forwardedClient(peer_, values, owner_.proxies);
        if (client.unreadable)
            logRepeated(Level::warn, Repeat::noise, "forwarded unreadable", peer_,
                        "X-Forwarded-For from the proxy " + peer_ + " holds an entry that is no address: "
                        "the request counts as the proxy's own");
        return client.address;
    }

    void waitForBudget()
    {
        const auto now = std::chrono::steady_clock::now();
        if (!waiting_) {
            waiting_ = true;
            waitUntil_ = now + milliseconds(defaults::kAnswerWaitMilliseconds);
            ++owner_.counters.answersDelayed;
        }
        if (now >= waitUntil_ || owner_.stopping) {
            ++owner_.counters.answersRefused;
            parser_.reset();
            HttpRequest req;
            req.remote_addr = client_;
            HttpResponse res;
            res.status = 503;
            res.set_header("Retry-After", "2");
            return answerError(req, res, "too many answers being written; try again");
        }
        poll_.expires_after(milliseconds(kBudgetPollMilliseconds));
        poll_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec) self->handle();
        });
    }

    // The answer's bytes leave the budget: written, failed, or the connection gone.
    void endAnswer()
    {
        if (!answering_) return;
        owner_.answers.finish(client_, charged_);
        owner_.counters.answerBytesWriting -= static_cast<long long>(charged_);
        answering_ = waiting_ = false;
        charged_ = 0;
    }

    void fill(http::header<false>& head, const HttpResponse& res)
    {
        head.version(11);
        head.result(static_cast<unsigned>(res.status));
        for (const auto& [name, value] : res.headers) head.insert(name, value);
        if (head.find("X-Content-Type-Options") == head.end()) head.set("X-Content-Type-Options", "nosniff");
    }

    void write(HttpResponse& res)
    {
        answer_ = {};
        fill(answer_, res);
        answer_.body() = body(res);
        answer_.keep_alive(keepAlive_);
        answer_.prepare_payload();
        if (res.status == 304) answer_.erase(http::field::content_length); // not the 200's length: none
        if (head_) answer_.body().reset(); // the length stays the GET's
        if (answering_) {
            charged_ = answer_.body() ? answer_.body()->size() : 0;
            owner_.answers.charge(client_, charged_);
            owner_.counters.answerBytesWriting += static_cast<long long>(charged_);
        }
        stream_.expires_after(seconds(kWriteSeconds));
        http::async_write(stream_, answer_, [self = shared_from_this()](error_code ec, std::size_t) {
            self->answer_ = {};
            self->endAnswer();
            self->setBusy(false);
            if (ec) return self->close();
            if (!self->keepAlive_ || self->owner_.stopping) return self->closeGracefully();
            self->readHead(kIdleSeconds);
        });
    }

    // The body to send: the shared buffer (its gzip form when the client
    // accepts gzip and there is one) by reference, or the handler's text
    // moved, compressed here when it is text the client takes in gzip (it is
    // this request's alone; a shared one is compressed once, in SharedText).
    std::shared_ptr<const std::string> body(HttpResponse& res)
    {
        if (!res.shared) {
            if (res.body.size() < kSmallestWorthZipping || !compressibleType(res.get_header_value("Content-Type")))
                return std::make_shared<const std::string>(std::move(res.body));
            answer_.set(http::field::vary, "Accept-Encoding");
            std::string zipped = gzip_ ? gzipText(res.body) : "";
            if (zipped.empty()) return std::make_shared<const std::string>(std::move(res.body));
            answer_.set(http::field::content_encoding, "gzip");
            return std::make_shared<const std::string>(std::move(zipped));
        }
        if (!res.shared->compressible()) return {res.shared, &res.shared->plain()};
        answer_.set(http::field::vary, "Accept-Encoding");
        const std::string* zipped = gzip_ && res.status == 200 ? res.shared->gzip() : nullptr;
        if (!zipped) return {res.shared, &res.shared->plain()};
        answer_.set(http::field::content_encoding, "gzip");
        return {res.shared, zipped};
    }

    void startEvents(HttpRequest& req, HttpResponse& res)
    {
        endAnswer(); // a stream is bounded by the stream caps, not the answer budget
        streaming_ = owner_.streams.admit(client_);
        if (!streaming_) {
            HttpResponse refused;
            refused.status = 503;
            refused.set_header("Retry-After", "10");
            return answerError(req, refused, "too many event streams");
        }
        owner_.streams.idle(streaming_, closer()); // any stream may give way to a fairer one
        events_ = std::move(res.events);
        eventHead_ = {};
        fill(eventHead_, res);
        eventHead_.chunked(true);
        eventHead_.keep_alive(false);
        serializer_.emplace(eventHead_);
        stream_.expires_after(seconds(kWriteSeconds));
        http::async_write_header(stream_, *serializer_, [self = shared_from_this()](error_code ec, std::size_t) {
            self->setBusy(false);
            if (ec) return self->close();
            self->watchPeer();
            self->nextEvents();
        });
    }

    // A peer that ends its stream is seen at once, not at the next event
    // written, so its place (connection_caps.h) goes back; a stream reads
    // nothing else. On the socket itself: the stream's write deadline must
    // not end this wait.
    void watchPeer()
    {
        stream_.socket().async_read_some(asio::buffer(discard_),
                                         [self = shared_from_this()](error_code, std::size_t) { self->close(); });
    }

    void pollEvents()
    {
        poll_.expires_after(milliseconds(kEventPollMilliseconds));
        poll_.async_wait([self = shared_from_this()](error_code ec) {
            if (!ec) self->nextEvents();
        });
    }

    void nextEvents()
    {
        chunk_ = {};
        bool more = false;
        try {
            more = !owner_.stopping && events_(chunk_);
        } catch (const std::exception& e) {
            logRepeated(Level::error, Repeat::noise, "event stream failed", "",
                        std::string("event stream failed: ") + e.what()); // every stream, when the store is down
        }
        stream_.expires_after(seconds(kWriteSeconds));
        if (!more) {
            return asio::async_write(stream_, http::make_chunk_last(),
                                     [self = shared_from_this()](error_code, std::size_t) { self->close(); });
        }
        if (chunk_.empty()) return pollEvents();
        const std::size_t from = chunk_.shared ? std::min(chunk_.sharedFrom, chunk_.shared->size()) : 0;
        const std::array<asio::const_buffer, 3> pieces{
            asio::buffer(chunk_.text),
            chunk_.shared ? asio::buffer(chunk_.shared->data() + from, chunk_.shared->size() - from)
                          : asio::const_buffer(),
            asio::buffer(chunk_.after)};
        asio::async_write(stream_, http::make_chunk(pieces),
                          [self = shared_from_this()](error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->pollEvents();
                          });
    }

    // Our side ends first; what the peer still sends is read for a moment,
    // so that closing does not reset the connection before the answer is read.
    void closeGracefully()
    {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.expires_after(milliseconds(kDrainMilliseconds));
        drain();
    }
    void drain()
    {
        stream_.async_read_some(asio::buffer(discard_), [self = shared_from_this()](error_code ec, std::size_t n) {
            self->drained_ += n;
            if (ec || self->drained_ >= kMostDrained) return self->close();
            self->drain();
        });
    }

    void close()
    {
        if (streaming_ && stream_.socket().is_open()) logEvent(Level::debug, "event stream to " + peer_ + " ended");
        error_code ignored;
        stream_.socket().close(ignored);
        poll_.cancel();
    }

    HttpListener::Impl& owner_;
    beast::tcp_stream stream_;
    std::string peer_;
    std::string client_; // the request's: the peer, or whom a trusted proxy names
    asio::steady_timer poll_;
    ScannedBuffer buffer_{kReadBufferLimit};
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<SharedBody> answer_;
    http::response<http::empty_body> eventHead_;
    std::optional<http::response_serializer<http::empty_body>> serializer_;
    EventSource events_;
    EventText chunk_;
    std::chrono::steady_clock::time_point waitUntil_;
    std::size_t charged_ = 0; // of the answer being written, in the budget
    char discard_[256];
    std::size_t drained_ = 0;
    int served_ = 0;
    ConnectionCaps::Id place_ = 0, streaming_ = 0;
    bool refusing_ = false, busy_ = false, keepAlive_ = true, head_ = false;
    bool answering_ = false, waiting_ = false, gzip_ = false;
};

} // namespace

void HttpListener::Impl::logRefusal(const std::string& peer, const std::string& what)
{
    ++counters.refusedConnections;
    logRepeated(Level::warn, Repeat::noise, "HTTP refused", peer,
                what + " refused: " + std::to_string(connections.open()) + " connections open, " +
                    std::to_string(connections.heldBy(peer)) + " from it");
}

void HttpListener::Impl::admit(tcp::socket socket)
{
    error_code e;
    const std::string peer = socket.remote_endpoint(e).address().to_string(e);
    if (e) return;
    socket.set_option(tcp::no_delay(true), e);
    // A trusted proxy's connections carry many clients: the overall cap bounds them.
    if (const ConnectionCaps::Id place = connections.admit(peer, proxies.trusts(peer) ? caps.connections : 0))
        return std::make_shared<Connection>(*this, std::move(socket), peer)->start(place);
    logRefusal(peer, "HTTP connection from " + peer);
    if (refusals >= kMostRefusals) return; // closed as it goes
    ++refusals;
    std::make_shared<Connection>(*this, std::move(socket), peer)->refuse();
}

void HttpListener::Impl::accept()
{
    acceptor.async_accept(asio::make_strand(io), [this](error_code ec, tcp::socket socket) {
        if (stopping || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors: the rest wait in the backlog.
            pause.expires_after(milliseconds(defaults::kAcceptRetryMilliseconds));
            pause.async_wait([this](error_code e) {
                if (!e) accept();
            });
            return;
        }
        accept();
        admit(std::move(socket));
    });
}

void HttpListener::Impl::windDown(std::chrono::steady_clock::time_point until)
{
    if (busy == 0 || std::chrono::steady_clock::now() >= until) {
        if (busy > 0) logEvent(Level::warn, std::to_string(busy) + " HTTP requests cut at the stop");
        io.stop();
        return;
    }
    pause.expires_after(milliseconds(defaults::kWindDownPollMilliseconds));
    pause.async_wait([this, until](error_code) { windDown(until); });
}

HttpListener::HttpListener(Counters& counters, HttpCaps caps, TrustedProxies proxies)
    : impl_(std::make_unique<Impl>(*this, counters, caps, std::move(proxies)))
{
}

HttpListener::~HttpListener() = default;

void HttpListener::addRoute(const std::string& method, const std::string& pattern, HttpHandler handler)
{
    routes_.push_back({method, std::regex(pattern), std::move(handler)});
}
void HttpListener::Get(const std::string& pattern, HttpHandler handler) { addRoute("GET", pattern, std::move(handler)); }
void HttpListener::Post(const std::string& pattern, HttpHandler handler) { addRoute("POST", pattern, std::move(handler)); }
void HttpListener::Put(const std::string& pattern, HttpHandler handler) { addRoute("PUT", pattern, std::move(handler)); }
void HttpListener::Delete(const std::string& pattern, HttpHandler handler)
{
    addRoute("DELETE", pattern, std::move(handler));
}
void HttpListener::set_pre_routing_handler(std::function<HandlerResponse(const HttpRequest&, HttpResponse&)> handler)
{
    preRouting_ = std::move(handler);
}
void HttpListener::set_post_routing_handler(HttpHandler handler) { postRouting_ = std::move(handler); }
void HttpListener::set_error_handler(HttpHandler handler) { errorHandler_ = std::move(handler); }
void HttpListener::set_exception_handler(
    std::function<void(const HttpRequest&, HttpResponse&, std::exception_ptr)> handler)
{
    exceptionHandler_ = std::move(handler);
}

void HttpListener::respond(HttpRequest& req, HttpResponse& res)
{
    // Errors found by the connection come with their status and no path.
    if (res.status == 200 && !req.method.empty()) {
        try {
            if (!preRouting_ || preRouting_(req, res) == HandlerResponse::Unhandled) {
                const std::string method = req.method == "HEAD" ? "GET" : req.method;
                const Route* found = nullptr;
                for (const Route& r : routes_)
                    if (r.method == method && std::regex_match(req.path, req.matches, r.pattern)) {
                        found = &r;
                        break;
                    }
                if (found)
                    found->handler(req, res);
                else
                    res.status = 404;
            }
        } catch (...) {
            res = HttpResponse();
            res.status = 500;
            if (exceptionHandler_) exceptionHandler_(req, res, std::current_exception());
        }
    }
    if (res.status >= 400 && errorHandler_) errorHandler_(req, res);
    if (postRouting_) postRouting_(req, res);
    logEvent(Level::debug, req.method + " " + req.path + " from " + req.remote_addr + ": " + std::to_string(res.status));
}

bool HttpListener::bind(const Endpoint& endpoint, std::string& error)
{
    error_code ec;
    const tcp::endpoint at(asio::ip::make_address_v4(endpoint.address, ec), static_cast<unsigned short>(endpoint.port));
    tcp::acceptor& acceptor = impl_->acceptor;
    if (!ec) acceptor.open(tcp::v4(), ec);
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(at, ec);
    if (!ec) acceptor.listen(512, ec);
    if (ec) error = ec.message();
    return !ec;
}

int HttpListener::port() const
{
    error_code ec;
    return impl_->acceptor.local_endpoint(ec).port();
}

void HttpListener::run()
{
    asio::post(impl_->acceptor.get_executor(), [this] { impl_->accept(); });
    std::vector<std::thread> more;
    for (int i = 1; i < kHttpThreads; ++i) more.emplace_back([this] { impl_->io.run(); });
    impl_->io.run();
    for (std::thread& t : more) t.join();
}

void HttpListener::stop()
{
    asio::post(impl_->acceptor.get_executor(), [this] {
        if (impl_->stopping.exchange(true)) return;
        error_code ignored;
        impl_->acceptor.close(ignored);
        impl_->windDown(std::chrono::steady_clock::now() + milliseconds(kStopGraceMilliseconds));
    });
}

} // namespace pelmora::server
