#include "server/fleet/fleet_view.h"

#include <chrono>

#include "server/fleet/json_shapes.h"
#include "server/support/defaults.h"

namespace pelmora::server {
namespace {

using defaults::kMessagesKept;
// And no more than kMessageBytesKept of them (the newest is always kept):
// with a large fleet reporting fast each message holds most of it, and a
// stream reads every one within a second or starts again from a snapshot.
using defaults::kMessageBytesKept;

} // namespace

std::string FleetView::text(const MachineRow& m, const MachineStatus& s)
{
    return jsonText(pelmora::server::machineJson(m, s));
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
        ++version_;
        arrived_.notify_all();
    }
    long long latest = 0;
    for (MachineRow& m : store_.machinesChangedSince(lastChange_, latest)) {
        Kept& kept = machines_[m.id];
        kept.row = std::move(m);
        kept.text.reset();
    }
    lastChange_ = latest;
    // A status also changes with the clock alone (offline), and so does a mute (it ends).
    for (auto& [id, kept] : machines_) {
        const MachineStatus s = machineStatus(kept.row, now, limits_);
        if (kept.text && kept.status == s.status && kept.muted == s.mutedUntil.has_value()) continue;
        kept.status = s.status;
        kept.muted = s.mutedUntil.has_value();
        kept.text = std::make_shared<const std::string>(text(kept.row, s));
        unsent_.insert(id);
        ++version_;
    }
}

std::string FleetView::listBody(const char* start, const std::vector<std::shared_ptr<const std::string>>& texts)
{
    std::size_t size = std::char_traits<char>::length(start) + texts.size() + 2;
    for (const auto& text : texts) size += text->size();
    std::string body;
    body.reserve(size); // exactly: the list is kept as long as it is shared
    body = start;
    for (const auto& text : texts) {
        if (body.back() != '[') body += ',';
        body += *text;
    }
    return body += "]}";
}

std::shared_ptr<const SharedText> FleetView::list(long long now) { return list(now, false); }

std::shared_ptr<const SharedText> FleetView::snapshot(long long now) { return list(now, true); }

std::shared_ptr<const SharedText> FleetView::list(long long now, bool forStream)
{
    long long version = 0, oldest = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refresh(now);
        version = version_;
        oldest = recent_.empty() ? lastNumber_ : recent_.front().number - 1;
    }
    const AnswerCache::Maker make = listMaker(now);
    std::shared_ptr<const SharedText> kept = list_.get(version, make);
    // A stream follows from the tag on: the messages after it must still be kept.
    if (forStream && kept->tag() < oldest) kept = list_.get(version, make, true);
    return kept;
}

std::optional<std::string> FleetView::machineJson(long long id, long long now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(now);
    const auto found = machines_.find(id);
    if (found == machines_.end()) return std::nullopt;
    return *found->second.text;
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

AnswerCache::Maker FleetView::listMaker(long long now)
{
    return [this, now](long long& tag, std::size_t) {
        std::vector<std::shared_ptr<const std::string>> texts;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            refresh(now);
            // The text may hold changes not yet sent: they come again in the
            // next message, whole, which changes nothing.
            tag = lastNumber_;
            texts.reserve(machines_.size());
            for (const auto& [id, kept] : machines_) texts.push_back(kept.text);
        }
        // Joined outside the lock: tens of MB take a while under load, and
        // every request for the list and every stream asks the view first.
        return listBody("{\"machines\":[", texts);
    };
}

void FleetView::publish(long long now)
{
    publishMessages(now);
    long long version = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        version = version_;
    }
    list_.renew(version, listMaker(now));
}

void FleetView::publishMessages(long long now)
{
    std::lock_guard<std::mutex> lock(mutex_);
    long long latest = lastAlertChange_;
    const std::vector<AlertRow> alerts = store_.alertsChangedSince(lastAlertChange_, latest);
    lastAlertChange_ = latest;
    if (!alerts.empty()) {
        push("alerts", jsonText(pelmora::server::listJson("alerts", alerts, alertJson)));
    }
    refresh(now);
    if (unsent_.empty()) return;
    std::vector<std::shared_ptr<const std::string>> texts;
    texts.reserve(unsent_.size());
    for (const long long id : unsent_) texts.push_back(machines_[id].text);
    push("machines", listBody("{\"full\":false,\"machines\":[", texts),
         std::vector<long long>(unsent_.begin(), unsent_.end()));
    unsent_.clear();
}

std::string FleetView::subscribe(long long now, long long& number, long long machine)
{
    std::lock_guard<std::mutex> lock(mutex_);
    refresh(now);
    number = lastNumber_;
    const auto found = machines_.find(machine);
    return "{\"full\":true,\"machines\":[" + (found == machines_.end() ? "" : *found->second.text) + "]}";
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

} // namespace pelmora::server
