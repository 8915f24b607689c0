#pragma once

namespace pelmora {
// The main dialog's behaviour, shared by every front-end. A front-end turns
// its own events into DialogEvents (after storing the window in
// state.mainWindow) and returns the result.

enum class DialogEvent {
    Initialise,       // the dialog is being built: the start-up sequence
    TimerTick,        // the poll timer, whatever its identifier
    Minimise,         // a size change to minimised (other size changes are Other)
    TrayDoubleClick,  // a left double-click on the tray icon (other mouse events are Other)
    Close,            // close box, Alt+F4, q, a signal
    Ok,               // Enter
    Cancel,           // Escape
    Other,
};

// Runs the first steps every event runs, then the event's own handling.
// Returns the dialog procedure's result: 1 for Initialise, Close, Ok and
// Cancel, 0 otherwise.
int handleDialogEvent(DialogEvent event);

// The start-up sequence, the poll cycle, and what a change of unit sets off
// (start_up_and_poll.cpp).
void runStartUp();
void pollCycle();
void unitChanged();

} // namespace pelmora
