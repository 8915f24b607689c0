#include "workunit/activity_log.h"

#include "state/monitor_state.h"
#include "state/version.h"
#include "state/whole_numbers.h"
#include "platform/platform.h"

namespace pelmora {

namespace {
constexpr const char* kDashLine = "------------------------------------------------";

// Opens the log for one group of lines. The group goes to disk in one write
// when the log is closed, so a group is never left half-written.
bool openLog()
{
    state.logFile = std::fopen(kLogPath, "at");
    if (!state.logFile) return false;
    std::setvbuf(state.logFile, state.logBuffer, _IOFBF, sizeof state.logBuffer);
    return true;
}

void closeLog()
{
    std::fclose(state.logFile);
    state.logFile = nullptr;
}
} // namespace

void writeLogTime()
{
    time_t reading = platform().now();
    const char* text = std::ctime(&reading);
    std::fputs(text ? text : "(time unknown)\n", state.logFile);
}

void writeStartBanner()
{
    if (!openLog()) return;
    std::fprintf(state.logFile, "%s      %s\n", PELMORA_NAME_VERSION, PELMORA_CREDITS);
    std::fprintf(state.logFile, "%s\n\n", kDashLine);
    if (state.progress == 0)
        std::fprintf(state.logFile, "Beginning process for %s on ", state.unitName);
    else
        std::fprintf(state.logFile, "Continuing process at %d%% for %s on ", state.progress, state.unitName);
    writeLogTime();
    closeLog();
}

void writeUnitLog(const char* statsHost)
{
    if (!openLog()) return;
    std::fprintf(state.logFile, "%s completed in %f minutes on ", state.previousUnitName, state.unitMinutes);
    writeLogTime();
    if (state.stats != 0) std::fprintf(state.logFile, "%d frames total\n", state.frames);
    std::fprintf(state.logFile, "Average frame time: %f minutes per frame\n", state.frameMinutes);
    if (state.korv == 1) std::fprintf(state.logFile, "Submitting data to %s...\n", statsHost);
    std::fprintf(state.logFile, "Beginning process for %s on ", state.unitName);
    writeLogTime();
    closeLog();
}

void writeShutdownSummary()
{
    if (!openLog()) return;
    state.now = platform().now();
    const double uptime = difftime(state.now, state.programStart);
    const double hours = uptime / 3600.0;
    const int wholeMinutes = truncateToInt(uptime / 60.0);
    const int completed = state.unitCount - 1; // the unit still running is not counted
    std::fprintf(state.logFile, "%s\n", kDashLine);
    std::fputs("Pelmora stats after shutdown\n\n", state.logFile);
    std::fprintf(state.logFile, "Total uptime: %f hours\n", hours);
    std::fprintf(state.logFile, "Total WUs completed: %d\n", completed);
    // The average is over every unit seen, the running one included.
    if (completed > 0)
        std::fprintf(state.logFile, "Average time per WU: %f minutes\n",
                     static_cast<double>(wholeMinutes) / state.unitCount);
    std::fprintf(state.logFile, "%s\n\n\n\n\n", kDashLine);
    closeLog();
}

} // namespace pelmora
