#include "server/webhook.h"

#include <algorithm>
#include <ctime>
#include <httplib.h>
#include <regex>

#include "server/alerts.h"
#include "server/log.h"

namespace pelmora_server {
namespace {

std::string describe(httplib::Error error)
{
    switch (error) {
    case httplib::Error::Connection: return "cannot connect";
    case httplib::Error::ConnectionTimeout: return "no connection within the time-out";
    case httplib::Error::Read: return "no answer within the time-out, or the connection closed";
    case httplib::Error::Write: return "the request could not be sent";
    case httplib::Error::SSLConnection: return "the TLS handshake failed";
    case httplib::Error::SSLServerVerification: return "the receiver's certificate is not trusted";
    default: return httplib::to_string(error);
    }
}

} // namespace

std::string WebhookUrl::origin() const { return scheme + "://" + host + ":" + std::to_string(port); }

bool parseWebhookUrl(const std::string& text, WebhookUrl& url, std::string& error)
{
    // The URL itself is never echoed: its path or query may be a secret.
    static const std::regex kUrl(R"(^(https?)://([A-Za-z0-9.-]+)(?::([0-9]{1,5}))?([/?][^#\s]*)?$)");
    std::smatch m;
    if (!std::regex_match(text, m, kUrl)) {
        error = "not a URL of the form http://HOST[:PORT][/PATH] (or https://)";
        return false;
    }
    WebhookUrl parsed;
    parsed.scheme = m[1];
    parsed.host = m[2];
    parsed.port = m[3].matched ? std::stoi(m[3]) : parsed.scheme == "https" ? 443 : 80;
    if (parsed.port < 1 || parsed.port > 65535) {
        error = "the port is not from 1 to 65535";
        return false;
    }
    parsed.target = m[4].matched ? m[4].str() : "/";
    if (parsed.target[0] == '?') parsed.target.insert(0, "/");
    url = parsed;
    return true;
}

Webhook::Webhook(Store& store, Counters& counters, WebhookUrl url, WebhookTiming timing)
    : store_(store), counters_(counters), url_(std::move(url)), timing_(timing)
{
}

void Webhook::stop()
{
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    if (client_) client_->stop(); // cuts a request under way
    wake_.notify_all();
}

void Webhook::wake()
{
    std::lock_guard<std::mutex> lock(mutex_);
    woken_ = true;
    wake_.notify_all();
}

bool Webhook::pause(std::chrono::milliseconds time, bool wakeable)
{
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, time, [&] { return stop_ || (wakeable && woken_); });
    return !stop_;
}

bool Webhook::post(const AlertEvent& event, std::string& reason)
{
    httplib::Client client(url_.origin());
    client.set_connection_timeout(timing_.timeout);
    client.set_read_timeout(timing_.timeout);
    client.set_write_timeout(timing_.timeout);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) return false;
        client_ = &client;
    }
    const nlohmann::ordered_json body = {{"event", event.resolution ? "resolved" : "raised"},
                                         {"alert", alertJson(event.alert)}};
    const httplib::Result r = client.Post(url_.target, body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace),
                                            "application/json");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        client_ = nullptr;
    }
    if (!r) {
        reason = describe(r.error());
        return false;
    }
    if (r->status < 200 || r->status > 299) {
        reason = "answered " + std::to_string(r->status);
        return false;
    }
    return true;
}

void Webhook::run()
{
    std::chrono::milliseconds retry = timing_.firstRetry;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_) return;
            woken_ = false; // a wake from here on is for an event this look may miss
        }
        std::optional<AlertEvent> event;
        try {
            event = store_.nextAlertEvent();
        } catch (const std::exception& e) {
            logEvent(Level::error, std::string("webhook: cannot read the next event: ") + e.what());
        }
        if (!event) {
            if (!pause(timing_.idle, true)) return;
            continue;
        }
        const std::string what = "alert " + std::to_string(event->alert.id) +
                                 (event->resolution ? " resolved" : " raised");
        std::string reason;
        if (!post(*event, reason)) {
            if (!pause(std::chrono::milliseconds(0), false)) return; // cut short by stop()
            ++counters_.webhookFailures;
            logEvent(Level::warn, "webhook " + url_.origin() + ": " + what + " not delivered: " + reason +
                                      "; next try in " + std::to_string(retry.count()) + " ms");
            if (!pause(retry, false)) return;
            retry = std::min(retry * 2, timing_.longestRetry);
            continue;
        }
        retry = timing_.firstRetry;
        // Marked before the next is read, else it would go out twice.
        for (;;) {
            try {
                store_.markAlertEventSent(*event, std::time(nullptr));
                break;
            } catch (const std::exception& e) {
                logEvent(Level::error, "webhook: " + what + " delivered but not marked so: " + e.what());
                if (!pause(timing_.firstRetry, false)) return;
            }
        }
    }
}

} // namespace pelmora_server
