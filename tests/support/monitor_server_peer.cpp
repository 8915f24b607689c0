#include "support/monitor_server_peer.h"

namespace pelmora {

std::string Turn::play(PeerConnection& peer) const
{
    peer.send(slot, dripMs);
    const std::string record = peer.receiveExactly(recordBytes);
    peer.send(command, dripMs);
    if (reset) peer.reset();
    return record;
}

MonitorServer::MonitorServer(Script script)
    : script_(std::move(script)), server_(protocol::kPort, [this](PeerConnection& peer) {
          const size_t turn = static_cast<size_t>(server_.connections() - 1);
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

} // namespace pelmora
