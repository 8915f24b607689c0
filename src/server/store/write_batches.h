// Long writes (a fleet's alerts at once, pruning every machine's reports)
// go in transactions of this many items, so monitors' exchanges wait for
// at most one batch, in every store.
#pragma once

#include <algorithm>
#include <cstddef>

namespace pelmora::server {

constexpr std::size_t kWriteBatch = 200;

// Calls WRITE(first, end) for each batch of COUNT items, in order.
template <typename Write>
void inBatches(std::size_t count, Write&& write)
{
    for (std::size_t first = 0; first < count; first += kWriteBatch) write(first, std::min(count, first + kWriteBatch));
}

} // namespace pelmora::server
