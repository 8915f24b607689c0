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

void family(std::string& out, const char* name, const char* type, const char* help)
{
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

void sample(std::string& out, const char* name, const std::string& labels, const std::string& value)
{
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += " " + value + "\n";
}

std::string number(long long n) { return std::to_string(n); }

// A counter of one series, without labels.
void counter(std::string& out, const char* name, const char* help, long long value)
{
    family(out, name, "counter", help);
    sample(out, name, "", number(value));
}

// A counter by outcome of what came while the store could not be reached.
void outageCounter(std::string& out, const char* name, const char* help, long long kept, long long writtenBack,
                   long long notKept)
{
    family(out, name, "counter", help);
    sample(out, name, "outcome=\"kept\"", number(kept));
    sample(out, name, "outcome=\"written_back\"", number(writtenBack));
    sample(out, name, "outcome=\"not_kept\"", number(notKept));
}

std::string ratio(int percent)
{
    char text[16];
    std::snprintf(text, sizeof text, "%g", percent / 100.0);
    return text;
}

} // namespace

std::string metricsText(Store& store, Counters& counters, const StatusLimits& limits, long long t,
                        std::size_t reserve)
{
    std::string out;
    out.reserve(reserve);
    family(out, "pelmora_build_info", "gauge", "The server's version (always 1).");
    sample(out, "pelmora_build_info", "version=" + quoted(kServerVersion), "1");

    // The machines: user and team once, on the info series, unit and core on
    // the unit's; the others carry only the machine, "NAME/CPU".
    const std::vector<MachineRow> rows = store.machines();
    std::vector<std::string> machine;
    std::vector<MachineStatus> status;
    machine.reserve(rows.size());
    status.reserve(rows.size());
    for (const MachineRow& m : rows) {
        machine.push_back("machine=" + quoted(m.name + "/" + std::to_string(m.cpu)));
        status.push_back(machineStatus(m, t, limits));
    }
    // The unit is a series of its own: on the info series every unit would
    // start a new one, and every query joined on it would churn with it.
    family(out, "pelmora_machine_info", "gauge", "A machine's user and team (always 1).");
    for (std::size_t i = 0; i < rows.size(); ++i)
        sample(out, "pelmora_machine_info",
               machine[i] + ",user=" + quoted(rows[i].user) + ",team=" + quoted(std::to_string(rows[i].team)), "1");
    family(out, "pelmora_machine_unit_info", "gauge", "A machine's current unit and its core (always 1).");
    for (std::size_t i = 0; i < rows.size(); ++i)
        sample(out, "pelmora_machine_unit_info",
               machine[i] + ",unit=" + quoted(rows[i].unit) + ",core=" + quoted(rows[i].core), "1");
    family(out, "pelmora_machine_progress_ratio", "gauge", "Progress of the machine's current unit, 0 to 1.");
    for (std::size_t i = 0; i < rows.size(); ++i)
        sample(out, "pelmora_machine_progress_ratio", machine[i], ratio(rows[i].progress));
    family(out, "pelmora_machine_last_report_timestamp_seconds", "gauge",
           "When the machine last reported, in seconds since the epoch.");
    for (std::size_t i = 0; i < rows.size(); ++i)
        sample(out, "pelmora_machine_last_report_timestamp_seconds", machine[i], number(rows[i].lastSeen));
    family(out, "pelmora_machine_status", "gauge", "The machine's status: 1 on its current one, 0 on the others.");
    for (std::size_t i = 0; i < rows.size(); ++i)
        for (const char* name : {"folding", "stalled", "offline", "stopped"})
            sample(out, "pelmora_machine_status", machine[i] + ",status=" + quoted(name),
                   std::string(status[i].status) == name ? "1" : "0");
    family(out, "pelmora_machine_points_per_day", "gauge",
           "The machine's estimated points per day; only while it folds at a known pace.");
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (status[i].pointsPerDay)
            sample(out, "pelmora_machine_points_per_day", machine[i], number(*status[i].pointsPerDay));

    // By user and team: every unit ever submitted, and the estimates now.
    const TeamFigures figures = teamFigures(rows, store.unitsByUser(0), t, limits);
    std::vector<std::string> user;
    for (const auto& [key, f] : figures.users)
        user.push_back("user=" + quoted(key.first) + ",team=" + quoted(std::to_string(key.second)));
    family(out, "pelmora_units_total", "counter", "Finished units submitted, by user and team.");
    std::size_t i = 0;
    for (const auto& [key, f] : figures.users) sample(out, "pelmora_units_total", user[i++], number(f.units));
    family(out, "pelmora_points_total", "counter", "Points of the finished units submitted, by user and team.");
    i = 0;
    for (const auto& [key, f] : figures.users) sample(out, "pelmora_points_total", user[i++], number(f.points));
    family(out, "pelmora_points_per_day", "gauge",
           "The machines' estimated points per day summed, by user and team.");
    i = 0;
    for (const auto& [key, f] : figures.users) sample(out, "pelmora_points_per_day", user[i++], number(f.pointsPerDay));

    const Totals totals = store.totals();
    counter(out, "pelmora_reports_total",
            "Monitor reports taken (each updates its machine; its history keeps the changes).", totals.reports);
    family(out, "pelmora_store_size_bytes", "gauge", "The bytes the store's data takes, at the last look.");
    sample(out, "pelmora_store_size_bytes", "", number(counters.storeBytes.load()));
    family(out, "pelmora_store_max_bytes", "gauge", "The store's bound: past it the oldest history is removed.");
    sample(out, "pelmora_store_max_bytes", "", number(counters.storeMaxBytes.load()));
    family(out, "pelmora_leader", "gauge",
           "1 while this server holds the lease on the team's duties (history, alerts, webhook), else 0.");
    sample(out, "pelmora_leader", "", number(counters.leading.load() ? 1 : 0));
    counter(out, "pelmora_store_limit_reached_total", "Times the store reached its bound since start.",
            counters.storeLimitReached.load());
    counter(out, "pelmora_reports_thinned_total", "History rows removed to keep the store under its bound since start.",
            counters.reportsThinned.load());
    counter(out, "pelmora_records_clamped_total",
            "Monitor records stored with a number brought into its range.", totals.recordsClamped);
    counter(out, "pelmora_record_parse_failures_total",
            "Monitor records refused since start.", counters.parseFailures.load());
    counter(out, "pelmora_connections_refused_total",
            "Connections refused over the limit since start.", counters.refusedConnections.load());
    counter(out, "pelmora_monitor_timeouts_total",
            "Monitor connections cut at a time-out since start.", counters.timedOut.load());
    counter(out, "pelmora_proxy_headers_refused_total",
            "Monitor connections refused since start for a PROXY header: from a peer not trusted, or a bad one.",
            counters.proxyHeadersRefused.load());
    const AlertCounts alerts = store.alertCounts();
    family(out, "pelmora_alerts_active", "gauge", "Alerts open now, by kind.");
    sample(out, "pelmora_alerts_active", "kind=\"offline\"", number(alerts.offline));
    sample(out, "pelmora_alerts_active", "kind=\"stalled\"", number(alerts.stalled));
    counter(out, "pelmora_alerts_raised_total", "Alerts raised.", alerts.raised);
    counter(out, "pelmora_webhook_failures_total",
            "Alert events the webhook failed to deliver (each try) since start.", counters.webhookFailures.load());
    counter(out, "pelmora_webhook_timeouts_total",
            "Webhook tries cut at the deadline since start.", counters.webhookTimeouts.load());
    counter(out, "pelmora_webhook_summaries_total",
            "Bursts of alert events delivered as one post since start.", counters.webhookSummaries.load());
    family(out, "pelmora_machines_refused_total", "counter",
           "New machines refused since start: over the cap, or over their address's rate.");
    sample(out, "pelmora_machines_refused_total", "reason=\"cap\"", number(counters.machinesRefusedCap.load()));
    sample(out, "pelmora_machines_refused_total", "reason=\"rate\"", number(counters.machinesRefusedRate.load()));
    counter(out, "pelmora_records_refused_address_total",
            "Records refused since start: another address than the machine's pinned one.",
            counters.recordsRefusedAddress.load());
    family(out, "pelmora_machines_waiting", "gauge", "New identities waiting for approval (--admission approve).");
    sample(out, "pelmora_machines_waiting", "", number(store.waitingCount()));
    counter(out, "pelmora_units_refused_total",
            "Unit submissions refused since start: over their address's rate.", counters.unitsRefused.load());
    outageCounter(out, "pelmora_store_outage_records_total",
                  "Monitor records while the store could not be reached, since start: kept (each machine's latest "
                  "is written back), written back, and not kept (answered with no command).",
                  counters.reportsHeld.load(), counters.reportsWrittenBack.load(), counters.reportsNotHeld.load());
    outageCounter(out, "pelmora_store_outage_units_total",
                  "Unit submissions while the store could not be reached, since start: kept, written back, and not "
                  "kept (answered 503).",
                  counters.unitsHeld.load(), counters.unitsWrittenBack.load(), counters.unitsNotHeld.load());
    counter(out, "pelmora_store_outages_total", "Times the store was found unreachable since start.",
            counters.storeOutages.load());
    counter(out, "pelmora_http_answers_delayed_total",
            "HTTP requests that waited for room in the answer budget since start.", counters.answersDelayed.load());
    counter(out, "pelmora_http_answers_refused_total",
            "HTTP requests answered 503 when no room came in the answer budget since start.",
            counters.answersRefused.load());
    family(out, "pelmora_http_answer_bytes", "gauge",
           "Bytes of HTTP answers: being written (each connection's whole answer), and held in shared answers.");
    sample(out, "pelmora_http_answer_bytes", "kind=\"writing\"", number(counters.answerBytesWriting.load()));
    sample(out, "pelmora_http_answer_bytes", "kind=\"shared\"", number(static_cast<long long>(sharedTextBytes())));
    family(out, "pelmora_http_requests_total", "counter", "HTTP requests by route and status code.");
    for (const auto& [key, count] : counters.requestCounts())
        sample(out, "pelmora_http_requests_total", "route=" + quoted(key.first) + ",code=\"" +
                                                         std::to_string(key.second) + "\"",
               number(count));
    return out;
}

} // namespace pelmora::server
