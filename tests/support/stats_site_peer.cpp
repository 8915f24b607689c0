#include "support/stats_site_peer.h"

namespace pelmora {

std::string httpHead(const std::string& status, size_t contentLength)
{
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(contentLength) +
           "\r\nConnection: close\r\n\r\n";
}

StatsSite::StatsSite(std::vector<std::string> answer, int pauseMs)
    : answer_(std::move(answer)), pauseMs_(pauseMs), server_(0, [this](PeerConnection& peer) {
          const std::string head = peer.receiveRequestHead();
          {
              std::lock_guard<std::mutex> lock(mutex_);
              requests_.push_back(head);
          }
          for (size_t i = 0; i < answer_.size(); ++i) {
              if ((i > 0 && peer.goneWithin(pauseMs_)) || !peer.send(answer_[i])) return;
          }
      })
{
}

std::vector<std::string> StatsSite::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

} // namespace pelmora
