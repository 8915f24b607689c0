#include "server/http_api.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>

#include "server/dashboard.h"
#include "server/host_names.h"
#include "server/http_answers.h"
#include "server/iso_time.h"
#include "server/alerts.h"
#include "server/log.h"
#include "server/machine_admin.h"
#include "server/metrics.h"
#include "server/team_figures.h"
#include "server/unit_page.h"

namespace pelmora_server {
namespace {

using nlohmann::json;

std::string routeOf(const std::string& path)
{
    static const char* const kFixed[] = {"/api/machines", "/api/units", "/api/summary", "/api/cpus", "/api/events",
                                         "/api/session", "/api/team", "/metrics", "/healthz",
                                         "/folding/unitstats.php", "/", "/team", "/signin", "/signout"};
    for (const char* fixed : kFixed)
        if (path == fixed) return path;
    if (path.rfind("/assets/", 0) == 0) return "/assets/{file}";
    if (path.rfind("/machines/", 0) == 0) return "/machines/{id}";
    if (path == "/api/alerts") return path;
    if (path.rfind("/api/machines/", 0) == 0) {
        const std::size_t slash = path.find('/', 14);
        const std::string rest = slash == std::string::npos ? "" : path.substr(slash);
        if (rest.empty()) return "/api/machines/{id}";
        if (rest == "/address") return "/api/machines/{id}/address";
        if (rest == "/history") return "/api/machines/{id}/history";
        if (rest == "/commands") return "/api/machines/{id}/commands";
        if (rest.rfind("/commands/", 0) == 0) return "/api/machines/{id}/commands/{command}";
    }
    if (path.rfind("/api/commands/", 0) == 0) return "/api/commands/{command}";
    return "other";
}

json commandJson(const CommandRow& c)
{
    json j = {{"id", c.id},           {"machine", c.machineId},
              {"command", c.command}, {"status", c.state},
              {"requested_at", isoTime(c.requestedAt)}, {"requested_by", c.requestedBy},
              {"delivered_at", nullptr}, {"delivered_to", nullptr}, {"cancelled_at", nullptr},
              {"cancelled_by", nullptr}};
    if (c.deliveredAt) j["delivered_at"] = isoTime(c.deliveredAt);
    if (!c.deliveredTo.empty()) j["delivered_to"] = c.deliveredTo;
    if (c.cancelledAt) {
        j["cancelled_at"] = isoTime(c.cancelledAt);
        j["cancelled_by"] = c.cancelledBy;
    }
    return j;
}

} // namespace

bool tokensEqual(const std::string& given, const std::string& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0 && !expected.empty();
}

class HttpApi::Server : public HttpListener {
public:
    Server(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings)
        : HttpListener(counters, {settings.maxConnections, settings.maxConnectionsPerAddress, 32, 8, kLargestBody}),
          store_(store), counters_(counters), settings_(std::move(settings)), fleet_(fleet),
          sessions_(store, settings_.adminToken, settings_.viewerToken), dashboard_(sessions_, fleet)
    {
        // Counted before the answer goes out, so a client that asks for /metrics next sees its own request.
        set_post_routing_handler([this](const HttpRequest& req, HttpResponse& res) {
            counters_.countRequest(routeOf(req.path), res.status);
        });
        set_error_handler([](const HttpRequest&, HttpResponse& res) {
            if (!res.body.empty()) return;
            const char* reason = res.status == 404   ? "not found"
                                 : res.status == 413 ? "the body is over 16 KiB"
                                 : res.status == 405 ? "method not allowed"
                                 : res.status == 400 ? "bad request"
                                 : res.status == 414 ? "the request line is over 8 KiB"
                                 : res.status == 431 ? "the request's head is over its limits"
                                                     : "error";
            fail(res, res.status, reason);
        });
        set_exception_handler([](const HttpRequest& req, HttpResponse& res, std::exception_ptr e) {
            std::string what = "unknown";
            try {
                std::rethrow_exception(e);
            } catch (const std::exception& x) {
                what = x.what();
            } catch (...) {
            }
            logEvent(Level::error, req.method + " " + req.path + " failed: " + what);
            fail(res, 500, "internal error");
        });
        // Only our own names (the stats site's path and the health check
        // answer any: the monitors and probes were set up with theirs). Then,
        // with a viewer token, everything but the open paths needs a sign-in.
        set_pre_routing_handler([this](const HttpRequest& req, HttpResponse& res) {
            if (req.path != "/folding/unitstats.php" && req.path != "/healthz" &&
                !hostAllowed(req.get_header_value("Host"), settings_.hostNames)) {
                fail(res, 421, "this server does not answer to the name " + req.get_header_value("Host") +
                                   " (see --public-host)");
                return HandlerResponse::Handled;
            }
            if (!sessions_.viewerTokenRequired() || Dashboard::open(req.path)) return HandlerResponse::Unhandled;
            const Caller caller = sessions_.identify(req, now());
            if (sessions_.mayView(caller)) return HandlerResponse::Unhandled;
            if (caller.retryAfter > 0) {
                tooManyTries(res, caller.retryAfter);
                return HandlerResponse::Handled;
            }
            if (req.method == "GET" && req.path.compare(0, 5, "/api/") != 0 && req.path != "/metrics")
                res.set_redirect("/signin?next=" + encodeQueryParam(req.path), 303);
            else
                fail(res, 401, "sign in, or give the viewer or admin token (Authorization: Bearer TOKEN)");
            return HandlerResponse::Handled;
        });
        dashboard_.addRoutes(*this);
        Get("/healthz", [](const HttpRequest&, HttpResponse& res) { res.set_content("ok", "text/plain"); });
        Get("/metrics", [this](const HttpRequest&, HttpResponse& res) { metrics(res); });
        Get("/folding/unitstats.php", [this](const HttpRequest& req, HttpResponse& res) { unit(req, res); });
        Get("/api/machines", [this](const HttpRequest&, HttpResponse& res) { machines(res); });
        Get(R"(/api/machines/(\d{1,18}))", [this](const HttpRequest& req, HttpResponse& res) {
            const std::optional<std::string> text = fleet_.machineJson(std::stoll(req.matches[1].str()), now());
            if (!text) return fail(res, 404, "no machine " + req.matches[1].str());
            res.set_content(*text, "application/json");
        });
        Delete(R"(/api/machines/(\d{1,18}))", [this](const HttpRequest& req, HttpResponse& res) {
            if (!authorised(req, res)) return;
            const AdminAnswer a = removeMachine(store_, slots_, std::stoll(req.matches[1].str()), "admin@" + req.remote_addr);
            answer(res, a.status, a.body);
        });
        Delete(R"(/api/machines/(\d{1,18})/address)", [this](const HttpRequest& req, HttpResponse& res) {
            if (!authorised(req, res)) return;
            const AdminAnswer a = clearMachineAddress(store_, std::stoll(req.matches[1].str()), "admin@" + req.remote_addr, now());
            answer(res, a.status, a.body);
        });
        Get(R"(/api/machines/(\d{1,18})/history)",
            [this](const HttpRequest& req, HttpResponse& res) { history(req, res); });
        Get(R"(/api/machines/(\d{1,18})/commands)",
            [this](const HttpRequest& req, HttpResponse& res) { commandList(req, res); });
        Post(R"(/api/machines/(\d{1,18})/commands)",
             [this](const HttpRequest& req, HttpResponse& res) { queue(req, res); });
        Delete(R"(/api/machines/(\d{1,18})/commands(?:/(\d{1,18}))?)",
               [this](const HttpRequest& req, HttpResponse& res) { cancel(req, res); });
        Delete(R"(/api/commands/(\d{1,18}))",
               [this](const HttpRequest& req, HttpResponse& res) { cancel(req, res); });
        Get("/api/units", [this](const HttpRequest& req, HttpResponse& res) { units(req, res); });
        Get("/api/cpus", [this](const HttpRequest&, HttpResponse& res) { cpus(res); });
        Get("/api/summary", [this](const HttpRequest& req, HttpResponse& res) { summary(req, res); });
        Get("/api/alerts", [this](const HttpRequest& req, HttpResponse& res) { alerts(req, res); });
        Get("/api/team", [this](const HttpRequest& req, HttpResponse& res) { team(req, res); });
    }

private:
    static long long now() { return std::time(nullptr); }

