#include "support/monitor_server_peer.h"

#include "state/constants.h"

Turn::Turn(std::string slot, std::string command)
    : play([slot, command](PeerConnection& peer) {
          if (slot.empty()) return std::string();
          peer.send(slot);
          const std::string record = peer.receiveExactly(kReportBytes);
          if (!command.empty() && peer.send(command)) peer.receiveSome(); // until the client closes
          return record;
      })
{
}

MonitorServer::MonitorServer(Script script)
    : script_(std::move(script)), server_(kMonitorServerPort, [this](PeerConnection& peer) {
          const size_t turn = server_.connections() - 1;
          if (turn >= script_.size()) return;
          const std::string record = script_[turn].play(peer);
          std::lock_guard<std::mutex> lock(mutex_);
          records_.push_back(record);
      })
{
}

std::vector<std::string> MonitorServer::recordsWhenStopped()
{
    server_.stop();
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}
