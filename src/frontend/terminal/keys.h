#pragma once
// The keys of the terminal front-end and the dialog events they stand for.
#include "app/dialog.h"
#include "frontend/terminal/screen.h"

namespace pelmora {

// Window view: Enter is OK, Escape is Cancel, m minimises, q closes.
// Compact view: Space is the double-click on the tray icon, q closes.
// Any other key is an event all the same (Other), as a key press is to the
// dialog: it runs the steps every event runs and nothing else.
DialogEvent eventForKey(int key, View view);

} // namespace pelmora