    // Commands need the admin token, or an admin session whose request
    // carries the session's cross-site token and comes from our own pages.
    bool authorised(const HttpRequest& req, HttpResponse& res)
    {
        const Caller caller = sessions_.identify(req, now());
        std::string refusal;
        if (caller.retryAfter > 0) {
            tooManyTries(res, caller.retryAfter);
            refusal = "too many wrong tokens";
        } else if (caller.role == Role::none) {
            res.set_header("WWW-Authenticate", "Bearer");
            fail(res, 401, "a valid admin token is needed (Authorization: Bearer TOKEN), or sign in");
            refusal = "no valid token";
        } else if (caller.role != Role::admin) {
            fail(res, 403, "commands need the admin token");
            refusal = "a viewer";
        } else if (caller.session && (!sameOrigin(req) || !tokensEqual(req.get_header_value("X-CSRF-Token"),
                                                                         caller.session->csrf))) {
            fail(res, 403, "a cross-site request is refused");
            refusal = "a cross-site request";
        } else {
            return true;
        }
        logEvent(Level::warn, req.method + " " + req.path + " from " + req.remote_addr + " refused: " + refusal);
        return false;
    }

    static void tooManyTries(HttpResponse& res, long long wait)
    {
        res.set_header("Retry-After", std::to_string(wait));
        fail(res, 429, "too many wrong tokens from this address: try again in " + std::to_string(wait) + " s");
    }

