#pragma once
// The main dialog's life: made from its template, kept hidden unless the
// start-up asks for the window, driven by a message loop of the program's
// own until it ends.
#include <windows.h>

namespace pelmora {

// 1 after OK, 0 after Cancel or a close request, -1 when the dialog cannot
// be made; the other endings leave through exit().
int runMainDialog(HINSTANCE instance, DLGPROC procedure);

} // namespace pelmora
