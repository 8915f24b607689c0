// The fleet as the API and the live event stream show it: each machine's
// row and its JSON text, kept between requests. A refresh reads only the
// rows written since the one before and makes a machine's text again only
// when its row or its status changed; a fleet of 10,000 that reports every
// minute changes a few per cent of its rows a second.
//
// The fleet's list is one shared answer (shared_text.h): made again only
// when a machine's text changed, and for a big fleet at most once a second;
// the event stream's full snapshot is sent from the same buffer.
//
// The event stream: publish() turns what changed since the last message
// into one message (machines, or alerts), numbered; a stream waits for the
// messages after the last one it sent. A stream that fell behind the few
// messages kept starts again from a full snapshot.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "server/support/defaults.h"
#include "server/fleet/machine_status.h"
#include "server/support/shared_text.h"
#include "server/store/store.h"

namespace pelmora::server {

struct StreamMessage {
    long long number = 0;
    std::string event; // "machines" or "alerts"
    std::string data;  // one line of JSON
    std::vector<long long> machines; // the ids in a "machines" message, in order
};

class FleetView {
public:
    FleetView(Store& store, StatusLimits limits)
        : store_(store), limits_(limits), removals_(store.removals()), lastAlertChange_(store.lastAlertChange())
    {
    }

    // {"machines":[...]}, every machine as of NOW (or up to a second
    // before, for a big fleet); its tag is the number of the last stream
    // message it already holds.
    std::shared_ptr<const SharedText> list(long long now);
    // One machine's object, or nothing when there is no such machine.
    std::optional<std::string> machineJson(long long id, long long now);

    // Makes the messages of the alerts raised or resolved and of the
    // machines that changed since the last ones, if any; wakes the streams.
    // Then makes a big list anew while it is being read (AnswerCache::renew).
    void publish(long long now);

    // A new stream's start: the whole fleet, as list() but never older than
    // the messages kept, so the stream can follow from its tag on.
    std::shared_ptr<const SharedText> snapshot(long long now);
    // With a MACHINE id: the snapshot ({"full":true,"machines":[...]}) of
    // that machine alone, and the number of the last message it holds.
    std::string subscribe(long long now, long long& number, long long machine);
    // The messages after NUMBER, waiting up to MILLISECONDS for one. False
    // when the stream must start again from a snapshot (it fell behind) or
    // the server is stopping.
    bool next(long long number, int milliseconds, std::vector<StreamMessage>& messages);
    void stop();
    bool stopping();

private:
    struct Kept {
        MachineRow row;
        std::string status;
        bool muted = false;
        // Shared, so the list can be joined from them outside mutex_.
        std::shared_ptr<const std::string> text;
    };
    void refresh(long long now); // under mutex_
    std::shared_ptr<const SharedText> list(long long now, bool forStream);
    AnswerCache::Maker listMaker(long long now);
    void publishMessages(long long now);
    static std::string listBody(const char* start, const std::vector<std::shared_ptr<const std::string>>& texts);
    std::string text(const MachineRow& m, const MachineStatus& s);
    void push(std::string event, std::string data, std::vector<long long> machines = {}); // under mutex_

    Store& store_;
    const StatusLimits limits_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<long long, Kept> machines_; // by id
    std::set<long long> unsent_;         // changed since the last message
    long long lastChange_ = 0;
    long long removals_ = 0;
    long long lastAlertChange_;
    std::deque<StreamMessage> recent_;
    std::size_t recentBytes_ = 0; // of their data
    long long lastNumber_ = 0;
    long long version_ = 0; // one more at each change of a machine's text
    bool stopping_ = false;
    AnswerCache list_{true, defaults::kSharedAnswerBytes, true}; // made ahead by publish()
};

} // namespace pelmora::server
