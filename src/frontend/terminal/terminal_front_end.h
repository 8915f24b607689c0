#pragma once
// The Linux program's window system: the dialog's texts, bar and percent in
// a box on the terminal, the tray as a compact view of the tooltip, keys and
// signals turned into dialog events, and the poll timer. Headless (standard
// output not a terminal) it draws nothing and reads no keys; everything else
// works the same.
#include <cstdio>
#include <string>

#include "app/dialog.h"
#include "frontend/terminal/poll_timer.h"
#include "frontend/terminal/screen.h"
#include "ui/ui.h"

namespace pelmora {

class TerminalFrontEnd : public WindowSystem {
public:
    explicit TerminalFrontEnd(bool headless) : headless_(headless) {}
    ~TerminalFrontEnd() override;

    // The whole program: start-up, then keys, signals and timer ticks as
    // dialog events until the dialog ends. Returns the program's exit
    // status: the dialog's result, or -1 when the terminal cannot be used.
    int run();

    // What the screen shows (or would show, headless).
    const FrontState& front() const { return front_; }
    bool ended() const { return ended_; }
    int result() const { return result_; }

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

private:
    bool startTerminal();
    void restoreTerminal();
    void dispatch(DialogEvent event);
    void redraw();
    void followResize();
    void readKeys();
    void handleSignals();
    // Waits for the message box to be dismissed; false when it could not be shown.
    bool waitForDismissal();

    const bool headless_;
    FrontState front_;
    PollTimer timer_;
    bool cursesActive_ = false;
    bool unicode_ = false;
    bool displayed_ = false;   // the window has been shown once start-up ended
    bool ended_ = false;
    int result_ = 0;
    bool closePending_ = false; // a close request that came while a message was up
    int keysFd_ = -1;           // where keys come from; -1 when there are none
    FILE* ownTerminal_ = nullptr;
    void* screen_ = nullptr;
    std::string afterRestore_;  // said on stderr once the screen is back
};

} // namespace pelmora
