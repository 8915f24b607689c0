// What the server counts while it runs, for /metrics.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace pelmora::server {

struct Counters {
    std::atomic<long long> parseFailures{0};
    std::atomic<long long> refusedConnections{0}; // over the connection limit, both listeners
    std::atomic<long long> timedOut{0};           // monitor connections cut at a time-out
    std::atomic<long long> proxyHeadersRefused{0}; // PROXY headers from peers not trusted, or bad ones from trusted
    std::atomic<long long> webhookFailures{0};    // tries to deliver an alert event that failed
    std::atomic<long long> webhookTimeouts{0};    // of those, the receiver did not answer in time
    std::atomic<long long> webhookSummaries{0};   // bursts delivered as one post
    std::atomic<long long> machinesRefusedCap{0};  // new identities over --max-machines
    std::atomic<long long> machinesRefusedRate{0}; // new identities over their address's rate
    std::atomic<long long> recordsRefusedAddress{0}; // from another address than a pinned machine's
    std::atomic<long long> unitsRefused{0};        // unit submissions over their address's rate
    std::atomic<long long> storeBytes{0};          // the store's size at the last look
    std::atomic<long long> storeMaxBytes{0};       // its bound (0: not known yet)
    std::atomic<bool> storeAtLimit{false};         // past --max-store-size: thinning the oldest history
    std::atomic<long long> storeLimitReached{0};   // times it reached the bound
    std::atomic<long long> reportsThinned{0};      // history rows removed to get back under it
    std::atomic<long long> answersDelayed{0};      // HTTP requests that waited for the answer budget
    std::atomic<long long> answersRefused{0};      // of those, answered 503 when the wait ran out
    std::atomic<long long> answerBytesWriting{0};  // now: bytes of HTTP answers being written
    // While the store could not be reached (monitor/store_outage.h): kept,
    // written back once it answered, and not kept (answered "nothing to do", or 503).
    std::atomic<long long> reportsHeld{0}, reportsWrittenBack{0}, reportsNotHeld{0};
    std::atomic<long long> unitsHeld{0}, unitsWrittenBack{0}, unitsNotHeld{0};
    std::atomic<long long> storeOutages{0};
    std::atomic<bool> leading{false};              // this server holds the lease on the team's duties

    void countRequest(const std::string& route, int status)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++requests[{route, status}];
    }
    std::map<std::pair<std::string, int>, long long> requestCounts()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }

private:
    std::mutex mutex;
    std::map<std::pair<std::string, int>, long long> requests;
};

} // namespace pelmora::server
