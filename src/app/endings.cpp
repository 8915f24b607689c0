#include "app/endings.h"

#include "app/tray.h"
#include "net/monitor_reports.h"
#include "state/monitor_state.h"
#include "ui/ui.h"
#include "workunit/activity_log.h"

namespace pelmora {

namespace {
void writeSummaryAndExitReport()
{
    if (state.fhlog != 0) writeShutdownSummary();
    if (state.stats != 0) sendExitReport();
}
} // namespace

void closeShutdown()
{
    if (state.quiet != 0) deleteTrayIcon();
    writeSummaryAndExitReport();
    windowSystem().endDialog(0);
}

void cancelShutdown()
{
    writeSummaryAndExitReport();
    windowSystem().endDialog(0);
}

void exitRequestShutdown()
{
    // Events that destroying the window delivers meanwhile get no handling.
    state.exiting = 1;
    writeSummaryAndExitReport();
    if (state.quiet != 0) {
        deleteTrayIcon();
        windowSystem().destroyWindow();
    }
    windowSystem().exitProcess(0);
}

} // namespace pelmora
