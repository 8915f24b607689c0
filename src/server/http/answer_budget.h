// The bytes of answers being written, overall and per source address. An
// answer counts its whole length, head and body, from the start of its
// write until the write ends or the connection closes: what the connection
// still has to send is at most that, so the count bounds what the writes
// and the kernel's send buffers hold (a shared body costs its memory once,
// see shared_text.h, but each connection sending it has the whole to send).
// An address with no answer being written may always start one, so a
// user's single request never waits behind the crowd; past the budget the
// listener makes a further request wait briefly, then answers 503.
// An address is counted under its key (ip_address.h: an IPv6 one by its /64).
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace pelmora::server {

class AnswerBudget {
public:
    AnswerBudget(std::size_t overall, std::size_t perAddress) : overall_(overall), perAddress_(perAddress) {}

    // One more answer from ADDRESS, when the budget allows it; each true is
    // followed by finish() with what charge() added in between.
    bool tryStart(const std::string& address);
    void charge(const std::string& address, std::size_t bytes);
    void finish(const std::string& address, std::size_t bytes);
    std::size_t writing(); // overall

private:
    struct Held {
        int answers = 0;
        std::size_t bytes = 0;
    };
    const std::size_t overall_, perAddress_;
    std::mutex mutex_;
    std::map<std::string, Held> held_; // only addresses with an answer under way: bounded by the connection caps
    std::size_t total_ = 0;
};

} // namespace pelmora::server
