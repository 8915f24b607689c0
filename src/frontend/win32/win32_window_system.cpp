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
// Once hidden it stays hidden against every other request until it is
// shown here.
void Win32WindowSystem::hideWindow()
{
    keepHidden_ = true;
    showPending_ = false;
    // Never asked of a window not yet shown: Windows may apply a launcher's
    // "run minimised" to the process's first ShowWindow, whatever it asks.
    HWND window = mainWindow();
    if (IsWindowVisible(window)) placeItself([window] { ShowWindow(window, SW_HIDE); });
    // Hidden by a minimise, the window would stay minimised, and a later
    // minimise (the way back with nowin set) would then change nothing and
    // never reach the dialog. Once the minimise is over it is restored,
    // still hidden.
    PostMessageA(window, kRestoreHiddenMessage, 0, 0);
}

void Win32WindowSystem::restoreHidden()
{
    HWND window = mainWindow();
    if (keepHidden_ && IsIconic(window))
        placeItself([window] { ShowWindow(window, SW_SHOWNOACTIVATE); }); // filterPlacement keeps it hidden
}

// Shown from inside a minimise, the window would come up while still
// minimised (with ontop the taskbar button flickers) and lose the
// activation to the next window when the minimise returns: it is shown
// once the minimise is over.
void Win32WindowSystem::showWindow()
{
    if (turn_.minimising) {
        showPending_ = true;
        PostMessageA(mainWindow(), kShowWindowMessage, 0, 0);
        return;
    }
    // A poll's server command has no user input behind it: Windows would
    // refuse the foreground and flash the taskbar button, so the window is
    // put on top of the others and the user's window keeps the keyboard.
    show(!turn_.unasked);
}

void Win32WindowSystem::showPendingWindow()
{
    if (!showPending_) return;
    showPending_ = false;
    show(true); // the user minimised: the window comes back with the focus
}

// Back at its normal size and place (a minimised window is restored), not
// activated by the showing itself. A restore that was refused, or a window
// still hidden after ShowWindow, is placed directly.
void Win32WindowSystem::show(bool activate)
{
    HWND window = mainWindow();
    keepHidden_ = false;
    placeItself([window] {
        ShowWindow(window, SW_SHOWNOACTIVATE);
        WINDOWPLACEMENT placement = {};
        placement.length = sizeof placement;
        if (IsIconic(window) && GetWindowPlacement(window, &placement)) {
            placement.showCmd = SW_SHOWNOACTIVATE;
            SetWindowPlacement(window, &placement);
        }
        if (!IsWindowVisible(window))
            SetWindowPos(window, nullptr, 0, 0, 0, 0,
                         SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    });
    if (activate)
        SetForegroundWindow(window);
    else
        SetWindowPos(window, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

Win32WindowSystem::Turn Win32WindowSystem::beginTurn(Turn turn)
{
    const Turn previous = turn_;
    turn_ = turn;
    return previous;
}

// The dialog is made hidden (see dialog_loop.cpp) and shown here, once,
// unless the start-up put the program in the tray: a hidden start shows
// nothing and activates nothing, so the window the user works in keeps the
// keyboard. Started from a shortcut set to run minimised, Windows turns the
// first display into a minimise; the window then takes the mode the
// settings asked for all the same.
void Win32WindowSystem::finishStartUp(HWND window)
{
    if (!keepHidden_ && !ending_) placeItself([window] { ShowWindow(window, SW_SHOWNORMAL); });
    if (IsIconic(window)) {
        if (keepHidden_)
            restoreHidden();
        else
            placeItself([window] { ShowWindow(window, SW_RESTORE); });
    }
    starting_ = false;
}

// An elevated program gets the broadcast from a shell of lower integrity
// only when it lets it in. The filter calls exist from Windows Vista (for
// the process) and 7 (for the window) on, so they are looked up.
void Win32WindowSystem::watchShell(HWND window)
{
    shellRestartMessage_ = RegisterWindowMessageA("TaskbarCreated");
    if (!shellRestartMessage_) return;
    using WindowFilter = BOOL(WINAPI*)(HWND, UINT, DWORD, void*);
    using ProcessFilter = BOOL(WINAPI*)(UINT, DWORD);
    HMODULE user32 = GetModuleHandleA("user32.dll");
    constexpr DWORD kAllow = 1; // MSGFLT_ALLOW, MSGFLT_ADD
    if (auto filter = reinterpret_cast<WindowFilter>(
            reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilterEx"))))
        filter(window, shellRestartMessage_, kAllow, nullptr);
    else if (auto processFilter = reinterpret_cast<ProcessFilter>(
                 reinterpret_cast<void*>(GetProcAddress(user32, "ChangeWindowMessageFilter"))))
        processFilter(shellRestartMessage_, kAllow);
}

void Win32WindowSystem::fillTrayRecord(UINT flags)
{
    tray_.cbSize = kTrayRecordSize;
    tray_.hWnd = mainWindow();
    tray_.uID = kTrayIconId;
    tray_.uFlags = flags;
}

// The icon's image stays in the record for the adds that follow a shell
// restart or a failed add.
void Win32WindowSystem::trayAdd(const char* tip)
{
    HICON previous = tray_.hIcon;
    tray_.hIcon = static_cast<HICON>(LoadImageA(static_cast<HINSTANCE>(state.instance),
                                                MAKEINTRESOURCEA(PELMORA_TRAY_ICON), IMAGE_ICON,
                                                GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                LR_DEFAULTCOLOR));
    copyCut(tray_.szTip, sizeof tray_.szTip, tip);
    iconWanted_ = true;
    addIconAgain();
    // The shell keeps its own copy of the image.
    if (previous) DestroyIcon(previous);
}

// At log-on the notification area may not exist yet and the add fails: it
// is tried again on every tooltip refresh (each poll in the tray) and when
// the shell announces itself. An icon the shell already holds counts as
// added.
void Win32WindowSystem::addIconAgain()
{
    fillTrayRecord(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    tray_.uCallbackMessage = kTrayCallbackMessage;
    iconShown_ = Shell_NotifyIconA(NIM_ADD, &tray_) || Shell_NotifyIconA(NIM_MODIFY, &tray_);
}

void Win32WindowSystem::shellRestarted()
{
    if (!iconWanted_) return;
    iconShown_ = false;
    addIconAgain();
}

void Win32WindowSystem::trayModify(const char* tip)
{
    copyCut(tray_.szTip, sizeof tray_.szTip, tip);
    if (iconWanted_ && !iconShown_) addIconAgain();
    fillTrayRecord(NIF_TIP);
    Shell_NotifyIconA(NIM_MODIFY, &tray_); // without an icon it changes nothing
}

void Win32WindowSystem::trayDelete()
{
    fillTrayRecord(NIF_TIP);
    Shell_NotifyIconA(NIM_DELETE, &tray_);
    iconWanted_ = iconShown_ = false;
}

void Win32WindowSystem::removeLeftIcon()
{
    if (iconWanted_) trayDelete();
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
// dialog is ending, or while a show waits for a minimise to be over,
// nothing may bring it back. It never takes the activation: the show that
// needs it asks for it.
void Win32WindowSystem::keepOnTop()
{
    HWND window = mainWindow();
    if (placing_ || ending_ || showPending_ || !IsWindow(window)) return;
    const bool topmost = (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    if (topmost && IsWindowVisible(window)) return;
    placing_ = true;
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
    placing_ = false;
}

void Win32WindowSystem::endDialog(int result)
{
    ending_ = true;
    PostQuitMessage(result); // dialog_loop.cpp's loop ends with it
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