    void metrics(HttpResponse& res)
    {
        res.set_content(metricsText(store_, counters_, settings_.limits, now()), "text/plain; version=0.0.4");
    }

    void unit(const HttpRequest& req, HttpResponse& res)
    {
        const UnitQueryParse parsed = parseUnitQuery(req.params);
        if (!parsed.ok) {
            res.status = 400;
            res.set_content(unitRefusedPage(parsed.reason), "text/html; charset=utf-8");
            logEvent(Level::warn, "unit from " + req.remote_addr + " refused: " + parsed.reason);
            return;
        }
        const UnitSubmission& u = parsed.unit;
        if (!bounds_.units.take(req.remote_addr)) {
            ++counters_.unitsRefused;
            res.status = 429;
            res.set_content(unitRefusedPage("too many units from this address; try again later"), "text/html; charset=utf-8");
            return;
        }
        const UnitCounts counts = store_.addUnit(u, now(), req.remote_addr);
        logEvent(Level::info, "unit " + u.protein + " from " + u.user + " (team " + std::to_string(u.team) +
                                  ", machine " + std::to_string(u.machine) + ")");
        res.set_content(unitReceivedPage(u, counts), "text/html; charset=utf-8");
    }

    void machines(HttpResponse& res) { res.set_content(fleet_.listJson(now()), "application/json"); }

    bool knownMachine(const HttpRequest& req, HttpResponse& res, long long& id)
    {
        id = std::stoll(req.matches[1].str());
        if (store_.machineExists(id)) return true;
        fail(res, 404, "no machine " + std::to_string(id));
        return false;
    }

    void history(const HttpRequest& req, HttpResponse& res)
    {
        long long hours = 24, points = 0;
        // Asking for more than the longest span gives that span.
        if (!queryNumber(req, "hours", 1, 24 * 3650, hours))
            return fail(res, 400, "hours must be a whole number from 1 to " + std::to_string(24 * 3650));
        if (!queryNumber(req, "points", 2, 10000, points)) return fail(res, 400, "points must be from 2 to 10000");
        const AdminAnswer a = machineHistory(store_, bounds_.limits, std::stoll(req.matches[1].str()), hours, points, now());
        answer(res, a.status, a.body);
    }

