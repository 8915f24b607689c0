#include "server/support/slots.h"

namespace pelmora::server {

SlotTable::SlotTable(const std::vector<int>& held)
{
    for (const int slot : held) move(0, slot);
}

int SlotTable::offer()
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (int step = 0; step < 255; ++step) {
        const int slot = step < 127 ? step + 1 : step - 127 - 128; // 1..127, then -128..-1
        if (holders_[index(slot)] == 0 && !offered_[index(slot)]) {
            offered_[index(slot)] = true;
            return slot;
        }
    }
    return 0;
}

void SlotTable::release(int offered)
{
    std::lock_guard<std::mutex> lock(mutex_);
    offered_[index(offered)] = false;
}

void SlotTable::move(int from, int to)
{
    if (from == to) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (from != 0 && holders_[index(from)] > 0) --holders_[index(from)];
    if (to != 0) ++holders_[index(to)];
}

} // namespace pelmora::server
