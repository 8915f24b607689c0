// The slots the PostgreSQL store offers. Several servers offer slots at
// once, and a monitor keeps the first slot it is offered for ever, so two
// servers must never offer one slot in the same instant: each offers only
// slots it leases (slot_leases, a row a slot, one holder each until its
// lease runs out on the database's clock). The lease is taken and renewed
// by the offers themselves, a few slots at a time, in one statement: most
// offers write nothing (most monitors hold a slot already and send their
// own), and a server that crashed leaves its leases to run out.
#include <random>

#include "server/store/postgres/postgres_store.h"
#include "server/store/slot_order.h"

namespace pelmora::server {
namespace {
using Clock = std::chrono::steady_clock;

// The free slots a server leases at a time: the new monitors of a burst
// take a lease every this many, and a crashed server keeps at most this
// many (and those of its last open connections) from the others a minute.
constexpr int kSlotsLeased = 16;
constexpr int kSlotLeaseSeconds = 60;
// No slot is offered from a lease with less than this left, so it outlasts
// the exchange it is offered to (its deadline, then the write of its
// record, a statement's timeout at most) with room to spare. A busy server
// renews its lease once every 20 s.
constexpr int kSlotOfferSeconds = 40;
static_assert(kSlotOfferSeconds > defaults::kExchangeSeconds + PgSettings{}.statementSeconds);
// After a lease that found no free slot (every slot held or leased), the
// next waits this long, unless a machine took or gave up a slot meanwhile.
constexpr auto kSlotRetry = std::chrono::seconds(2);
// Slots given up ahead of the lease's first are looked for at most this often.
constexpr auto kSlotRelook = std::chrono::seconds(1);

int rank(int slot) { return slot > 0 ? slot : slot + 256; } // its place in the offering order, 1 to 255
int rank(const std::bitset<256>& slots) // of the first of SLOTS; 256 when none
{
    const int first = firstFreeSlot(~slots);
    return first == 0 ? 256 : rank(first);
}
std::bitset<256> slotSet(const std::vector<int>& slots)
{
    std::bitset<256> set;
    for (const int slot : slots) set.set(static_cast<unsigned>(slot & 0xFF));
    return set;
}
std::string arrayOf(const std::bitset<256>& slots) // as PostgreSQL reads a bigint[]
{
    std::string text = "{";
    for (int byte = 1; byte < 256; ++byte)
        if (slots.test(static_cast<unsigned>(byte)))
            text += (text.size() > 1 ? "," : "") + std::to_string(static_cast<signed char>(byte));
    return text + "}";
}
} // namespace

std::string PostgresStore::newSlotHolder()
{
    std::random_device random;
    return std::to_string(random()) + "-" + std::to_string(random());
}

int PostgresStore::freeSlot(const std::vector<int>& offered)
{
    // On a reader, never waiting on the writer's group; read at every offer,
    // so another server's slot is never offered again once it is committed.
    std::lock_guard<std::mutex> lock(slotsMutex_);
    const std::bitset<256> heldBefore = slotsRead_.held, open = slotSet(offered);
    const bool readBefore = slotsRead_.change >= 0;
    reading([&](PgConnection& c) {
        // One snapshot, one round trip: the counter, and the slots held only
        // when some server changed who holds one since the last read.
        const PgRows s = c.query("SELECT t.value, h.slot FROM totals t LEFT JOIN (SELECT DISTINCT slot FROM machines"
                                 " WHERE stopped = 0 AND slot <> 0) h ON t.value <> :known"
                                 " WHERE t.name = 'slot_change'").bind(":known", slotsRead_.change).run();
        const long long change = s.empty() ? 0 : s.integer(0, 0);
        if (change == slotsRead_.change) return;
        slotsRead_.held.reset();
        for (int i = 0; i < s.size(); ++i)
            if (!s.isNull(i, 1)) slotsRead_.held.set(static_cast<unsigned>(s.whole(i, 1) & 0xFF));
        slotsRead_.change = change;
    });
    const Clock::time_point now = Clock::now();
    const std::bitset<256> unheld = ~slotsRead_.held & ~open;
    if (readBefore) slotLease_.freed |= heldBefore & ~slotsRead_.held;
    const bool current = slotLease_.until - now >= std::chrono::seconds(kSlotOfferSeconds);
    const std::bitset<256> offerable = current ? slotLease_.slots & unheld : std::bitset<256>();
    // None left to offer: leased again, unless the last lease found none and
    // nothing changed since (no machine took or gave up a slot, and the
    // others' leases had little time to run out), so a full fleet's
    // connections do not each write.
    const bool dry = offerable.none() && (now >= slotLease_.retryAt || slotsRead_.change != slotLease_.dryAt);
    // Slots machines gave up since the last lease (they stopped, or were
    // removed) ahead of the lease's first: leased again, once a second at
    // most, so offers stay low in the order as on one server. Each renewal
    // leases the first free too.
    const std::bitset<256> freed = slotLease_.freed & unheld;
    const bool lower = freed.any() && now >= slotLease_.relookAt && rank(freed) < rank(offerable);
    if (!current || dry || lower) {
        if (lower) slotLease_.relookAt = now + kSlotRelook;
        slotLease_.freed.reset();
        leaseSlots(open);
        const bool none = (slotLease_.slots & unheld).none();
        slotLease_.retryAt = none ? now + kSlotRetry : Clock::time_point{};
        slotLease_.dryAt = none ? slotsRead_.change : -1;
    }
    if (slotLease_.until - now < std::chrono::seconds(kSlotOfferSeconds)) return 0;
    return firstFreeSlot(~(slotLease_.slots & unheld));
}

// Keeps the leased slots offered to open connections, and leases the first
// free ones beside them (held by no machine that has not stopped, leased by
// no other server now), up to kSlotsLeased; gives back the rest of its own.
// Two servers after the same slots at once pass by each other's (SKIP LOCKED):
// neither waits, and each leases others.
void PostgresStore::leaseSlots(const std::bitset<256>& offered)
{
    const Clock::time_point asked = Clock::now();
    const PgRows rows = reading([&](PgConnection& c) {
        return c.query(
            "WITH taken AS (SELECT l.slot FROM slot_leases l WHERE (l.holder = :holder OR l.until <= now())"
            "  AND l.slot <> ALL (CAST(:kept AS bigint[]))"
            "  AND NOT EXISTS (SELECT 1 FROM machines m WHERE m.slot = l.slot AND m.stopped = 0 AND m.slot <> 0)"
            "  ORDER BY l.rank LIMIT :free FOR UPDATE SKIP LOCKED)"
            " UPDATE slot_leases SET"
            "  holder = CASE WHEN slot IN (SELECT slot FROM taken) OR slot = ANY (CAST(:kept AS bigint[]))"
            "   THEN :holder ELSE '' END,"
            "  until = CASE WHEN slot IN (SELECT slot FROM taken) OR slot = ANY (CAST(:kept AS bigint[]))"
            "   THEN now() + make_interval(secs => :seconds) ELSE '-infinity' END"
            " WHERE slot IN (SELECT slot FROM taken) OR holder = :holder"
            " RETURNING slot, holder = :holder")
            .bind(":kept", arrayOf(offered & slotLease_.slots)).bind(":holder", slotHolder_)
            .bind(":free", kSlotsLeased).bind(":seconds", kSlotLeaseSeconds).run();
    });
    slotLease_.slots.reset();
    for (int i = 0; i < rows.size(); ++i)
        if (rows.flag(i, 1)) slotLease_.slots.set(static_cast<unsigned>(rows.whole(i, 0) & 0xFF));
    // On this server's clock, from before the statement was sent: never later than the database's.
    slotLease_.until = asked + std::chrono::seconds(kSlotLeaseSeconds - 1);
}

} // namespace pelmora::server
