#include "server/monitor/store_outage.h"

#include <ctime>

#include "server/support/log.h"

namespace pelmora::server {
namespace {

std::string machineKey(const MonitorRecord& r) { return r.computerName + '\0' + std::to_string(r.cpu); }

long long unitBytes(const UnitSubmission& u, const std::string& peer)
{
    return static_cast<long long>(sizeof(UnitSubmission) + 64 + u.user.size() + u.cpuVendor.size() +
                                  u.cpuString.size() + u.protein.size() + u.core.size() + peer.size());
}

} // namespace

StoreOutage::StoreOutage(Store& store, Counters& counters, FleetBounds* bounds, HeldUnitBounds units)
    : store_(store), counters_(counters), bounds_(bounds),
      maxMachines_(bounds && bounds->limits.maxMachines > 0 ? bounds->limits.maxMachines : defaults::kMaxMachines),
      unitBounds_(units)
{
}

void StoreOutage::unreachable(const std::string& why)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (down_) return;
    down_ = true;
    ++counters_.storeOutages;
    since_ = std::time(nullptr);
    recordsBack_ = unitsBack_ = notKept_ = 0;
    // The database's own words end the text, after the statement that met them.
    constexpr std::size_t kMostWhy = 240;
    const std::string told = why.size() > kMostWhy ? "..." + why.substr(why.size() - kMostWhy) : why;
    logEvent(Level::error, "the store cannot be reached (" + told +
                               "): records and units are kept until it answers again");
}

ExchangeResult StoreOutage::takeRecord(const MonitorRecord& r, const std::string& peer, long long now)
{
    // Twice at most: the store may come back between the look and the keeping.
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!down_) {
            try {
                const ExchangeResult result = pelmora::server::takeRecord(store_, bounds_, counters_, r, peer, now);
                if (result.machineId != 0 && !result.refused && !result.waiting) noteKnown(machineKey(r), peer);
                return result;
            } catch (const StoreUnreachable& e) {
                unreachable(e.what());
            }
        }
        const Kept kept = keepRecord(r, peer, now);
        if (kept == Kept::yes) return {};
        if (kept == Kept::no) break;
    }
    ExchangeResult refused;
    refused.refused = "the store cannot be reached and the record cannot be kept";
    return refused;
}

void StoreOutage::takeRecords(const std::vector<IncomingRecord>& records, std::vector<ExchangeResult>& results)
{
    results.clear();
    if (!down_) {
        const auto noteWritten = [&] {
            for (std::size_t i = 0; i < results.size(); ++i)
                if (results[i].machineId != 0 && !results[i].refused && !results[i].waiting)
                    noteKnown(machineKey(records[i].record), records[i].peer);
        };
        try {
            pelmora::server::takeRecords(store_, bounds_, counters_, records, results);
        } catch (const StoreUnreachable& e) {
            unreachable(e.what());
        } catch (...) {
            noteWritten();
            throw;
        }
        noteWritten();
    }
    for (std::size_t i = results.size(); i < records.size(); ++i) // kept, the store being out of reach
        results.push_back(takeRecord(records[i].record, records[i].peer, records[i].now));
}

void StoreOutage::noteKnown(const std::string& key, const std::string& peer)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = known_.find(key);
    if (found == known_.end()) {
        if (static_cast<long long>(known_.size()) < maxMachines_) known_.emplace(key, peer);
    } else if (found->second != peer) {
        found->second = peer;
    }
}

// Known machines are kept (from their own address when addresses are
// pinned); a new identity only when it would not wait for approval (it
// joins the list at its first record once the store is back), within the cap
// counted against every machine known, and within its address's rate.
StoreOutage::Kept StoreOutage::keepRecord(const MonitorRecord& r, const std::string& peer, long long now)
{
    const std::string key = machineKey(r);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!down_) return Kept::writeNow;
    const bool pinned = bounds_ && bounds_->limits.pinAddresses;
    const bool room = static_cast<long long>(records_.size()) < maxMachines_;
    bool keep = false, newIdentity = false;
    if (const auto held = records_.find(key); held != records_.end()) {
        keep = !pinned || held->second.peer == peer;
        newIdentity = held->second.newIdentity;
    } else if (const auto known = known_.find(key); known != known_.end()) {
        keep = room && (!pinned || known->second == peer);
    } else {
        newIdentity = true;
        keep = room && !(bounds_ && bounds_->limits.byApproval) &&
               static_cast<long long>(known_.size()) + newHeld_ < maxMachines_ &&
               (!bounds_ || bounds_->newMachines.take(peer));
        if (keep) ++newHeld_;
    }
    if (!keep) {
        ++counters_.reportsNotHeld;
        ++notKept_;
        return Kept::no;
    }
    records_[key] = HeldRecord{r, peer, now, newIdentity};
    ++counters_.reportsHeld;
    return Kept::yes;
}

StoreOutage::Unit StoreOutage::addUnit(const UnitSubmission& u, long long now, const std::string& peer,
                                       UnitCounts& counts)
{
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!down_) {
            try {
                counts = store_.addUnit(u, now, peer);
                return Unit::stored;
            } catch (const StoreUnreachable& e) {
                unreachable(e.what());
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!down_) continue;
        const long long bytes = unitBytes(u, peer);
        if (static_cast<long long>(units_.size()) >= unitBounds_.units || unitBytes_ + bytes > unitBounds_.bytes)
            break;
        units_.push_back(HeldUnit{u, peer, now, bytes});
        unitBytes_ += bytes;
        ++counters_.unitsHeld;
        return Unit::kept;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.unitsNotHeld;
    ++notKept_;
    return Unit::refused;
}

