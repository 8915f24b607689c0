#include "server/fleet_view.h"

#include <chrono>
#include <nlohmann/json.hpp>

#include "server/alerts.h"
#include "server/iso_time.h"

namespace pelmora_server {
namespace {

using nlohmann::ordered_json;

constexpr std::size_t kMessagesKept = 64;
// And no more than this much of them (the newest is always kept): with a
// large fleet reporting fast each message holds most of it, and a stream
// reads every one within a second or starts again from a snapshot.
constexpr std::size_t kMessageBytesKept = 4 * 1024 * 1024;

} // namespace

// Through one object whose keys are made once.
std::string FleetView::text(const MachineRow& m, const MachineStatus& s)
{
    static const ordered_json keys = [] {
        ordered_json object = ordered_json::object();
        for (const char* key : {"id", "name", "cpu", "slot", "user", "team", "unit", "progress", "core", "frames",
                                "points", "units_seen", "cpu_mhz", "cpu_vendor", "in_tray", "status", "last_seen",
                                "progress_per_hour", "eta", "ppd", "pending_command", "address", "previous_address",
                                "address_changed_at"})
            object[key] = nullptr;
        return object;
    }();
    ordered_json object = keys;
    auto field = object.get_ref<ordered_json::object_t&>().begin();
    const auto put = [&field](auto&& value) { (field++)->second = std::forward<decltype(value)>(value); };
    put(m.id), put(m.name), put(m.cpu), put(m.slot), put(m.user), put(m.team), put(m.unit);
    put(m.progress), put(m.core), put(m.frames), put(m.points), put(m.unitsSeen), put(m.cpuMhz);
    put(m.cpuVendor), put(m.inTray), put(s.status), put(isoTime(m.lastSeen));
    put(s.progressPerHour ? ordered_json(*s.progressPerHour) : ordered_json());
    put(s.eta ? ordered_json(isoTime(*s.eta)) : ordered_json());
    put(s.pointsPerDay ? ordered_json(*s.pointsPerDay) : ordered_json());
    put(m.pendingCommand.empty() ? ordered_json() : ordered_json(m.pendingCommand));
    put(m.address), put(m.previousAddress);
    put(m.addressChangedAt ? ordered_json(isoTime(m.addressChangedAt)) : ordered_json());
    return object.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

void FleetView::refresh(long long now)
{
    if (store_.removals() != removals_) {
        // Machines were removed: read them all again, and have every
        // stream start again from a snapshot without them.
        removals_ = store_.removals();
        machines_.clear();
        unsent_.clear();
        lastChange_ = 0;
        recent_.clear();
        lastNumber_ += 2;
        arrived_.notify_all();
    }
    long long latest = 0;
    for (MachineRow& m : store_.machinesChangedSince(lastChange_, latest)) {
        Kept& kept = machines_[m.id];
        kept.row = std::move(m);
        kept.text.clear();
    }
    lastChange_ = latest;
    // A status also changes with the clock alone (offline).
    for (auto& [id, kept] : machines_) {
        const MachineStatus s = machineStatus(kept.row, now, limits_);
        if (!kept.text.empty() && kept.status == s.status) continue;
        kept.status = s.status;
        kept.text = text(kept.row, s);
        unsent_.insert(id);
    }
}

std::string FleetView::listBody(const char* start) const
{
    std::string body = start;
    body.reserve(machines_.size() * 420 + 32);
    for (const auto& [id, kept] : machines_) {
        if (body.back() != '[') body += ',';
        body += kept.text;
    }
    return body += "]}";
}

std::string FleetView::listJson(long long now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(now);
    return listBody("{\"machines\":[");
}

std::optional<std::string> FleetView::machineJson(long long id, long long now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(now);
    const auto found = machines_.find(id);
    if (found == machines_.end()) return std::nullopt;
    return found->second.text;
}

void FleetView::push(std::string event, std::string data, std::vector<long long> machines)
{
    recentBytes_ += data.size();
    recent_.push_back({++lastNumber_, std::move(event), std::move(data), std::move(machines)});
    while (recent_.size() > kMessagesKept || (recent_.size() > 1 && recentBytes_ > kMessageBytesKept)) {
        recentBytes_ -= recent_.front().data.size();
        recent_.pop_front();
    }
    arrived_.notify_all();
}

void FleetView::publish(long long now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    long long latest = lastAlertChange_;
    const std::vector<AlertRow> alerts = store_.alertsChangedSince(lastAlertChange_, latest);
    lastAlertChange_ = latest;
    if (!alerts.empty()) {
        ordered_json list = ordered_json::array();
        for (const AlertRow& a : alerts) list.push_back(alertJson(a));
        push("alerts", ordered_json{{"alerts", std::move(list)}}.dump(-1, ' ', false,
                                                                       ordered_json::error_handler_t::replace));
    }
    refresh(now);
    if (unsent_.empty()) return;
    std::string data = "{\"full\":false,\"machines\":[";
    for (const long long id : unsent_) {
        if (data.back() != '[') data += ',';
        data += machines_[id].text;
    }
    push("machines", data + "]}", std::vector<long long>(unsent_.begin(), unsent_.end()));
    unsent_.clear();
}

std::string FleetView::subscribe(long long now, long long& number, long long machine)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(now);
    // The snapshot may hold changes not yet sent: they come again in the
    // next message, whole, which changes nothing.
    number = lastNumber_;
    if (machine == 0) return listBody("{\"full\":true,\"machines\":[");
    const auto found = machines_.find(machine);
    return "{\"full\":true,\"machines\":[" + (found == machines_.end() ? "" : found->second.text) + "]}";
}

bool FleetView::next(long long number, int milliseconds, std::vector<StreamMessage>& messages)
{
    messages.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                      [&] { return stopping_ || lastNumber_ > number; });
    if (stopping_) return false;
    if (lastNumber_ == number) return true;
    if (recent_.empty() || recent_.front().number > number + 1) return false;
    for (const StreamMessage& m : recent_)
        if (m.number > number) messages.push_back(m);
    return true;
}

bool FleetView::stopping()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopping_;
}

void FleetView::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    arrived_.notify_all();
}

} // namespace pelmora_server
