// GET /api/events[?machine=ID]: server-sent events of the fleet.
#include <algorithm>
#include <chrono>
#include <memory>

#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/support/defaults.h"

namespace pelmora::server {
namespace {

// A quiet stream says "ping" (defaults.h): proxies keep the connection, and
// the pages take a silent stream for a server that hangs. An event, not a
// comment, since a page sees no comments.
using defaults::kPingSeconds;

// A full snapshot, then each message of the fleet as it comes, and a ping
// when there is nothing else to send. With
// a MACHINE id, only that machine's changes (and every alert). The listener
// polls the stream a few times a second and writes what it gives (the
// listener caps the streams); it ends when the browser goes, a write stalls
// past the write time-out, or the server stops.
void eventStream(FleetView& fleet, long long machine, HttpResponse& res)
{
    struct Stream {
        long long number = -1; // -1: the snapshot is still to be sent
        std::chrono::steady_clock::time_point lastSent;
    };
    auto stream = std::make_shared<Stream>();
    res.set_header("Cache-Control", "no-cache");
    res.set_header("X-Accel-Buffering", "no");
    res.set_event_stream([&fleet, stream, machine](EventText& event) {
        std::string& out = event.text;
        if (stream->number < 0 && machine != 0) {
            out = "retry: 2000\nevent: machines\ndata: " + fleet.subscribe(secondsNow(), stream->number, machine) +
                  "\n\n";
        } else if (stream->number < 0) {
            // The fleet's list, shared with every stream and GET /api/machines:
            // {"machines":[...]} sent from its second byte on, after "{"full":true,".
            const std::shared_ptr<const SharedText> list = fleet.snapshot(secondsNow());
            stream->number = list->tag();
            out = "retry: 2000\nevent: machines\ndata: {\"full\":true,";
            event.shared = std::shared_ptr<const std::string>(list, &list->plain());
            event.sharedFrom = 1;
            event.after = "\n\n";
        } else {
            std::vector<StreamMessage> messages;
            if (!fleet.next(stream->number, 0, messages)) {
                if (fleet.stopping()) return false;
                stream->number = -1; // fell behind: a snapshot again
                return true;
            }
            for (const StreamMessage& m : messages) {
                stream->number = m.number;
                if (machine == 0 || m.event != "machines")
                    out += "event: " + m.event + "\ndata: " + m.data + "\n\n";
                else if (std::binary_search(m.machines.begin(), m.machines.end(), machine))
                    out += "event: machines\ndata: {\"full\":false,\"machines\":[" +
                           fleet.machineJson(machine, secondsNow()).value_or("") + "]}\n\n";
            }
            if (out.empty() && std::chrono::steady_clock::now() - stream->lastSent > std::chrono::seconds(kPingSeconds))
                out = "event: ping\ndata: {}\n\n";
        }
        if (!event.empty()) stream->lastSent = std::chrono::steady_clock::now();
        return true;
    });
}

} // namespace

void getEvents(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    long long machine = 0;
    if (!queryNumber(req, "machine", 1, INT64_MAX, machine)) return fail(res, 400, "machine must be a machine's id");
    eventStream(api.fleet, machine, res);
}

} // namespace pelmora::server
