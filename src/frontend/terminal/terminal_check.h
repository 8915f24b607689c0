#pragma once

namespace pelmora {
// Whether the terminal on standard output can show the views: its type is
// known and it can put the cursor anywhere (a "dumb" terminal cannot).
bool terminalCanShowViews();

} // namespace pelmora
