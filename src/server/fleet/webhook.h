// The webhook: every alert raised or resolved is POSTed, as JSON
// {"event":"raised"|"resolved","alert":{...}}, to one URL, in the order they
// happened, each once. The events wait in the store, so the queue costs no
// memory however long the receiver is away, and a restart neither loses nor
// repeats one (but for one whose answer came just before a crash). Each post
// claims its events in the store first, for longer than the post may take,
// so that no other server posts them meanwhile; only the leader posts. A failure
// is retried after 1 s, then 2 s, 4 s, ... at most 5 minutes apart.
//
// A burst goes out as one post: at most BURST posts a minute, and when the
// events waiting would take more, they go together as
// {"event":"summary","raised":R,"resolved":S,"events":[the first 20 as above],"more":N}.
//
// Each post has one deadline for the whole request; at most a few KiB of
// the answer are read, nothing is decompressed, no redirect is followed,
// https is checked against the system's certificates (libcurl).
#pragma once

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "server/fleet/leadership.h"
#include "server/support/counters.h"
#include "server/support/defaults.h"
#include "server/support/periodic_worker.h"
#include "server/store/store.h"

namespace pelmora::server {

struct WebhookUrl {
    std::string scheme, host; // scheme http or https
    int port = 0;
    std::string target; // path and query, at least "/"
    // scheme://host:port, for the log: the path may hold a secret.
    std::string origin() const;
    std::string full() const { return origin() + target; }
};

// http://HOST[:PORT][/PATH][?QUERY] or https://...; no user:password@.
bool parseWebhookUrl(const std::string& text, WebhookUrl& url, std::string& error);

struct WebhookTiming {
    std::chrono::milliseconds firstRetry{defaults::kWebhookFirstRetryMilliseconds};
    std::chrono::milliseconds longestRetry{defaults::kWebhookLongestRetryMilliseconds};
    std::chrono::milliseconds timeout{std::chrono::seconds(defaults::kWebhookTimeoutSeconds)};
    std::chrono::milliseconds idle{defaults::kWebhookIdleMilliseconds};
    int burst = defaults::kWebhookBurstPerMinute;
    std::chrono::milliseconds window{defaults::kWebhookWindowMilliseconds};
};

class Webhook {
public:
    // Posting only while LEADERSHIP leads (always without one).
    Webhook(Store& store, Counters& counters, WebhookUrl url, WebhookTiming timing = {},
            const Leadership* leadership = nullptr);
    void run(); // delivers until stop()
    void stop();
    void wake(); // an event was stored: look now rather than after the idle wait

    // What one post of EVENTS says: the event itself, or a summary of several.
    static std::string body(const std::vector<AlertEvent>& events);

private:
    // One look at the store and at most one post; the wait before the next.
    PeriodicWorker::Wait step();
    // True once the receiver took it (a 2xx answer); else REASON says why not.
    bool post(const std::string& body, std::string& reason, bool& timedOut);

    Store& store_;
    Counters& counters_;
    WebhookUrl url_;
    WebhookTiming timing_;
    const Leadership* leadership_;
    const std::string holder_; // the claims' holder
    PeriodicWorker worker_; // its stop also cuts a request under way
    std::chrono::milliseconds retry_;
    std::deque<std::chrono::steady_clock::time_point> posted_; // within the last window
};

} // namespace pelmora::server
