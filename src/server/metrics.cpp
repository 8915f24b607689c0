#include "server/metrics.h"

#include "server/machine_status.h"

namespace pelmora_server {
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

} // namespace

std::string metricsText(Store& store, Counters& counters, const StatusLimits& limits, long long t)
{
    std::string out;
    out += "# HELP pelmora_machine_progress_percent Progress of the machine's current unit.\n"
           "# TYPE pelmora_machine_progress_percent gauge\n";
    const std::vector<MachineRow> rows = store.machines();
    std::vector<std::string> labels;
    labels.reserve(rows.size());
    for (const MachineRow& m : rows)
        labels.push_back("machine=\"" + labelEscape(m.name + "/" + std::to_string(m.cpu)) + "\",user=\"" +
                         labelEscape(m.user) + "\",team=\"" + std::to_string(m.team) + "\"");
    for (std::size_t i = 0; i < rows.size(); ++i)
        out += "pelmora_machine_progress_percent{" + labels[i] + "} " + std::to_string(rows[i].progress) + "\n";
    out += "# HELP pelmora_machine_seconds_since_report Seconds since the machine's last report.\n"
           "# TYPE pelmora_machine_seconds_since_report gauge\n";
    for (std::size_t i = 0; i < rows.size(); ++i)
        out += "pelmora_machine_seconds_since_report{" + labels[i] + "} " +
               std::to_string(t - rows[i].lastSeen) + "\n";
    out += "# HELP pelmora_machine_status The machine's status: 1 on its current one.\n"
           "# TYPE pelmora_machine_status gauge\n";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const std::string current = machineStatus(rows[i], t, limits).status;
        for (const char* status : {"folding", "stalled", "offline", "stopped"})
            out += "pelmora_machine_status{" + labels[i] + ",status=\"" + status + "\"} " +
                   (current == status ? "1\n" : "0\n");
    }
    const Totals totals = store.totals();
    out += "# HELP pelmora_reports_total Monitor reports stored.\n# TYPE pelmora_reports_total counter\n"
           "pelmora_reports_total " + std::to_string(totals.reports) + "\n";
    out += "# HELP pelmora_units_total Finished units submitted.\n# TYPE pelmora_units_total counter\n"
           "pelmora_units_total " + std::to_string(totals.units) + "\n";
    out += "# HELP pelmora_points_total Points of the finished units.\n# TYPE pelmora_points_total counter\n"
           "pelmora_points_total " + std::to_string(totals.points) + "\n";
    out += "# HELP pelmora_record_parse_failures_total Monitor records refused since start.\n"
           "# TYPE pelmora_record_parse_failures_total counter\n"
           "pelmora_record_parse_failures_total " + std::to_string(counters.parseFailures.load()) + "\n";
    out += "# HELP pelmora_connections_refused_total Connections refused over the limit since start.\n"
           "# TYPE pelmora_connections_refused_total counter\n"
           "pelmora_connections_refused_total " + std::to_string(counters.refusedConnections.load()) + "\n";
    out += "# HELP pelmora_monitor_timeouts_total Monitor connections cut at a time-out since start.\n"
           "# TYPE pelmora_monitor_timeouts_total counter\n"
           "pelmora_monitor_timeouts_total " + std::to_string(counters.timedOut.load()) + "\n";
    const AlertCounts alerts = store.alertCounts();
    out += "# HELP pelmora_alerts_active Alerts open now, by kind.\n# TYPE pelmora_alerts_active gauge\n"
           "pelmora_alerts_active{kind=\"offline\"} " + std::to_string(alerts.offline) + "\n"
           "pelmora_alerts_active{kind=\"stalled\"} " + std::to_string(alerts.stalled) + "\n";
    out += "# HELP pelmora_alerts_raised_total Alerts raised.\n# TYPE pelmora_alerts_raised_total counter\n"
           "pelmora_alerts_raised_total " + std::to_string(alerts.raised) + "\n";
    out += "# HELP pelmora_webhook_failures_total Alert events the webhook failed to deliver (each try) since start.\n"
           "# TYPE pelmora_webhook_failures_total counter\n"
           "pelmora_webhook_failures_total " + std::to_string(counters.webhookFailures.load()) + "\n";
    out += "# HELP pelmora_webhook_timeouts_total Webhook tries cut at the deadline since start.\n"
           "# TYPE pelmora_webhook_timeouts_total counter\n"
           "pelmora_webhook_timeouts_total " + std::to_string(counters.webhookTimeouts.load()) + "\n";
    out += "# HELP pelmora_webhook_summaries_total Bursts of alert events delivered as one post since start.\n"
           "# TYPE pelmora_webhook_summaries_total counter\n"
           "pelmora_webhook_summaries_total " + std::to_string(counters.webhookSummaries.load()) + "\n";
    out += "# HELP pelmora_machines_refused_total New machines refused since start: over the cap, or over their "
           "address's rate.\n# TYPE pelmora_machines_refused_total counter\n"
           "pelmora_machines_refused_total{reason=\"cap\"} " + std::to_string(counters.machinesRefusedCap.load()) + "\n"
           "pelmora_machines_refused_total{reason=\"rate\"} " + std::to_string(counters.machinesRefusedRate.load()) +
           "\n";
    out += "# HELP pelmora_records_refused_address_total Records refused since start: another address than the "
           "machine's pinned one.\n# TYPE pelmora_records_refused_address_total counter\n"
           "pelmora_records_refused_address_total " + std::to_string(counters.recordsRefusedAddress.load()) + "\n";
    out += "# HELP pelmora_units_refused_total Unit submissions refused since start: over their address's rate.\n"
           "# TYPE pelmora_units_refused_total counter\n"
           "pelmora_units_refused_total " + std::to_string(counters.unitsRefused.load()) + "\n";
    out += "# HELP pelmora_http_requests_total HTTP requests by route and status code.\n"
           "# TYPE pelmora_http_requests_total counter\n";
    for (const auto& [key, count] : counters.requestCounts())
        out += "pelmora_http_requests_total{route=\"" + labelEscape(key.first) + "\",code=\"" +
               std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
    return out;
}

} // namespace pelmora_server
