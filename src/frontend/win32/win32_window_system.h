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
// Posted by a show asked for inside a minimise: show once the minimise is over.
constexpr UINT kShowWindowMessage = WM_APP + 2;

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

    // What the message being handled says about the requests it makes.
    struct Turn {
        bool minimising = false; // a size change to minimised: a show waits until it is over
        bool unasked = false;    // a poll or the start-up: no user input behind a show
    };
    // Starts a message's turn and returns the one it interrupts, for endTurn.
    Turn beginTurn(Turn turn);
    void endTurn(Turn previous) { turn_ = previous; }

    // At the dialog's creation: the shell's restart broadcast is let in.
    void watchShell(HWND window);
    UINT shellRestartMessage() const { return shellRestartMessage_; }
    // The shell has restarted with an empty notification area.
    void shellRestarted();
    // After the start-up sequence: the first display, unless it asked for
    // the tray.
    void finishStartUp(HWND window);
    // A minimise that the program's own placement caused (Windows may turn
    // the first display into one): not the user's, so no switch.
    bool placingItself() const { return starting_ || ownPlacement_ > 0; }
    bool keptHidden() const { return keepHidden_; }
    // Called for WM_WINDOWPOSCHANGING: while the window is hidden for the
    // tray no other request may show it.
    void filterPlacement(WINDOWPOS* placement) const;
    // Called for kRestoreHiddenMessage, and before a minimise request.
    void restoreHidden();
    // Called for kShowWindowMessage.
    void showPendingWindow();
    // No icon outlives the program.
    void removeLeftIcon();

private:
    void fillTrayRecord(UINT flags);
    void addIconAgain();
    void show(bool activate);
    // Runs one of our own placement requests: a minimise it brings is ours.
    template <typename Request>
    void placeItself(Request request)
    {
        ++ownPlacement_;
        request();
        --ownPlacement_;
    }

    NOTIFYICONDATAA tray_ = {}; // keeps its values between requests
    bool placing_ = false;      // our own top-most request is under way
    bool ending_ = false;       // the dialog has been told to end
    bool keepHidden_ = false;   // hidden for the tray: only showWindow shows it
    bool starting_ = true;      // until the first display is settled
    int ownPlacement_ = 0;      // our own show or hide requests under way
    bool showPending_ = false;  // a show waits for a minimise to be over
    bool iconWanted_ = false;   // in the tray: the icon should be there
    bool iconShown_ = false;    // the shell took the icon
    UINT shellRestartMessage_ = 0;
    Turn turn_;
};

// The one instance the program installs.
Win32WindowSystem& win32WindowSystem();

} // namespace pelmora
