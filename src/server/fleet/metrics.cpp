#include "server/fleet/metrics.h"

#include <cstdio>

#include "server/fleet/machine_status.h"
#include "server/support/shared_text.h"
#include "server/fleet/team_figures.h"
#include "server/support/version.h"

namespace pelmora::server {
namespace {

std::string labelEscape(const std::string& text)
{
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c == '\n' ? 'n' : c;
    }
    return out;
}

std::string quoted(const std::string& text) { return "\"" + labelEscape(text) + "\""; }

std::string number(long long n) { return std::to_string(n); }

std::string ratio(int percent)
{
    char text[16];
    std::snprintf(text, sizeof text, "%g", percent / 100.0);
    return text;
}

// What one text is written from: the server's counters, and the store's
// rows only when the store-wide families are written.
struct Scrape {
    explicit Scrape(Counters& c) : counters(c) {}
    Counters& counters;
    bool storeWide = false;
    std::vector<MachineRow> rows;
    std::vector<std::string> machine; // each row's label, machine="NAME/CPU"
    std::vector<MachineStatus> status;
    TeamFigures figures;
    std::vector<std::string> user; // each user's labels, in figures.users' order
    Totals totals;
    AlertCounts alerts;
    long long waiting = 0;
};

// One family's samples, each a line "NAME{LABELS} VALUE".
class Series {
public:
    Series(std::string& out, const char* name) : out_(out), name_(name) {}
    void add(const std::string& labels, const std::string& value)
    {
        out_ += name_;
        if (!labels.empty()) out_ += "{" + labels + "}";
        out_ += " " + value + "\n";
    }
    void add(const std::string& labels, long long value) { add(labels, number(value)); }
    void add(long long value) { add("", number(value)); }
    // What came while the store could not be reached, by outcome.
    void outcomes(long long kept, long long writtenBack, long long notKept)
    {
        add("outcome=\"kept\"", kept);
        add("outcome=\"written_back\"", writtenBack);
        add("outcome=\"not_kept\"", notKept);
    }

private:
    std::string& out_;
    const char* name_;
};

// Store-wide families hold what every server sharing the store reads alike
// (its machines, units, reports, alerts, size): only the leader writes
// them, so a sum over the servers counts each once.
enum class Scope { server, store };

struct Family {
    const char* name;
    const char* type;
    const char* help;
    Scope scope;
    void (*samples)(const Scrape&, Series&);
};

// In the order they go out. The machines: user and team once, on the info
// series, unit and core on the unit's; the others carry only the machine.
// The unit is a series of its own: on the info series every unit would
// start a new one, and every query joined on it would churn with it.
const Family kFamilies[] = {
    {"pelmora_build_info", "gauge", "The server's version (always 1).", Scope::server,
     [](const Scrape&, Series& s) { s.add("version=" + quoted(kServerVersion), "1"); }},
    {"pelmora_machine_info", "gauge", "A machine's user and team (always 1).", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i)
             s.add(x.machine[i] + ",user=" + quoted(x.rows[i].user) + ",team=" + quoted(std::to_string(x.rows[i].team)),
                   "1");
     }},
    {"pelmora_machine_unit_info", "gauge", "A machine's current unit and its core (always 1).", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i)
             s.add(x.machine[i] + ",unit=" + quoted(x.rows[i].unit) + ",core=" + quoted(x.rows[i].core), "1");
     }},
    {"pelmora_machine_progress_ratio", "gauge", "Progress of the machine's current unit, 0 to 1.", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i) s.add(x.machine[i], ratio(x.rows[i].progress));
     }},
    {"pelmora_machine_last_report_timestamp_seconds", "gauge",
     "When the machine last reported, in seconds since the epoch.", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i) s.add(x.machine[i], x.rows[i].lastSeen);
     }},
    {"pelmora_machine_status", "gauge", "The machine's status: 1 on its current one, 0 on the others.", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i)
             for (const char* name : {"folding", "stalled", "offline", "stopped"})
                 s.add(x.machine[i] + ",status=" + quoted(name), std::string(x.status[i].status) == name ? "1" : "0");
     }},
    {"pelmora_machine_points_per_day", "gauge",
     "The machine's estimated points per day; only while it folds at a known pace.", Scope::store,
     [](const Scrape& x, Series& s) {
         for (std::size_t i = 0; i < x.rows.size(); ++i)
             if (x.status[i].pointsPerDay) s.add(x.machine[i], *x.status[i].pointsPerDay);
     }},
    // By user and team: every unit ever submitted, and the estimates now.
    {"pelmora_units_total", "counter", "Finished units submitted, by user and team.", Scope::store,
     [](const Scrape& x, Series& s) {
         std::size_t i = 0;
         for (const auto& [key, f] : x.figures.users) s.add(x.user[i++], f.units);
     }},
    {"pelmora_points_total", "counter", "Points of the finished units submitted, by user and team.", Scope::store,
     [](const Scrape& x, Series& s) {
         std::size_t i = 0;
         for (const auto& [key, f] : x.figures.users) s.add(x.user[i++], f.points);
     }},
    {"pelmora_points_per_day", "gauge", "The machines' estimated points per day summed, by user and team.",
     Scope::store,
     [](const Scrape& x, Series& s) {
         std::size_t i = 0;
         for (const auto& [key, f] : x.figures.users) s.add(x.user[i++], f.pointsPerDay);
     }},
    {"pelmora_reports_total", "counter",
     "Monitor reports taken (each updates its machine; its history keeps the changes).", Scope::store,
     [](const Scrape& x, Series& s) { s.add(x.totals.reports); }},
    // Measured and kept by the leader's upkeep alone.
    {"pelmora_store_size_bytes", "gauge", "The bytes the store's data takes, at the last look.", Scope::store,
     [](const Scrape& x, Series& s) { s.add(x.counters.storeBytes.load()); }},
    {"pelmora_store_max_bytes", "gauge", "The store's bound: past it the oldest history is removed.", Scope::store,
     [](const Scrape& x, Series& s) { s.add(x.counters.storeMaxBytes.load()); }},
    {"pelmora_leader", "gauge",
     "1 while this server holds the lease on the team's duties (history, alerts, webhook), else 0.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.leading.load() ? 1 : 0); }},
    {"pelmora_store_limit_reached_total", "counter", "Times the store reached its bound since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.storeLimitReached.load()); }},
    {"pelmora_reports_thinned_total", "counter",
     "History rows removed to keep the store under its bound since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.reportsThinned.load()); }},
    {"pelmora_records_clamped_total", "counter", "Monitor records stored with a number brought into its range.",
     Scope::store, [](const Scrape& x, Series& s) { s.add(x.totals.recordsClamped); }},
    {"pelmora_record_parse_failures_total", "counter", "Monitor records refused since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.parseFailures.load()); }},
    {"pelmora_connections_refused_total", "counter", "Connections refused over the limit since start.",
     Scope::server, [](const Scrape& x, Series& s) { s.add(x.counters.refusedConnections.load()); }},
    {"pelmora_monitor_timeouts_total", "counter", "Monitor connections cut at a time-out since start.",
     Scope::server, [](const Scrape& x, Series& s) { s.add(x.counters.timedOut.load()); }},
    {"pelmora_proxy_headers_refused_total", "counter",
     "Monitor connections refused since start for a PROXY header: from a peer not trusted, or a bad one.",
     Scope::server, [](const Scrape& x, Series& s) { s.add(x.counters.proxyHeadersRefused.load()); }},
    {"pelmora_alerts_active", "gauge", "Alerts open now, by kind.", Scope::store,
     [](const Scrape& x, Series& s) {
         s.add("kind=\"offline\"", x.alerts.offline);
         s.add("kind=\"stalled\"", x.alerts.stalled);
     }},
    {"pelmora_alerts_raised_total", "counter", "Alerts raised.", Scope::store,
     [](const Scrape& x, Series& s) { s.add(x.alerts.raised); }},
    {"pelmora_webhook_failures_total", "counter",
     "Alert events the webhook failed to deliver (each try) since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.webhookFailures.load()); }},
    {"pelmora_webhook_timeouts_total", "counter", "Webhook tries cut at the deadline since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.webhookTimeouts.load()); }},
    {"pelmora_webhook_summaries_total", "counter", "Bursts of alert events delivered as one post since start.",
     Scope::server, [](const Scrape& x, Series& s) { s.add(x.counters.webhookSummaries.load()); }},
    {"pelmora_machines_refused_total", "counter",
     "New machines refused since start: over the cap, or over their address's rate.", Scope::server,
     [](const Scrape& x, Series& s) {
         s.add("reason=\"cap\"", x.counters.machinesRefusedCap.load());
         s.add("reason=\"rate\"", x.counters.machinesRefusedRate.load());
     }},
    {"pelmora_records_refused_address_total", "counter",
     "Records refused since start: another address than the machine's pinned one.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.recordsRefusedAddress.load()); }},
    {"pelmora_machines_waiting", "gauge", "New identities waiting for approval (--admission approve).", Scope::store,
     [](const Scrape& x, Series& s) { s.add(x.waiting); }},
    {"pelmora_units_refused_total", "counter", "Unit submissions refused since start: over their address's rate.",
     Scope::server, [](const Scrape& x, Series& s) { s.add(x.counters.unitsRefused.load()); }},
    {"pelmora_store_outage_records_total", "counter",
     "Monitor records while the store could not be reached, since start: kept (each machine's latest is written "
     "back), written back, and not kept (answered with no command).",
     Scope::server,
     [](const Scrape& x, Series& s) {
         s.outcomes(x.counters.reportsHeld.load(), x.counters.reportsWrittenBack.load(),
                    x.counters.reportsNotHeld.load());
     }},
    {"pelmora_store_outage_units_total", "counter",
     "Unit submissions while the store could not be reached, since start: kept, written back, and not kept "
     "(answered 503).",
     Scope::server,
     [](const Scrape& x, Series& s) {
         s.outcomes(x.counters.unitsHeld.load(), x.counters.unitsWrittenBack.load(), x.counters.unitsNotHeld.load());
     }},
    {"pelmora_store_outages_total", "counter", "Times the store was found unreachable since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.storeOutages.load()); }},
    {"pelmora_http_answers_delayed_total", "counter",
     "HTTP requests that waited for room in the answer budget since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.answersDelayed.load()); }},
    {"pelmora_http_answers_refused_total", "counter",
     "HTTP requests answered 503 when no room came in the answer budget since start.", Scope::server,
     [](const Scrape& x, Series& s) { s.add(x.counters.answersRefused.load()); }},
    {"pelmora_http_answer_bytes", "gauge",
     "Bytes of HTTP answers: being written (each connection's whole answer), and held in shared answers.",
     Scope::server,
     [](const Scrape& x, Series& s) {
         s.add("kind=\"writing\"", x.counters.answerBytesWriting.load());
         s.add("kind=\"shared\"", static_cast<long long>(sharedTextBytes()));
     }},
    {"pelmora_http_requests_total", "counter", "HTTP requests by route and status code.", Scope::server,
     [](const Scrape& x, Series& s) {
         for (const auto& [key, count] : x.counters.requestCounts())
             s.add("route=" + quoted(key.first) + ",code=\"" + std::to_string(key.second) + "\"", count);
     }},
};

// The store's rows the store-wide families are written from.
void readStore(Scrape& x, Store& store, const StatusLimits& limits, long long t)
{
    x.rows = store.machines();
    x.machine.reserve(x.rows.size());
    x.status.reserve(x.rows.size());
    for (const MachineRow& m : x.rows) {
        x.machine.push_back("machine=" + quoted(m.name + "/" + std::to_string(m.cpu)));
        x.status.push_back(machineStatus(m, t, limits));
    }
    x.figures = teamFigures(x.rows, store.unitsByUser(0), t, limits);
    for (const auto& [key, f] : x.figures.users)
        x.user.push_back("user=" + quoted(key.first) + ",team=" + quoted(std::to_string(key.second)));
    x.totals = store.totals();
    x.alerts = store.alertCounts();
    x.waiting = store.waitingCount();
}

} // namespace

std::string metricsText(Store& store, Counters& counters, const StatusLimits& limits, long long t,
                        std::size_t reserve)
{
    Scrape x(counters);
    x.storeWide = counters.leading.load();
    if (x.storeWide) readStore(x, store, limits, t);
    std::string out;
    out.reserve(reserve);
    for (const Family& f : kFamilies) {
        if (f.scope == Scope::store && !x.storeWide) continue;
        out += std::string("# HELP ") + f.name + " " + f.help + "\n# TYPE " + f.name + " " + f.type + "\n";
        Series series(out, f.name);
        f.samples(x, series);
    }
    return out;
}

} // namespace pelmora::server
