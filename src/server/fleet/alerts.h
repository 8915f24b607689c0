// Alerts: a machine that goes offline or stalls (its status, as
// machineStatus() gives it) raises an alert; back to folding, or stopped by
// an exit record, resolves it. A muted machine (Store::muteMachine) raises
// none until its mute ends. The alerts live in the store, so a restart
// keeps the open ones open and raises nothing twice.
//
// Others learn of alerts from the store: Store::alertsChangedSince() gives
// the alerts raised or resolved after a change number (poll it, as the live
// event stream does), alertJson() (fleet/json_shapes.h) makes the object the
// API, the webhook and the event stream all send.
#pragma once

#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "server/support/counters.h"
#include "server/fleet/leadership.h"
#include "server/fleet/machine_status.h"
#include "server/support/periodic_worker.h"
#include "server/store/store.h"
#include "server/fleet/webhook.h"

namespace pelmora::server {

// Looks at every machine and brings its alerts in line with its status;
// notes each change of status in the store (the machine's event log).
class AlertEngine {
public:
    // STARTED_AT: when this server started. A machine is raised offline only
    // once it has had --offline-after to report to this server, so a server
    // that was down a while does not raise the whole fleet at its start.
    // FOR_WEBHOOK: whether the events are to be sent to a webhook.
    AlertEngine(Store& store, StatusLimits limits, long long startedAt, bool forWebhook);

    // One look at NOW; the alerts raised or resolved by it.
    std::vector<AlertRow> evaluate(long long now);
    // The open alerts and last statuses are read from the store again at
    // the next look: another server may have changed them.
    void reread() { loaded_ = false; }

private:
    struct Seen {
        bool stopped = false;
        long long lastSeen = 0, changedAt = 0, resumedAt = 0, mutedUntil = 0;
    };
    struct Noted {
        std::string status;
        long long at = 0;
    };
    const char* status(const Seen& seen, long long now);
    const char* wantedKind(long long id, const char* status, const Seen& seen, long long now);
    // The events of the machines whose status changed since the last look.
    std::vector<StatusEvent> statusChanges(long long now);

    Store& store_;
    StatusLimits limits_;
    long long startedAt_;
    bool forWebhook_;
    bool loaded_ = false;
    long long removals_ = 0;
    long long machinesChange_ = 0;
    std::unordered_map<long long, Seen> machines_;    // by id: what the status needs
    std::unordered_map<long long, std::string> open_; // by machine: the kind of its open alert
    std::unordered_map<long long, Noted> noted_;      // by machine: its last status in the store
    MachineRow scratch_;
};

// The alert engine's thread (a look every second, old alerts pruned every
// hour) and, with a webhook URL, the webhook's thread; both at work only
// while LEADERSHIP leads (always without one).
class Alerting {
public:
    Alerting(Store& store, Counters& counters, StatusLimits limits, int keepDays, const std::string& webhookUrl,
             WebhookTiming timing = {}, const Leadership* leadership = nullptr);
    ~Alerting();
    void start();
    void stop();

private:
    void look();

    Store& store_;
    AlertEngine engine_;
    const Leadership* leadership_;
    long long term_ = 0;
    int keepDays_;
    long long lastPrune_ = 0;
    std::unique_ptr<Webhook> webhook_;
    PeriodicWorker looking_;
    std::thread webhookThread_;
};

} // namespace pelmora::server
