#include "support/stats_site_peer.h"

#include <chrono>
#include <thread>

StatsSite::StatsSite(std::string status, std::vector<std::string> pieces)
    : status_(std::move(status)), pieces_(std::move(pieces)),
      server_(0, [this](PeerConnection& peer) { serve(peer); })
{
}

std::vector<std::string> StatsSite::requests()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void StatsSite::serve(PeerConnection& peer)
{
    std::string head = peer.receiveRequestHead();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(head);
    }
    size_t length = 0;
    for (const std::string& piece : pieces_) length += piece.size();
    peer.send("HTTP/1.1 " + status_ + "\r\nContent-Length: " + std::to_string(length) +
              "\r\nConnection: close\r\n\r\n");
    for (const std::string& piece : pieces_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        peer.send(piece);
    }
    peer.receiveSome(); // until the client closes
}
