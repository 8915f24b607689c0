// The start-up sequence, the poll cycle and what a unit change sets off.
#include "app/dialog.h"
#include "app/server_commands.h"
#include "app/status_texts.h"
#include "app/tray.h"
#include "config/client_identity.h"
#include "config/machine_facts.h"
#include "config/settings.h"
#include "net/monitor_reports.h"
#include "net/stats_site.h"
#include "platform/platform.h"
#include "state/monitor_state.h"
#include "ui/ui.h"
#include "workunit/activity_log.h"
#include "workunit/project_database.h"
#include "workunit/unit_file.h"

namespace pelmora {

// The client has moved on: time the finished unit and, while the log is
// kept, record it and prepare the new one.
void unitChanged()
{
    state.now = platform().now();
    state.unitMinutes = difftime(state.now, state.unitStart) / 60.0;
    state.unitStart = platform().now();
    if (state.firstPoll == 0 && state.fhlog == 1) {
        if (state.frames > 0) state.frameMinutes = static_cast<float>(state.unitMinutes / state.frames);
        writeUnitLog(statsHostLabel());
        lookUpProject();
        if (state.korv == 1) submitUnitStats();
        if (state.quiet != 0) refreshTrayTip();
    }
    ++state.unitCount;
}

void runStartUp()
{
    WindowSystem& ui = windowSystem();
    readSettings();
    ui.startTimer(pollPeriodMilliseconds());
    readComputerName();
    readClientIdentity();
    readProcessorFacts();
    state.unitStart = platform().now();
    state.programStart = platform().now();
    if (readUnitFile(unitChanged) == 0) {
        // Nothing is logged or reported once the message is dismissed.
        ui.messageBox(kUnitFilePath, kMissingUnitFileText);
        ui.exitProcess(0);
        return;
    }
    if (state.fhlog == 1) writeStartBanner();
    lookUpProject();
    if (state.stats != 0) sendStatusReport(obeyServerCommand);
    refreshStatusTexts();
    if (state.quiet != 0) {
        applyTrayMode();
        refreshTrayTip();
    }
    state.firstPoll = 0;
}

void pollCycle()
{
    readUnitFile(unitChanged); // a failed read keeps the last values
    if (state.stats != 0) sendStatusReport(obeyServerCommand);
    if (state.quiet != 0) refreshTrayTip();
    refreshStatusTexts();
}

} // namespace pelmora
