#include "server/dashboard.h"

#include <algorithm>
#include <chrono>
#include <ctime>
#include <memory>

#include "server/http_answers.h"
#include "server/http_api.h"
#include "server/log.h"
#include "server/web_assets.h"

namespace pelmora_server {
namespace {

using nlohmann::json;

// Only the server's own files run in its pages, and no other site may frame them.
constexpr const char* kPagePolicy = "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                    "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                                    "form-action 'self'; base-uri 'none'";

constexpr int kPingSeconds = 15;

long long now() { return std::time(nullptr); }

const WebAsset* findAsset(const std::string& name)
{
    for (const WebAsset* a = webAssets(); a->name; ++a)
        if (name == a->name) return a;
    return nullptr;
}

void serveAsset(const std::string& name, HttpResponse& res)
{
    const WebAsset* asset = findAsset(name);
    if (!asset) return fail(res, 404, "not found");
    res.set_header("Content-Security-Policy", kPagePolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("Cache-Control", "no-cache");
    res.set_content(reinterpret_cast<const char*>(asset->data), asset->size, asset->type);
}

// A local path to go back to after signing in: "/..." but not "//host",
// and nothing a browser might clean into one (a backslash, a tab or any
// other control character).
std::string localPath(const std::string& next)
{
    if (next.empty() || next[0] != '/' || (next.size() > 1 && next[1] == '/')) return "/";
    for (const char c : next)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return "/";
    return next;
}

// From the form in the body only: a token in the query would stay in logs and history.
std::string formValue(const HttpRequest& req, const char* key)
{
    const auto it = req.form.find(key);
    return it == req.form.end() ? "" : it->second;
}

} // namespace

bool Dashboard::open(const std::string& path)
{
    return path == "/signin" || path == "/healthz" || path == "/api/session" || path == "/folding/unitstats.php" ||
           path.compare(0, 8, "/assets/") == 0;
}

void Dashboard::addRoutes(HttpListener& server)
{
    server.Get("/", [](const HttpRequest&, HttpResponse& res) { serveAsset("index.html", res); });
    server.Get("/team", [](const HttpRequest&, HttpResponse& res) { serveAsset("team.html", res); });
    server.Get("/signin", [](const HttpRequest&, HttpResponse& res) { serveAsset("signin.html", res); });
    server.Get(R"(/machines/\d{1,18})",
               [](const HttpRequest&, HttpResponse& res) { serveAsset("machine.html", res); });
    server.Get(R"(/assets/([A-Za-z0-9_-][A-Za-z0-9._-]{0,63}))",
               [](const HttpRequest& req, HttpResponse& res) { serveAsset(req.matches[1].str(), res); });

    server.Get("/api/session", [this](const HttpRequest& req, HttpResponse& res) {
        const Caller caller = sessions_.identify(req, now());
        const bool in = caller.session.has_value();
        answer(res, 200,
               {{"signed_in", in},
                {"role", in ? json(caller.session->role) : json()},
                {"csrf", in ? json(caller.session->csrf) : json()},
                {"viewer_token_required", sessions_.viewerTokenRequired()}});
    });

    // The form of /signin. A wrong token goes back to the form, which says so.
    server.Post("/signin", [this](const HttpRequest& req, HttpResponse& res) {
        if (!sameOrigin(req)) {
            logEvent(Level::warn, "sign-in from " + req.remote_addr + " refused: a cross-site request");
            return fail(res, 403, "a cross-site request is refused");
        }
        const std::string next = localPath(formValue(req, "next"));
        if (const long long wait = sessions_.retryAfter(req.remote_addr)) {
            res.set_header("Retry-After", std::to_string(wait));
            return fail(res, 429, "too many wrong tokens: try again in " + std::to_string(wait) + " s");
        }
        const std::optional<SessionRow> session = sessions_.signIn(formValue(req, "token"), req.remote_addr, now());
        if (!session) {
            logEvent(Level::warn, "sign-in from " + req.remote_addr + " refused: not a valid token");
            return res.set_redirect("/signin?error=1&next=" + encodeQueryParam(next), 303);
        }
        logEvent(Level::info, "signed in from " + req.remote_addr + " as " + session->role);
        res.set_header("Set-Cookie", sessionCookie(req, session, now()));
        res.set_redirect(next, 303);
    });

    server.Post("/signout", [this](const HttpRequest& req, HttpResponse& res) {
        const Caller caller = sessions_.identify(req, now());
        if (!caller.session) return fail(res, 401, "not signed in");
        if (!sameOrigin(req) || !tokensEqual(req.get_header_value("X-CSRF-Token"), caller.session->csrf))
            return fail(res, 403, "a cross-site request is refused");
        sessions_.signOut(caller.session->id, now());
        res.set_header("Set-Cookie", sessionCookie(req, std::nullopt, now()));
        res.status = 204;
    });

    server.Get("/api/events", [this](const HttpRequest& req, HttpResponse& res) {
        long long machine = 0;
        if (!queryNumber(req, "machine", 1, INT64_MAX, machine))
            return fail(res, 400, "machine must be a machine's id");
        eventStream(machine, res);
    });
}

// Server-sent events: a full snapshot, then each message of the fleet as it
// comes, and a comment now and then so proxies and the browser keep the
// connection. With a MACHINE id, only that machine's changes (and every
// alert). The listener polls the stream a few times a second and writes
// what it gives (the listener caps the streams); it ends when the browser
// goes, a write stalls past the write time-out, or the server stops.
void Dashboard::eventStream(long long machine, HttpResponse& res)
{
    struct Stream {
        long long number = -1; // -1: the snapshot is still to be sent
        std::chrono::steady_clock::time_point lastSent;
    };
    auto stream = std::make_shared<Stream>();
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    res.set_event_stream([this, stream, machine](std::string& out) {
        if (stream->number < 0) {
            out = "retry: 2000\nevent: machines\ndata: " + fleet_.subscribe(now(), stream->number, machine) + "\n\n";
        } else {
            std::vector<StreamMessage> messages;
            if (!fleet_.next(stream->number, 0, messages)) {
                if (fleet_.stopping()) return false;
                stream->number = -1; // fell behind: a snapshot again
                return true;
            }
            for (const StreamMessage& m : messages) {
                stream->number = m.number;
                if (machine == 0 || m.event != "machines")
                    out += "event: " + m.event + "\ndata: " + m.data + "\n\n";
                else if (std::binary_search(m.machines.begin(), m.machines.end(), machine))
                    out += "event: machines\ndata: {\"full\":false,\"machines\":[" +
                           fleet_.machineJson(machine, now()).value_or("") + "]}\n\n";
            }
            if (out.empty() && std::chrono::steady_clock::now() - stream->lastSent > std::chrono::seconds(kPingSeconds))
                out = ": ping\n\n";
        }
        if (!out.empty()) stream->lastSent = std::chrono::steady_clock::now();
        return true;
    });
}

} // namespace pelmora_server
