#include "app/dialog.h"

#include "app/endings.h"
#include "app/server_commands.h"
#include "app/tray.h"
#include "state/monitor_state.h"
#include "ui/ui.h"

namespace pelmora {

int handleDialogEvent(DialogEvent event)
{
    if (state.exiting != 0) return 0;
    if (state.ontop != 0 && state.quiet == 0) windowSystem().keepOnTop();
    if (state.serverCommand == kExitCommand) {
        exitRequestShutdown();
        return 0;
    }
    switch (event) {
    case DialogEvent::Initialise:
        runStartUp();
        return 1;
    case DialogEvent::TimerTick:
        if (state.firstPoll == 0) pollCycle();
        return 0;
    case DialogEvent::Minimise:
        trayOnMinimise();
        return 0;
    case DialogEvent::TrayDoubleClick:
        trayOnDoubleClick();
        return 0;
    case DialogEvent::Close:
        closeShutdown();
        return 1;
    case DialogEvent::Ok:
        windowSystem().endDialog(1);
        return 1;
    case DialogEvent::Cancel:
        cancelShutdown();
        return 1;
    case DialogEvent::Other:
        break;
    }
    return 0;
}

} // namespace pelmora
