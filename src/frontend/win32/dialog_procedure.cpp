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
    Win32WindowSystem& system = win32WindowSystem();
    if (message == WM_INITDIALOG) system.watchShell(window);
    // A minimise that meets a window still minimised from the last one
    // would change nothing and be lost: the restore goes first.
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_MINIMIZE) system.restoreHidden();
    DialogEvent event = dialogEventFor(message, wParam, lParam);
    if (event == DialogEvent::Minimise && system.placingItself()) event = DialogEvent::Other;
    const Win32WindowSystem::Turn interrupted = system.beginTurn(
        {message == WM_SIZE && wParam == SIZE_MINIMIZED, message == WM_TIMER || message == WM_INITDIALOG});
    int result = handleDialogEvent(event);
    system.endTurn(interrupted);
    // After the event's own handling: quiet now says whether the program is
    // in the tray, and then the window must not be shown by anyone.
    if (message == WM_WINDOWPOSCHANGING)
        system.filterPlacement(reinterpret_cast<WINDOWPOS*>(lParam));
    else if (message == kRestoreHiddenMessage)
        system.restoreHidden();
    else if (message == kShowWindowMessage)
        system.showPendingWindow();
    else if (message != 0 && message == system.shellRestartMessage())
        system.shellRestarted();
    // A dialog kept hidden takes no keyboard focus.
    if (message == WM_INITDIALOG && system.keptHidden()) result = FALSE;
    return result;
}

} // namespace pelmora
