#include "server/fleet/webhook.h"

#include <algorithm>
#include <ctime>
#include <curl/curl.h>
#include <memory>
#include <regex>

#include "server/fleet/json_shapes.h"
#include "server/support/defaults.h"
#include "server/support/log.h"
#include "server/support/text_safety.h"

namespace pelmora::server {
namespace {

using nlohmann::ordered_json;

using defaults::kAnswerBodyRead;
using defaults::kLargestAnswerHead;
using defaults::kListedInSummary;
using defaults::kMostInSummary;

struct Answer {
    std::size_t head = 0, body = 0;
    bool headTooLarge = false;
    const PeriodicWorker* worker = nullptr;
};

std::size_t onHeader(char*, std::size_t size, std::size_t count, void* data)
{
    Answer& answer = *static_cast<Answer*>(data);
    answer.head += size * count;
    if (answer.head <= kLargestAnswerHead) return size * count;
    answer.headTooLarge = true;
    return 0; // ends the transfer
}

std::size_t onBody(char*, std::size_t size, std::size_t count, void* data)
{
    Answer& answer = *static_cast<Answer*>(data);
    answer.body += size * count;
    return answer.body <= kAnswerBodyRead ? size * count : 0;
}

// Called at least once a second, even on a silent connection.
int onProgress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Answer*>(data)->worker->stopping() ? 1 : 0;
}

ordered_json eventJson(const AlertEvent& event)
{
    AlertRow alert = event.alert;
    alert.machine = neutraliseMentions(alert.machine); // names reach chat rooms
    return {{"event", event.resolution ? "resolved" : "raised"}, {"alert", alertJson(alert)}};
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

Webhook::Webhook(Store& store, Counters& counters, WebhookUrl url, WebhookTiming timing, const Leadership* leadership)
    : store_(store), counters_(counters), url_(std::move(url)), timing_(timing), leadership_(leadership),
      holder_(leadership ? leadership->holder() : "this server"), retry_(timing.firstRetry)
{
    static const CURLcode started = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)started;
}

void Webhook::run()
{
    worker_.run([this] { return step(); });
}

void Webhook::stop() { worker_.stop(); }

void Webhook::wake() { worker_.wake(); }

std::string Webhook::body(const std::vector<AlertEvent>& events)
{
    ordered_json body;
    if (events.size() == 1) {
        body = eventJson(events[0]);
    } else {
        long long raised = 0;
        ordered_json listed = ordered_json::array();
        for (const AlertEvent& e : events) {
            raised += e.resolution ? 0 : 1;
            if (listed.size() < kListedInSummary) listed.push_back(eventJson(e));
        }
        body = {{"event", "summary"},
                {"raised", raised},
                {"resolved", static_cast<long long>(events.size()) - raised},
                {"events", std::move(listed)},
                {"more", events.size() - std::min(events.size(), kListedInSummary)}};
    }
    return body.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

bool Webhook::post(const std::string& body, std::string& reason, bool& timedOut)
{
    timedOut = false;
    std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(
        curl_slist_append(nullptr, "Content-Type: application/json"), curl_slist_free_all);
    if (!curl || !headers) {
        reason = "out of memory";
        return false;
    }
    Answer answer;
    answer.worker = &worker_;
    CURL* c = curl.get();
    const std::string url = url_.full();
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_HTTP_CONTENT_DECODING, 0L); // and no Accept-Encoding is sent
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, static_cast<long>(timing_.timeout.count()));
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &answer);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &answer);
    const CURLcode result = curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    // A 2xx answer whose body we stopped reading was still taken.
    const bool bodyCut = result == CURLE_WRITE_ERROR && !answer.headTooLarge;
    if (result != CURLE_OK && !bodyCut) {
        timedOut = result == CURLE_OPERATION_TIMEDOUT;
        reason = timedOut ? "no complete answer within " + std::to_string(timing_.timeout.count()) + " ms"
                 : answer.headTooLarge ? "the answer's head is over " + std::to_string(kLargestAnswerHead) + " bytes"
                                       : curl_easy_strerror(result);
        return false;
    }
    if (status < 200 || status > 299) {
        reason = "answered " + std::to_string(status);
        return false;
    }
    return true;
}

PeriodicWorker::Wait Webhook::step()
{
    const auto now = std::chrono::steady_clock::now();
    while (!posted_.empty() && now - posted_.front() >= timing_.window) posted_.pop_front();
    if (static_cast<int>(posted_.size()) >= timing_.burst) {
        // This minute's posts are spent: what comes meanwhile goes as one summary.
        return {std::chrono::duration_cast<std::chrono::milliseconds>(posted_.front() + timing_.window - now), false};
    }
    if (leadership_ && !leadership_->leads()) return {timing_.idle, true};
    std::vector<AlertEvent> events;
    try {
        // A look first (a read), so an idle webhook writes nothing; then the claim.
        const std::size_t waiting = store_.pendingAlertEvents(kMostInSummary).size();
        // Few: one post each.
        const bool one = waiting > 1 && posted_.size() + waiting <= static_cast<std::size_t>(timing_.burst);
        if (waiting > 0)
            events = store_.claimAlertEvents(holder_, one ? 1 : kMostInSummary,
                                             timing_.timeout.count() + defaults::kWebhookClaimMarginMilliseconds);
    } catch (const std::exception& e) {
        logEvent(Level::error, std::string("webhook: cannot read the next events: ") + e.what());
    }
    if (events.empty()) return {timing_.idle, true}; // none, or another server's claim comes first
    const std::string what =
        events.size() > 1 ? "a summary of " + std::to_string(events.size()) + " alert events"
                          : "alert " + std::to_string(events[0].alert.id) +
                                (events[0].resolution ? " resolved" : " raised");
    std::string reason;
    bool timedOut = false;
    const bool delivered = post(body(events), reason, timedOut);
    // A post the receiver took is marked even as we stop, or it would go again.
    if (!delivered && worker_.stopping()) return {}; // cut short by stop()
    posted_.push_back(std::chrono::steady_clock::now());
    if (!delivered) {
        ++counters_.webhookFailures;
        if (timedOut) ++counters_.webhookTimeouts;
        logEvent(Level::warn, "webhook " + url_.origin() + ": " + what + " not delivered: " + reason +
                                  "; next try in " + std::to_string(retry_.count()) + " ms");
        const PeriodicWorker::Wait wait{retry_, false};
        retry_ = std::min(retry_ * 2, timing_.longestRetry);
        return wait;
    }
    retry_ = timing_.firstRetry;
    if (events.size() > 1) {
        ++counters_.webhookSummaries;
        logEvent(Level::info, "webhook " + url_.origin() + ": " + what + " delivered as one post");
    }
    // Marked before the next are read, else they would go out twice.
    for (;;) {
        try {
            store_.markAlertEventsSent(events, std::time(nullptr));
            break;
        } catch (const std::exception& e) {
            logEvent(Level::error, "webhook: " + what + " delivered but not marked so: " + e.what());
            if (!worker_.pause(timing_.firstRetry, false)) return {};
        }
    }
    return {};
}

} // namespace pelmora::server
