#include "frontend/win32/dialog_procedure.h"

#include "state/monitor_state.h"
#include "frontend/win32/win32_window_system.h"

namespace pelmora {

DialogEvent dialogEventFor(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return DialogEvent::Initialise;
    case WM_TIMER:
        return DialogEvent::TimerTick;
    case WM_SIZE:
        return wParam == SIZE_MINIMIZED ? DialogEvent::Minimise : DialogEvent::Other;
    case kTrayCallbackMessage:
        return lParam == WM_LBUTTONDBLCLK ? DialogEvent::TrayDoubleClick : DialogEvent::Other;
    case WM_CLOSE:
        return DialogEvent::Close;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            return DialogEvent::Ok;
        case IDCANCEL:
            return DialogEvent::Cancel;
        default:
            return DialogEvent::Other;
        }
    default:
        return DialogEvent::Other;
    }
}

INT_PTR CALLBACK mainDialogProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    state.mainWindow = window;
    const int result = handleDialogEvent(dialogEventFor(message, wParam, lParam));
    // After the event's own handling: quiet now says whether the program is
    // in the tray, and then the window must not be shown by anyone.
    if (message == WM_WINDOWPOSCHANGING)
        win32WindowSystem().filterPlacement(reinterpret_cast<WINDOWPOS*>(lParam));
    else if (message == kRestoreHiddenMessage)
        win32WindowSystem().restoreHidden();
    return result;
}

} // namespace pelmora
