#include "state/constants.h"
#include "support/monitor_server_peer.h"

#include <chrono>
#include <thread>

#include "net/monitor_reports.h"

MonitorServer::MonitorServer(Script script)
    : script_(std::move(script)), server_(kMonitorServerPort, [this](PeerConnection& peer) { serve(peer); })
{
}

std::vector<std::string> MonitorServer::records(size_t count)
{
    for (int wait = 0; wait < 500; ++wait) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (records_.size() >= count) return records_;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<std::string> MonitorServer::recordsWhenStopped()
{
    server_.stop();
    return records_;
}

void MonitorServer::serve(PeerConnection& peer)
{
    std::pair<std::string, std::string> reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ < script_.size()) reply = script_[next_++];
    }
    if (reply.first.empty()) return;
    peer.send(reply.first);
    std::string record = peer.receiveExactly(kReportBytes);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(record);
    }
    if (reply.second.empty()) return;
    peer.send(reply.second);
    peer.receiveSome(); // until the client closes
}
