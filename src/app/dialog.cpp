#include "app/dialog.h"

#include "app/monitor_state.h"
#include "app/status_texts.h"
#include "config/client_identity.h"
#include "config/machine_facts.h"
#include "config/settings.h"
#include "net/monitor_reports.h"
#include "platform/platform.h"
#include "ui/ui.h"
#include "workunit/activity_log.h"
#include "workunit/project_database.h"
#include "workunit/unit_file.h"

namespace {
void writeSummaryAndExitReport()
{
    if (state.fhlog != 0) writeShutdownSummary();
    if (state.stats != 0) sendExitReport();
}

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
} // namespace

void runStartUp()
{
    WindowSystem& ui = windowSystem();
    readSettings();
    ui.startTimer(pollPeriodMilliseconds());
    readComputerName();
    readClientIdentity();
    readProcessorFacts();
    state.unitStart = clockNow();
    state.programStart = clockNow();
    if (readUnitFile() == 0) {
        // The message has been shown and dismissed: nothing is logged or reported.
        ui.exitProcess(0);
        return;
    }
    if (state.fhlog == 1) writeStartBanner();
    lookUpProject();
    if (state.stats != 0) sendStatusReport();
    refreshStatusTexts();
    if (state.quiet != 0) {
        applyTrayMode();
        refreshTrayTip();
    }
    state.firstPoll = 0;
}

void pollCycle()
{
    readUnitFile(); // a failed read keeps the last values
    if (state.stats != 0) sendStatusReport();
    if (state.quiet != 0) refreshTrayTip();
    refreshStatusTexts();
}

void toggleTrayMode()
{
    state.quiet = state.quiet == 0 ? 1 : 0;
    applyTrayMode();
}

int handleDialogEvent(DialogEvent event)
{
    if (state.exiting != 0) return 0;
    if (state.ontop != 0 && state.quiet == 0) windowSystem().keepOnTop();
    if (state.serverCommand == 1) {
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
        toggleTrayMode();
        refreshTrayTip();
        return 0;
    case DialogEvent::TrayDoubleClick:
        if (state.nowin == 0) toggleTrayMode();
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