    void commandList(const HttpRequest& req, HttpResponse& res)
    {
        long long id = 0;
        if (!knownMachine(req, res, id)) return;
        json list = json::array();
        for (const CommandRow& c : store_.commands(id, 100)) list.push_back(commandJson(c));
        answer(res, 200, json{{"commands", std::move(list)}});
    }

    void queue(const HttpRequest& req, HttpResponse& res)
    {
        if (!authorised(req, res)) return;
        const json body = json::parse(req.body, nullptr, false);
        if (body.is_discarded() || !body.is_object() || !body.contains("command") || !body["command"].is_string())
            return fail(res, 400, "the body must be {\"command\": \"exit\" | \"tray\" | \"restart\"}");
        const std::string command = body["command"].get<std::string>();
        if (commandByte(command) == 0) return fail(res, 400, "unknown command (exit, tray or restart)");
        const long long id = std::stoll(req.matches[1].str());
        const std::optional<CommandRow> queued = store_.queueCommand(id, command, "admin@" + req.remote_addr, now());
        if (!queued) return fail(res, 404, "no machine " + std::to_string(id));
        logEvent(Level::info, "command " + command + " (id " + std::to_string(queued->id) + ") queued for machine " +
                                  std::to_string(id) + " by admin@" + req.remote_addr);
        answer(res, 202, commandJson(*queued));
    }

    // DELETE /api/machines/ID/commands[/COMMAND_ID] or /api/commands/COMMAND_ID.
    void cancel(const HttpRequest& req, HttpResponse& res)
    {
        if (!authorised(req, res)) return;
        long long machine = 0, commandId = 0;
        if (req.path.rfind("/api/commands/", 0) == 0) {
            commandId = std::stoll(req.matches[1].str());
        } else {
            if (!knownMachine(req, res, machine)) return;
            if (req.matches[2].matched) commandId = std::stoll(req.matches[2].str());
        }
        const std::optional<CommandRow> cancelled =
            store_.cancelCommand(machine, commandId, "admin@" + req.remote_addr, now());
        if (!cancelled) return fail(res, 404, "no pending command to cancel");
        logEvent(Level::info, "command " + cancelled->command + " (id " + std::to_string(cancelled->id) +
                                  ") for machine " + std::to_string(cancelled->machineId) + " cancelled by admin@" +
                                  req.remote_addr);
        answer(res, 200, commandJson(*cancelled));
    }

    void units(const HttpRequest& req, HttpResponse& res)
    {
        UnitFilter filter;
        long long team = 0, machine = 0, machineId = 0, limit = 100;
        if (!queryNumber(req, "team", INT32_MIN, INT32_MAX, team)) return fail(res, 400, "team must be a whole number");
        if (!queryNumber(req, "machine", INT32_MIN, INT32_MAX, machine))
            return fail(res, 400, "machine must be a whole number");
        if (!queryNumber(req, "machine_id", 1, INT64_MAX, machineId))
            return fail(res, 400, "machine_id must be a machine's id");
        if (!queryNumber(req, "limit", 1, 1000, limit)) return fail(res, 400, "limit must be from 1 to 1000");
        if (given(req, "user")) filter.user = req.get_param_value("user");
        if (given(req, "machine_id")) filter.machineId = machineId;
        if (given(req, "team")) filter.team = static_cast<int>(team);
        if (given(req, "machine")) filter.machine = static_cast<int>(machine);
        filter.limit = static_cast<int>(limit);
        json list = json::array();
        for (const UnitRow& r : store_.units(filter)) {
            const UnitSubmission& u = r.unit;
            list.push_back({{"at", isoTime(r.at)},         {"user", u.user},
                            {"team", u.team},              {"machine", u.machine},
                            {"wucount", u.wucount},        {"cpu_vendor", u.cpuVendor},
                            {"cpu_string", u.cpuString},   {"cpu_mhz", u.cpuMhz},
                            {"frame_minutes", u.frameMinutes}, {"protein", u.protein},
                            {"core", u.core},              {"memory_mib", u.memoryMib},
                            {"points", r.points},
                            {"machine_id", r.machineId ? json(*r.machineId) : json()}});
        }
        answer(res, 200, json{{"units", std::move(list)}});
    }

