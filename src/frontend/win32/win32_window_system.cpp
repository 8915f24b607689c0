#include "frontend/win32/win32_window_system.h"

#include <commctrl.h>
#include <cstdlib>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "resource.h"

namespace pelmora {

namespace {
// The tray record's size: 504 bytes for the 32-bit program (the
// NOTIFYICONDATAA of shell version 6.0, without the balloon icon), the same
// version at the 64-bit layout's size otherwise.
constexpr DWORD kTrayRecordSize = NOTIFYICONDATAA_V3_SIZE;
#if !defined(_WIN64)
static_assert(kTrayRecordSize == 504, "the 32-bit tray record is 504 bytes");
#endif
static_assert(sizeof(NOTIFYICONDATAA::szTip) == sizeof(TrayIconRecord::szTip), "tooltip widths agree");

constexpr UINT kTrayIconId = 1;
constexpr UINT_PTR kPollTimerId = 1;

HWND mainWindow() { return static_cast<HWND>(state.mainWindow); }
} // namespace

Win32WindowSystem& win32WindowSystem()
{
    static Win32WindowSystem system;
    return system;
}

void Win32WindowSystem::setText(int control, const char* text)
{
    SetDlgItemTextA(mainWindow(), control, text);
}

void Win32WindowSystem::setBar(int position)
{
    SendDlgItemMessageA(mainWindow(), PELMORA_PROGRESS_BAR, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

// Default processing of WM_SHOWWINDOW acts only on owned windows, and the
// main dialog has no owner, so the window is hidden and shown directly.
// Once hidden it stays hidden against every other request, the dialog
// manager's first display included, until it is shown here.
void Win32WindowSystem::hideWindow()
{
    keepHidden_ = true;
    ShowWindow(mainWindow(), SW_HIDE);
    // Hidden by a minimise, the window would stay minimised, and a later
    // minimise (the way back with nowin set) would then change nothing and
    // never reach the dialog. Once the minimise is over it is restored,
    // still hidden.
    PostMessageA(mainWindow(), kRestoreHiddenMessage, 0, 0);
}

void Win32WindowSystem::restoreHidden()
{
    HWND window = mainWindow();
    if (keepHidden_ && IsIconic(window)) ShowWindow(window, SW_SHOWNOACTIVATE); // filterPlacement keeps it hidden
}

// Back at its normal size and place (a minimised window is restored), not
// activated by the showing itself, then brought to the foreground. A window
// kept hidden through its first display is shown by its placement if
// ShowWindow leaves it hidden.
void Win32WindowSystem::showWindow()
{
    HWND window = mainWindow();
    keepHidden_ = false;
    ShowWindow(window, SW_SHOWNOACTIVATE);
    if (!IsWindowVisible(window))
        SetWindowPos(window, nullptr, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    SetForegroundWindow(window);
}

void Win32WindowSystem::fillTrayRecord(UINT flags)
{
    tray_.cbSize = kTrayRecordSize;
    tray_.hWnd = mainWindow();
    tray_.uID = kTrayIconId;
    tray_.uFlags = flags;
}

void Win32WindowSystem::sendTrayRequest(DWORD request)
{
    Shell_NotifyIconA(request, &tray_); // a failed request changes nothing
}

void Win32WindowSystem::trayAdd(const char* tip)
{
    fillTrayRecord(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    tray_.uCallbackMessage = kTrayCallbackMessage;
    HICON previous = tray_.hIcon;
    tray_.hIcon = static_cast<HICON>(LoadImageA(static_cast<HINSTANCE>(state.instance),
                                                MAKEINTRESOURCEA(PELMORA_TRAY_ICON), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_DEFAULTCOLOR));
    copyCut(tray_.szTip, sizeof tray_.szTip, tip);
    sendTrayRequest(NIM_ADD);
    // The shell keeps its own copy of the image.
    if (previous) DestroyIcon(previous);
}

void Win32WindowSystem::trayModify(const char* tip)
{
    fillTrayRecord(NIF_TIP);
    copyCut(tray_.szTip, sizeof tray_.szTip, tip);
    sendTrayRequest(NIM_MODIFY);
}

void Win32WindowSystem::trayDelete()
{
    fillTrayRecord(NIF_TIP);
    sendTrayRequest(NIM_DELETE);
}

void Win32WindowSystem::messageBox(const char* caption, const char* text)
{
    MessageBoxA(mainWindow(), text, caption, MB_OK);
}

void Win32WindowSystem::startTimer(unsigned periodMs)
{
    SetTimer(mainWindow(), kPollTimerId, periodMs, nullptr);
}

// Making the window top-most and showing it delivers events of its own,
// and every event asks for this again: a request already under way, or a
// window that already is top-most and visible, asks for nothing. Once the
// dialog is ending nothing may bring it back.
void Win32WindowSystem::keepOnTop()
{
    HWND window = mainWindow();
    if (placing_ || ending_ || !IsWindow(window)) return;
    const bool topmost = (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost && IsWindowVisible(window)) return;
    placing_ = true;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_SHOWWINDOW);
    placing_ = false;
}

void Win32WindowSystem::endDialog(int result)
{
    ending_ = true;
    EndDialog(mainWindow(), result);
}

void Win32WindowSystem::destroyWindow()
{
    ending_ = true;
    DestroyWindow(mainWindow());
}

void Win32WindowSystem::exitProcess(int status)
{
    std::exit(status);
}

void Win32WindowSystem::filterPlacement(WINDOWPOS* placement) const
{
    if (keepHidden_) placement->flags &= ~SWP_SHOWWINDOW;
}

} // namespace pelmora
