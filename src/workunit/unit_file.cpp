#include "workunit/unit_file.h"

#include <cstring>

#include "state/fixed_text.h"
#include "state/monitor_state.h"
#include "reading/text_reading.h"

namespace pelmora {

namespace {
constexpr int kPieceWidth = 7;
constexpr int kSkipWidth = 500;
constexpr size_t kSameUnitLength = 35; // names agreeing this far are one unit

void discardWords(int count)
{
    for (int i = 0; i < count; ++i) scanWord(state.input, state.wordBuffer, sizeof state.wordBuffer);
}

void (*onUnitChanged)() = nullptr;

void readName(const KeyedLine&)
{
    copyPadded(state.previousUnitName, state.unitName, kSameUnitLength);
    scanWord(state.input, state.unitName, sizeof state.unitName);
    if (std::strncmp(state.previousUnitName, state.unitName, kSameUnitLength) != 0 && onUnitChanged) onUnitChanged();
}

void readDownloadTime(const KeyedLine&)
{
    discardWords(2);
    scanWord(state.input, state.startMonth, sizeof state.startMonth);
    scanWord(state.input, state.startDay, sizeof state.startDay);
    scanWord(state.input, state.startTime, sizeof state.startTime);
}

void readDueTime(const KeyedLine&)
{
    discardWords(1);
    scanWord(state.input, state.dueMonth, sizeof state.dueMonth);
    scanWord(state.input, state.dueDay, sizeof state.dueDay);
    scanWord(state.input, state.dueTime, sizeof state.dueTime);
}

void readProgress(const KeyedLine&)
{
    discardWords(1);
    scanInt(state.input, &state.progress);
}

// The kinds of line, tried in this order, each over its own length.
const KeyedLine kLines[] = {
    {"Name:", 5, readName, nullptr, nullptr, 0},
    {"Downlo", 5, readDownloadTime, nullptr, nullptr, 0},
    {"Due", 3, readDueTime, nullptr, nullptr, 0},
    {"Progr", 5, readProgress, nullptr, nullptr, 0},
};
} // namespace

int readUnitFile(void (*unitChanged)())
{
    onUnitChanged = unitChanged;
    if (!readKeyedFile(kUnitFilePath, kPieceWidth, kSkipWidth, kLines)) return 0;
    if (state.dueMonth[0] == '\0') std::strcpy(state.dueMonth, "Timeless");
    return 1;
}

} // namespace pelmora
