#include "config/settings.h"

#include "state/monitor_state.h"
#include "reading/text_reading.h"

namespace pelmora {

namespace {
constexpr int kPieceWidth = 7; // six characters: a five-letter key and one separator
constexpr size_t kKeyLength = 5;
constexpr int kSkipWidth = 500;

// The file gives minutes; the program keeps seconds. The rule applies to
// whatever delay holds, so a later unreadable "delay" line converts again.
void readDelay(const KeyedLine& line)
{
    readNumber(line);
    if (state.delay < 1) state.delay = 1;
    if (state.delay > kMaxDelayMinutes) state.delay = kMaxDelayMinutes;
    state.delay *= 60;
}

// In the order they are tried; no two share their first five letters.
const KeyedLine kKeys[] = {
    {"delay", kKeyLength, readDelay, &state.delay, nullptr, 0},
    {"cpunum", kKeyLength, readNumber, &state.cpunum, nullptr, 0},
    {"ontop", kKeyLength, readNumber, &state.ontop, nullptr, 0},
    {"fhlog", kKeyLength, readNumber, &state.fhlog, nullptr, 0},
    {"stats", kKeyLength, readNumber, &state.stats, nullptr, 0},
    {"quiet", kKeyLength, readNumber, &state.quiet, nullptr, 0},
    {"spath", kKeyLength, readWord, nullptr, state.spath, sizeof state.spath},
    {"ipadd", kKeyLength, readWord, nullptr, state.ipadd, sizeof state.ipadd},
    {"servc", kKeyLength, readNumber, &state.servc, nullptr, 0},
    {"korv!", kKeyLength, readNumber, &state.korv, nullptr, 0},
    {"nowin", kKeyLength, readNumber, &state.nowin, nullptr, 0},
    {"khost", kKeyLength, readWord, nullptr, state.khost, sizeof state.khost},
};
} // namespace

int readSettings()
{
    if (readKeyedFile(kSettingsPath, kPieceWidth, kSkipWidth, kKeys)) return 1;
    state.cpunum = 1;
    state.delay = 5;
    state.ontop = 0;
    state.fhlog = 1;
    return 0;
}

unsigned pollPeriodMilliseconds()
{
    int seconds = state.delay < kMinPollSeconds ? kMinPollSeconds : state.delay;
    return static_cast<unsigned>(seconds) * 1000u;
}

} // namespace pelmora
