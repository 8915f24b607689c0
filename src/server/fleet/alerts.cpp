#include "server/fleet/alerts.h"

#include <algorithm>
#include <cstring>
#include <ctime>

#include "server/support/defaults.h"
#include "server/support/iso_time.h"
#include "server/support/log.h"
#include "server/fleet/webhook.h"

namespace pelmora::server {
namespace {

using defaults::kAlertsLoggedAtOnce;
using defaults::kPruneEverySeconds;

} // namespace

AlertEngine::AlertEngine(Store& store, StatusLimits limits, long long startedAt, bool forWebhook)
    : store_(store), limits_(limits), startedAt_(startedAt), forWebhook_(forWebhook)
{
}

const char* AlertEngine::status(const Seen& seen, long long now)
{
    scratch_.stopped = seen.stopped;
    scratch_.lastSeen = seen.lastSeen;
    scratch_.changedAt = seen.changedAt;
    scratch_.resumedAt = seen.resumedAt;
    return machineStatus(scratch_, now, limits_).status;
}

const char* AlertEngine::wantedKind(long long id, const char* status, const Seen& seen, long long now)
{
    const auto open = open_.find(id);
    const char* kind = std::strcmp(status, "stalled") == 0 ? "stalled" : nullptr;
    if (std::strcmp(status, "offline") == 0) {
        const bool raised = open != open_.end() && open->second == "offline";
        // Silence from before this server started is not the machine's doing.
        if (raised || now - std::max(seen.lastSeen, startedAt_) > limits_.offlineAfter) kind = "offline";
    }
    // Muted: an open alert stays while its state holds and resolves as
    // ever, but none is raised; one that still holds at the mute's end is raised then.
    if (kind && seen.mutedUntil > now && (open == open_.end() || open->second != kind)) return nullptr;
    return kind;
}

std::vector<AlertRow> AlertEngine::evaluate(long long now)
{
    if (!loaded_ || removals_ != store_.removals()) { // machines removed: their state goes too
        removals_ = store_.removals();
        open_.clear();
        for (const AlertRow& a : store_.alerts({true, 0, -1})) open_[a.machineId] = a.kind;
        noted_.clear();
        for (const StatusEvent& e : store_.lastStatuses()) noted_[e.machineId] = {e.status, e.at};
        machines_.clear();
        machinesChange_ = 0;
        loaded_ = true;
    }
    // Only the rows written since the last look: a few per cent of a fleet a second.
    long long latest = 0;
    for (const MachineRow& m : store_.machinesChangedSince(machinesChange_, latest))
        machines_[m.id] = {m.stopped, m.lastSeen, m.changedAt, m.resumedAt, m.mutedUntil};
    machinesChange_ = latest;

    try {
        store_.addStatusEvents(statusChanges(now), defaults::kStatusEventsKept);
    } catch (...) {
        loaded_ = false; // read the last ones again next time
        throw;
    }
    std::vector<AlertWanted> wanted;
    for (const auto& [id, seen] : machines_) {
        const char* kind = wantedKind(id, status(seen, now), seen, now);
        const auto open = open_.find(id);
        const bool same = open == open_.end() ? kind == nullptr : kind != nullptr && open->second == kind;
        if (!same) wanted.push_back({id, kind});
    }
    if (wanted.empty()) return {};
    // Ascending ids: the alerts of one look are numbered in machine order.
    std::sort(wanted.begin(), wanted.end(),
              [](const AlertWanted& a, const AlertWanted& b) { return a.machineId < b.machineId; });
    std::vector<AlertRow> changed;
    try {
        changed = store_.setAlerts(wanted, now, forWebhook_);
    } catch (...) {
        loaded_ = false; // part may be written: read the open alerts again next time
        throw;
    }
    for (const AlertWanted& w : wanted) {
        if (w.kind)
            open_[w.machineId] = w.kind;
        else
            open_.erase(w.machineId);
    }
    return changed;
}

std::vector<StatusEvent> AlertEngine::statusChanges(long long now)
{
    std::vector<StatusEvent> events;
    for (const auto& [id, seen] : machines_) {
        const char* current = status(seen, now);
        Noted& noted = noted_[id];
        if (noted.status == current) continue;
        // Its own time, from the row, so a look a second late or a restart
        // does not move it; never before the change it follows, nor ahead.
        // Back from a silence, whatever it is now began with the report that ended it.
        long long since = statusSince(scratch_, current, limits_);
        if (noted.status == "offline") since = std::max(since, scratch_.lastSeen);
        const long long at = std::clamp(since, noted.at, std::max(noted.at, now));
        noted = {current, at};
        events.push_back({id, at, current});
    }
    std::sort(events.begin(), events.end(),
              [](const StatusEvent& a, const StatusEvent& b) { return a.machineId < b.machineId; });
    return events;
}

Alerting::Alerting(Store& store, Counters& counters, StatusLimits limits, int keepDays, const std::string& webhookUrl,
                   WebhookTiming timing, const Leadership* leadership)
    : store_(store), engine_(store, limits, std::time(nullptr), !webhookUrl.empty()), leadership_(leadership),
      keepDays_(keepDays)
{
    if (webhookUrl.empty()) return;
    WebhookUrl url;
    std::string error;
    if (parseWebhookUrl(webhookUrl, url, error)) {
        webhook_ = std::make_unique<Webhook>(store, counters, url, timing, leadership);
        logEvent(Level::info, "alerts go to the webhook at " + url.origin());
    } else {
        logEvent(Level::error, "--webhook: " + error);
    }
}

Alerting::~Alerting() { stop(); }

void Alerting::start()
{
    looking_.start(std::chrono::milliseconds(defaults::kAlertLookMilliseconds), [this] { look(); });
    if (webhook_) webhookThread_ = std::thread([this] { webhook_->run(); });
}

void Alerting::stop()
{
    if (webhook_) webhook_->stop(); // both told before either is waited for
    looking_.stop();
    if (webhookThread_.joinable()) webhookThread_.join();
}

void Alerting::look()
{
    if (leadership_) {
        if (!leadership_->leads()) return;
        if (term_ != leadership_->terms()) {
            term_ = leadership_->terms();
            engine_.reread();
        }
    }
    try {
        const long long now = std::time(nullptr);
        const std::vector<AlertRow> changed = engine_.evaluate(now);
        for (std::size_t i = 0; i < changed.size() && i < kAlertsLoggedAtOnce; ++i) {
            const AlertRow& a = changed[i];
            logEvent(Level::info, "alert " + std::to_string(a.id) + ": " + a.machine + " " + a.kind +
                                      (a.resolvedAt ? ", resolved" : ", raised"));
        }
        if (changed.size() > kAlertsLoggedAtOnce)
            logEvent(Level::info, "and " + std::to_string(changed.size() - kAlertsLoggedAtOnce) +
                                      " more alerts raised or resolved");
        if (!changed.empty() && webhook_) webhook_->wake();
        if (now - lastPrune_ >= kPruneEverySeconds) {
            lastPrune_ = now;
            store_.pruneAlerts(now - keepDays_ * 86400LL);
            store_.pruneStatusEvents(now - defaults::kStatusEventDays * 86400LL);
        }
    } catch (const std::exception& e) { // a store down fails every look: a line a minute
        logRepeated(Level::error, Repeat::noise, "alerts failed", "", std::string("alerts: ") + e.what());
    }
}

} // namespace pelmora::server
