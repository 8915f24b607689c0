// Pelmora on Windows: the process entry. Everything else happens in the
// main dialog's procedure.
#include <windows.h>
#include <commctrl.h>

#include "state/monitor_state.h"
#include "frontend/win32/dialog_loop.h"
#include "frontend/win32/dialog_procedure.h"
#include "frontend/win32/win32_window_system.h"

using namespace pelmora;

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    state.instance = instance;
    SetPriorityClass(GetCurrentProcess(), IDLE_PRIORITY_CLASS);
    INITCOMMONCONTROLSEX controls = {};
    controls.dwSize = 8;
    controls.dwICC = 0xFFFFFFFF; // every class the library has
    // Should a library refuse the bits it does not know, the progress bar,
    // the one common control of the dialog, is asked for alone.
    if (!InitCommonControlsEx(&controls)) {
        controls.dwICC = ICC_PROGRESS_CLASS;
        InitCommonControlsEx(&controls);
    }
    useWindowSystem(&win32WindowSystem());
    return runMainDialog(instance, mainDialogProcedure);
}
