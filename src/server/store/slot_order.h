// The order slots are offered in, one signed byte each: 1 to 127, then -128
// to -1; 0 is none. Every store offers the first one that is free.
#pragma once

namespace pelmora::server {

constexpr int kSlotsOffered = 255;

constexpr int slotAt(int step) { return step < 127 ? step + 1 : step - 127 - 128; }

} // namespace pelmora::server
