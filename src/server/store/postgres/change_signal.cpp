// Word of changes between the servers on one database: each commit is
// followed by a NOTIFY on the writer, at most one every kAnnounceEveryMs (an
// exchange rate of thousands a second would otherwise send as many, to
// every listener); a commit within that time is told by the listening
// thread at its next turn. Each server listens on one connection of its own,
// made again when lost.
#include <chrono>
#include <thread>

#include "server/store/postgres/postgres_store.h"

namespace pelmora::server {
namespace {

constexpr const char* kListen = "LISTEN pelmora_changes";
constexpr const char* kNotify = "NOTIFY pelmora_changes";
constexpr long long kAnnounceEveryMs = 50;
// A lost listening connection is made again at most this often.
constexpr auto kReconnectEvery = std::chrono::seconds(1);

long long steadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Never throws: after a commit, a failure here must not make the write be tried again.
bool tell(PgConnection& c)
{
    try {
        c.execute(kNotify);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

void PostgresStore::announce()
{
    const long long now = steadyMs();
    if (now - announcedAt_ < kAnnounceEveryMs || !writer_ || !tell(*writer_)) {
        untold_ = true; // the write stands: the listener tells it, else the servers' polling finds it
        return;
    }
    announcedAt_ = now;
}

class PgChangeSignal final : public ChangeSignal {
public:
    explicit PgChangeSignal(PostgresStore& store) : store_(store) {}

    bool wait(int milliseconds) override
    {
        if (!connection_) {
            if (reconnect()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            return false;
        }
        try {
            tellUntold();
            return connection_->awaitNotification(milliseconds);
        } catch (const PgError&) {
            connection_.reset();
            return false;
        }
    }

private:
    // Anything may have changed while there was none: the caller looks.
    bool reconnect()
    {
        const auto now = std::chrono::steady_clock::now();
        if (now - lastTry_ < kReconnectEvery) return false;
        lastTry_ = now;
        try {
            connection_ = std::make_unique<PgConnection>(store_.uri_, store_.settings_);
            connection_->execute(kListen);
            return true;
        } catch (const PgError&) {
            connection_.reset();
            return false;
        }
    }
    void tellUntold()
    {
        const long long now = steadyMs();
        if (!store_.untold_ || now - store_.announcedAt_ < kAnnounceEveryMs) return;
        store_.untold_ = false;
        store_.announcedAt_ = now;
        if (!tell(*connection_)) throw PgError("telling of changes failed", "", true);
    }

    PostgresStore& store_;
    std::unique_ptr<PgConnection> connection_;
    std::chrono::steady_clock::time_point lastTry_{};
};

std::unique_ptr<ChangeSignal> PostgresStore::changeSignal() { return std::make_unique<PgChangeSignal>(*this); }

} // namespace pelmora::server
