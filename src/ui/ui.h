#pragma once
// The window system as the sequences see it. The Win32 dialog, the terminal
// front-end and the tests' recording fake implement it.

#include "resource.h"

namespace pelmora {

enum ControlId {
    kUnitTextControl = PELMORA_UNIT_TEXT,
    kProgressBarControl = PELMORA_PROGRESS_BAR,
    kPercentLabelControl = PELMORA_PERCENT_LABEL,
    kCountersTextControl = PELMORA_COUNTERS_TEXT,
};

class WindowSystem {
public:
    virtual ~WindowSystem() = default;
    virtual void setText(int control, const char* text) = 0;
    virtual void setBar(int position) = 0;
    virtual void hideWindow() = 0;
    // Shows the window at its normal size and place, then brings it forward.
    virtual void showWindow() = 0;
    virtual void trayAdd(const char* tip) = 0;
    virtual void trayModify(const char* tip) = 0;
    virtual void trayDelete() = 0;
    // Shows the message and waits until the user dismisses it.
    virtual void messageBox(const char* caption, const char* text) = 0;
    virtual void startTimer(unsigned periodMs) = 0;
    // Always on top: the window in the top-most layer and shown, neither
    // moved nor resized. May do nothing when it already is both.
    virtual void keepOnTop() = 0;
    // Ends the dialog's loop; the program then ends with this result.
    virtual void endDialog(int result) = 0;
    virtual void destroyWindow() = 0;
    // Ends the process at once with this status (the front-end restores
    // whatever it changed first). A fake may return; callers then return too.
    virtual void exitProcess(int status) = 0;
};

// The window system in use; a silent one until a front-end installs its own.
WindowSystem& windowSystem();
void useWindowSystem(WindowSystem* system);

} // namespace pelmora
