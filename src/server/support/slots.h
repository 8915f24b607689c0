// Slot numbers: a session number for each monitor, one signed byte. Each
// connection is offered the lowest slot that no machine holds and no other
// connection has been offered (1 to 127, then -128 to -1, then 0: none).
#pragma once

#include <array>
#include <mutex>
#include <vector>

namespace pelmora::server {

class SlotTable {
public:
    explicit SlotTable(const std::vector<int>& held = {});

    int offer();              // reserved until released
    void release(int offered);
    // A machine moves from one slot to another (0: none).
    void move(int from, int to);
    int holders(int slot) const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return holders_[index(slot)];
    }

private:
    // Machines removed from another thread free their slots too.
    mutable std::mutex mutex_;
    static int index(int slot) { return slot & 0xFF; }
    std::array<int, 256> holders_{};
    std::array<bool, 256> offered_{};
};

} // namespace pelmora::server
