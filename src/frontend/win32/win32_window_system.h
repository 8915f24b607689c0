#pragma once
// The window system on Windows: the main dialog, its controls, the poll
// timer and the notification-area icon.
#include <windows.h>
#include <shellapi.h>

#include "ui/ui.h"

namespace pelmora {

// The tray icon's mouse events come back to the dialog as this message,
// with the mouse event in lParam.
constexpr UINT kTrayCallbackMessage = PELMORA_TRAY_MESSAGE;
static_assert(kTrayCallbackMessage == WM_USER + 1, "the first message of the program's own");
// Posted by hideWindow: restore a window that a minimise left minimised.
constexpr UINT kRestoreHiddenMessage = WM_APP + 1;

class Win32WindowSystem : public WindowSystem {
public:
    void setText(int control, const char* text) override;
    void setBar(int position) override;
    void hideWindow() override;
    void showWindow() override;
    void trayAdd(const char* tip) override;
    void trayModify(const char* tip) override;
    void trayDelete() override;
    void messageBox(const char* caption, const char* text) override;
    void startTimer(unsigned periodMs) override;
    void keepOnTop() override;
    void endDialog(int result) override;
    void destroyWindow() override;
    void exitProcess(int status) override;

    // Called for WM_WINDOWPOSCHANGING: while the window is hidden for the
    // tray no other request may show it, the dialog manager's first display
    // included.
    void filterPlacement(WINDOWPOS* placement) const;
    // Called for kRestoreHiddenMessage.
    void restoreHidden();

private:
    void fillTrayRecord(UINT flags);
    void sendTrayRequest(DWORD request);

    NOTIFYICONDATAA tray_ = {}; // keeps its values between requests
    bool placing_ = false;      // our own top-most request is under way
    bool ending_ = false;       // the dialog has been told to end
    bool keepHidden_ = false;   // hidden for the tray: only showWindow shows it
};

// The one instance the program installs.
Win32WindowSystem& win32WindowSystem();

} // namespace pelmora
