// The order slots are offered in, one signed byte each: 1 to 127, then -128
// to -1; 0 is none. Every store offers the first one that is free.
#pragma once

#include <bitset>
#include <vector>

namespace pelmora::server {

// TAKEN: by the slot's byte (slot & 0xFF). 0 when every slot is taken.
inline int firstFreeSlot(const std::bitset<256>& taken)
{
    for (int step = 0; step < 255; ++step) {
        const int slot = step < 127 ? step + 1 : step - 127 - 128;
        if (!taken.test(static_cast<unsigned>(slot & 0xFF))) return slot;
    }
    return 0;
}

// The first free slot when HELD are held and OFFERED are offered already.
inline int firstFreeSlot(std::bitset<256> held, const std::vector<int>& offered)
{
    for (const int slot : offered) held.set(static_cast<unsigned>(slot & 0xFF));
    return firstFreeSlot(held);
}

} // namespace pelmora::server
