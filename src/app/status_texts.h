#pragma once

namespace pelmora {
// What the window shows: the unit's texts, the counters, the bar and its percent.

void refreshStatusTexts();

} // namespace pelmora
