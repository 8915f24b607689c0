// How many connections a listener holds open, overall and from each source
// address: a connection is admitted only under both caps, so one address
// cannot take the places of all the others.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>

namespace pelmora::server {

class ConnectionCaps {
public:
    ConnectionCaps(int overall, int perAddress) : overall_(overall), perAddress_(perAddress) {}

    // True, and counted, when ADDRESS may open one more; each admitted one is released once.
    bool admit(const std::string& address);
    void release(const std::string& address);
    int open() const;

private:
    const int overall_, perAddress_;
    mutable std::mutex mutex_;
    int open_ = 0;
    std::unordered_map<std::string, int> byAddress_; // only addresses with a connection open
};

} // namespace pelmora::server
