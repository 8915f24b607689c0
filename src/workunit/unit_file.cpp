#include "workunit/unit_file.h"

#include <cstring>

#include "app/fixed_text.h"
#include "app/monitor_state.h"
#include "app/status_texts.h"
#include "config/text_reading.h"
#include "net/stats_site.h"
#include "platform/platform.h"
#include "ui/ui.h"
#include "workunit/activity_log.h"
#include "workunit/project_database.h"

namespace {
constexpr int kPieceWidth = 7;
constexpr int kSkipWidth = 500;
constexpr size_t kSameUnitLength = 35; // names agreeing this far are one unit

void discardWords(int count)
{
    for (int i = 0; i < count; ++i) scanWord(state.input, state.wordBuffer, sizeof state.wordBuffer);
}

// The client has moved on: time the finished unit and, while the log is
// kept, record it and prepare the new one.
void finishUnit()
{
    state.now = clockNow();
    state.unitMinutes = difftime(state.now, state.unitStart) / 60.0;
    state.unitStart = clockNow();
    if (state.firstPoll == 0 && state.fhlog == 1) {
        if (state.frames > 0) state.frameMinutes = static_cast<float>(state.unitMinutes / state.frames);
        writeUnitLog();
        lookUpProject();
        if (state.korv == 1) submitUnitStats();
        if (state.quiet != 0) refreshTrayTip();
    }
    ++state.unitCount;
}

void readName()
{
    copyPadded(state.previousUnitName, state.unitName, kSameUnitLength);
    scanWord(state.input, state.unitName, sizeof state.unitName);
    if (std::strncmp(state.previousUnitName, state.unitName, kSameUnitLength) != 0) finishUnit();
}

void readDownloadTime()
{
    discardWords(2);
    scanWord(state.input, state.startMonth, sizeof state.startMonth);
    scanWord(state.input, state.startDay, sizeof state.startDay);
    scanWord(state.input, state.startTime, sizeof state.startTime);
}

void readDueTime()
{
    discardWords(1);
    scanWord(state.input, state.dueMonth, sizeof state.dueMonth);
    scanWord(state.input, state.dueDay, sizeof state.dueDay);
    scanWord(state.input, state.dueTime, sizeof state.dueTime);
}

void readProgress()
{
    discardWords(1);
    scanInt(state.input, &state.progress);
}

// The kinds of line, tried in this order, each over its own length.
struct UnitLine {
    const char* test;
    size_t length;
    void (*read)();
};
const UnitLine kLines[] = {
    {"Name:", 5, readName},
    {"Downlo", 5, readDownloadTime},
    {"Due", 3, readDueTime},
    {"Progr", 5, readProgress},
};
} // namespace

int readUnitFile()
{
    state.input = openTextFile(kUnitFilePath);
    if (!state.input) {
        if (state.firstPoll != 0) windowSystem().messageBox(kUnitFilePath, kMissingUnitFileText);
        return 0;
    }
    while (!std::feof(state.input)) {
        if (!readPiece(state.input, state.lineBuffer, kPieceWidth)) break;
        if (state.lineBuffer[0] == '\0') continue;
        const UnitLine* line = nullptr;
        for (const UnitLine& candidate : kLines)
            if (std::strncmp(state.lineBuffer, candidate.test, candidate.length) == 0) {
                line = &candidate;
                break;
            }
        if (!line) continue; // the rest of the line is read on in pieces
        line->read();
        skipLine(state.input, kSkipWidth);
    }
    std::fclose(state.input);
    state.input = nullptr;
    if (state.dueMonth[0] == '\0') std::strcpy(state.dueMonth, "Timeless");
    return 1;
}
