// The webhook: every alert raised or resolved is POSTed, as JSON
// {"event":"raised"|"resolved","alert":{...}}, to one URL, in the order they
// happened, each once. The events wait in the store, so the queue costs no
// memory however long the receiver is away, and a restart neither loses nor
// repeats one (but for one whose answer came just before a crash). A failure
// is retried after 1 s, then 2 s, 4 s, ... at most 5 minutes apart.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "server/counters.h"
#include "server/store.h"

namespace httplib {
class Client;
}

namespace pelmora_server {

struct WebhookUrl {
    std::string scheme, host; // scheme http or https
    int port = 0;
    std::string target; // path and query, at least "/"
    // scheme://host:port, for the log: the path may hold a secret.
    std::string origin() const;
};

// http://HOST[:PORT][/PATH][?QUERY] or https://...; no user:password@.
bool parseWebhookUrl(const std::string& text, WebhookUrl& url, std::string& error);

struct WebhookTiming {
    std::chrono::milliseconds firstRetry{1000}, longestRetry{300000};
    std::chrono::milliseconds timeout{10000}; // to connect, and for each read and write
    std::chrono::milliseconds idle{1000};     // between looks at the store when nothing is due
};

class Webhook {
public:
    Webhook(Store& store, Counters& counters, WebhookUrl url, WebhookTiming timing = {});
    void run(); // delivers until stop()
    void stop();
    void wake(); // an event was stored: look now rather than after the idle wait

private:
    // True once the receiver took it (a 2xx answer); else REASON says why not.
    bool post(const AlertEvent& event, std::string& reason);
    // False when stopped meanwhile.
    bool pause(std::chrono::milliseconds time, bool wakeable);

    Store& store_;
    Counters& counters_;
    WebhookUrl url_;
    WebhookTiming timing_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false, woken_ = false;
    httplib::Client* client_ = nullptr; // the request under way, for stop()
};

} // namespace pelmora_server