bool StoreOutage::recover()
{
    if (!down_) return true;
    if (!store_.ready()) return false;
    try {
        // The records first: a unit is credited to the machine whose current
        // or previous unit has its name, as the records written back leave them.
        while (writeBackRecords()) {
        }
        while (writeBackUnits()) {
        }
    } catch (const StoreUnreachable&) {
        return false; // gone again: the next look
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (!records_.empty() || !units_.empty()) return false; // more came meanwhile
    down_ = false;
    logEvent(Level::info, "the store answers again after " + std::to_string(std::time(nullptr) - since_) + " s: " +
                              std::to_string(recordsBack_) + " records and " + std::to_string(unitsBack_) +
                              " units written back, " + std::to_string(notKept_) + " not kept");
    return true;
}

void StoreOutage::putBack(std::vector<HeldRecord>& held, std::size_t from)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = from; i < held.size(); ++i) {
        const bool newIdentity = held[i].newIdentity;
        // Unless a newer one came meanwhile.
        if (records_.emplace(machineKey(held[i].record), std::move(held[i])).second && newIdentity) ++newHeld_;
    }
}

// A group of records in the transactions of an exchange's group; when the
// store fails on the group, each of the rest alone, so that one it fails on fails alone.
bool StoreOutage::writeBackRecords()
{
    std::vector<HeldRecord> held;
    std::vector<IncomingRecord> group;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A group takes records of one kind: new identities (their rate
        // taken when they were kept), or machines known.
        const bool newIdentities = !records_.empty() && records_.begin()->second.newIdentity;
        for (auto it = records_.begin(); it != records_.end() && held.size() < kWriteBackGroup;) {
            if (it->second.newIdentity != newIdentities) {
                ++it;
                continue;
            }
            held.push_back(std::move(it->second));
            it = records_.erase(it);
            if (newIdentities) --newHeld_;
        }
    }
    if (held.empty()) return false;
    const Taking taking{true, held.front().newIdentity};
    for (const HeldRecord& h : held) group.push_back({h.record, h.peer, h.at});
    std::vector<ExchangeResult> results;
    const auto written = [&](std::size_t i, const ExchangeResult& result) {
        if (result.machineId != 0 && !result.refused && !result.waiting) noteKnown(machineKey(held[i].record), held[i].peer);
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.reportsWrittenBack;
        ++recordsBack_;
    };
    std::size_t done = 0;
    try {
        pelmora::server::takeRecords(store_, bounds_, counters_, group, results, taking);
    } catch (const StoreUnreachable&) {
        for (; done < results.size(); ++done) written(done, results[done]);
        putBack(held, done);
        throw;
    } catch (const std::exception&) {
    }
    for (; done < results.size(); ++done) written(done, results[done]);
    for (; done < held.size(); ++done) {
        try {
            written(done, pelmora::server::takeRecord(store_, bounds_, counters_, held[done].record, held[done].peer,
                                                      held[done].at, taking));
        } catch (const StoreUnreachable&) {
            putBack(held, done);
            throw;
        } catch (const std::exception& e) {
            ++counters_.reportsNotHeld;
            logRepeated(Level::error, Repeat::noise, "record not written back", "",
                        "a record kept during the outage could not be written: " + std::string(e.what()));
        }
    }
    return true;
}

// A group of units in one transaction; when the store fails on the group
// (not for want of reaching it), each alone.
bool StoreOutage::writeBackUnits()
{
    std::vector<HeldUnit> held;
    std::vector<Store::LateUnit> group;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (!units_.empty() && held.size() < kWriteBackGroup) {
            held.push_back(std::move(units_.front()));
            units_.pop_front();
            unitBytes_ -= held.back().bytes;
        }
    }
    if (held.empty()) return false;
    for (const HeldUnit& h : held) group.push_back({h.unit, h.at, h.peer});
    const auto putBack = [&](std::size_t from) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = held.size(); i-- > from;) {
            unitBytes_ += held[i].bytes;
            units_.push_front(std::move(held[i]));
        }
    };
    const auto written = [&](long long many) {
        std::lock_guard<std::mutex> lock(mutex_);
        counters_.unitsWrittenBack += many;
        unitsBack_ += many;
    };
    try {
        store_.addUnits(group);
        written(static_cast<long long>(held.size()));
        return true;
    } catch (const StoreUnreachable&) {
        putBack(0);
        throw;
    } catch (const std::exception&) {
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        try {
            store_.addUnit(held[i].unit, held[i].at, held[i].peer);
            written(1);
        } catch (const StoreUnreachable&) {
            putBack(i);
            throw;
        } catch (const std::exception& e) {
            // Not tried again: a write whose answer was lost may have been stored.
            ++counters_.unitsNotHeld;
            logRepeated(Level::error, Repeat::noise, "unit not written back", "",
                        "unit " + held[i].unit.protein + " kept during the outage could not be written: " + e.what());
        }
    }
    return true;
}

} // namespace pelmora::server
