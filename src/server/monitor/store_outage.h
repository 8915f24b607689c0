// What the monitors and the stats site send while the store cannot be
// reached (a database server restarting), kept rather than lost and written
// when the store answers again:
// - each machine's latest record, one a machine (keyed by name and CPU, as
//   the store keys machines), at most --max-machines of them; its monitor is
//   answered "nothing to do". Written back with the time it came, under the
//   store's rules of then (cap, approval, pinned addresses), giving no
//   command: a pending one stays for the next exchange. The machine's row
//   ends as that record would have left it; the history keeps only it.
//   Written back in groups, as an exchange's group is; the units too.
// - finished units, at most kHeldUnits and kHeldUnitBytes, each written
//   once with the time it came; the sender of one past the bound gets 503.
// Kept in memory: a server stopped during the outage loses them.
// Once the store fails to be reached, no record or unit waits on it: all are
// kept until the upkeep's look finds it back and writes them back.
#pragma once

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "server/monitor/record_intake.h"
#include "server/store/store.h"
#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/support/fleet_bounds.h"

namespace pelmora::server {

// The finished units kept at most, in count and in bytes.
struct HeldUnitBounds {
    long long units = defaults::kHeldUnits;
    long long bytes = defaults::kHeldUnitBytes;
};

class StoreOutage {
public:
    // BOUNDS may be null: no bounds (then at most kMaxMachines machines kept).
    StoreOutage(Store& store, Counters& counters, FleetBounds* bounds, HeldUnitBounds units = {});

    // A monitor's record: written, or kept while the store cannot be reached
    // (answered with no command), or refused. Throws the store's other failures.
    ExchangeResult takeRecord(const MonitorRecord& record, const std::string& peer, long long now);

    // Records that came together, each written, kept or refused as
    // takeRecord would, written in one transaction when they can be:
    // RESULTS in their order. Throws the store's other failures; the
    // records past RESULTS are then not taken.
    void takeRecords(const std::vector<IncomingRecord>& records, std::vector<ExchangeResult>& results);

    enum class Unit { stored, kept, refused };
    // A finished unit: stored (COUNTS filled), kept, or refused (not kept:
    // past the bound). Throws the store's other failures.
    Unit addUnit(const UnitSubmission& unit, long long now, const std::string& peer, UnitCounts& counts);

    // Whether the store was found unreachable and what came since is not all written back.
    bool down() const { return down_.load(); }
    // The upkeep's look: when down and the store answers, writes back what
    // is kept. True when the store is in use again (nothing kept).
    bool recover();
    // The store was found unreachable (by a write here, or by the upkeep):
    // from now on records and units are kept. Logged once an outage.
    void unreachable(const std::string& why);

private:
    struct HeldRecord {
        MonitorRecord record;
        std::string peer;
        long long at = 0;
        bool newIdentity = false; // its place in its address's rate taken when kept
    };
    struct HeldUnit {
        UnitSubmission unit;
        std::string peer;
        long long at = 0;
        long long bytes = 0;
    };
    enum class Kept { yes, no, writeNow };
    Kept keepRecord(const MonitorRecord& record, const std::string& peer, long long now);
    void noteKnown(const std::string& key, const std::string& peer);
    // Writes back a group of records or units; false when none is left.
    static constexpr std::size_t kWriteBackGroup = 250;
    bool writeBackRecords();
    bool writeBackUnits();
    void putBack(std::vector<HeldRecord>& held, std::size_t from); // those from FROM on, kept again

    Store& store_;
    Counters& counters_;
    FleetBounds* bounds_;
    const long long maxMachines_;
    const HeldUnitBounds unitBounds_;
    std::mutex mutex_;
    std::atomic<bool> down_{false};
    // The machines this server wrote, with their address at that write: known
    // ones are kept during an outage, new identities only within the cap and
    // their address's rate. At most maxMachines_ of them.
    std::unordered_map<std::string, std::string> known_;
    std::unordered_map<std::string, HeldRecord> records_;
    std::deque<HeldUnit> units_;
    long long unitBytes_ = 0;
    long long newHeld_ = 0; // kept records of identities not known
    // This outage's figures, for its last line.
    long long since_ = 0, recordsBack_ = 0, unitsBack_ = 0, notKept_ = 0;
};

} // namespace pelmora::server