    void cpus(HttpResponse& res)
    {
        json list = json::array();
        for (const CpuSummary& c : store_.cpus())
            list.push_back({{"cpu_string", c.cpuString}, {"cpu_vendor", c.cpuVendor}, {"units", c.units},
                            {"average_frame_minutes", c.averageFrameMinutes}});
        answer(res, 200, json{{"cpus", std::move(list)}});
    }

    void summary(const HttpRequest& req, HttpResponse& res)
    {
        long long days = 30;
        if (!queryNumber(req, "days", 1, 3650, days)) return fail(res, 400, "days must be from 1 to 3650");
        // Whole days: from the start of the first one.
        const long long since = (now() / 86400 - (days - 1)) * 86400;
        json list = json::array();
        for (const DayUserSummary& s : store_.summary(since))
            list.push_back({{"day", s.day}, {"user", s.user}, {"units", s.units}, {"points", s.points}});
        answer(res, 200, json{{"days", std::move(list)}});
    }

    // GET /api/alerts?limit=100&active=1&machine=ID, newest first.
    void alerts(const HttpRequest& req, HttpResponse& res)
    {
        long long limit = 100, active = 0, machine = 0;
        if (!queryNumber(req, "limit", 1, 1000, limit)) return fail(res, 400, "limit must be from 1 to 1000");
        if (!queryNumber(req, "active", 0, 1, active)) return fail(res, 400, "active must be 0 or 1");
        if (!queryNumber(req, "machine", 1, INT64_MAX, machine))
            return fail(res, 400, "machine must be a machine's id");
        using Json = nlohmann::ordered_json;
        Json list = Json::array();
        for (const AlertRow& a : store_.alerts({active == 1, machine, static_cast<int>(limit)}))
            list.push_back(alertJson(a));
        const Json body = {{"alerts", std::move(list)}};
        res.set_content(body.dump(-1, ' ', false, Json::error_handler_t::replace), "application/json");
    }

    // GET /api/team?days=30
    void team(const HttpRequest& req, HttpResponse& res)
    {
        long long days = 30;
        if (!queryNumber(req, "days", 1, 365, days)) return fail(res, 400, "days must be from 1 to 365");
        res.set_content(teamReport(store_, settings_.limits, static_cast<int>(days), now()), "application/json");
    }

    Store& store_;
    Counters& counters_;
    HttpSettings settings_;
    FleetView& fleet_;
    Sessions sessions_;
    Dashboard dashboard_;
    FleetBounds ownBounds_{FleetLimits{}};
    FleetBounds& bounds_ = settings_.bounds ? *settings_.bounds : ownBounds_;
    SlotTable ownSlots_;
    SlotTable& slots_ = settings_.slots ? *settings_.slots : ownSlots_;
};

HttpApi::HttpApi(Store& store, Counters& counters, FleetView& fleet, HttpSettings settings)
    : server_(std::make_unique<Server>(store, counters, fleet, std::move(settings)))
{
}

HttpApi::~HttpApi() = default;

bool HttpApi::bind(const Endpoint& endpoint, std::string& error)
{
    if (!server_->bind(endpoint, error)) return false;
    port_ = server_->port();
    return true;
}

int HttpApi::port() const { return port_; }
void HttpApi::run() { server_->run(); }
void HttpApi::stop() { server_->stop(); }
void HttpApi::respond(HttpRequest& req, HttpResponse& res) { server_->respond(req, res); }

} // namespace pelmora_server
