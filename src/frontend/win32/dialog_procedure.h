#pragma once
// The main dialog's procedure: turns Windows messages into the shared
// dialog events.
#include <windows.h>

#include "app/dialog.h"

namespace pelmora {

// The event that a message to the main dialog stands for.
DialogEvent dialogEventFor(UINT message, WPARAM wParam, LPARAM lParam);

INT_PTR CALLBACK mainDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

} // namespace pelmora
