#include "config/settings.h"

#include <cstring>

#include "app/monitor_state.h"
#include "config/text_reading.h"
#include "platform/platform.h"

namespace {
constexpr const char* kSettingsPath = "pelmora.ini";
constexpr int kPieceWidth = 7;   // six characters: a five-letter key and one separator
constexpr int kKeyLength = 5;
constexpr int kSkipWidth = 500;

// One settings key: an integer or a one-word text field.
struct SettingKey {
    const char* name;
    int* number;
    char* text;
    size_t width;
};

// In the order they are tried; no two share their first five letters.
const SettingKey kKeys[] = {
    {"delay", &state.delay, nullptr, 0},
    {"cpunum", &state.cpunum, nullptr, 0},
    {"ontop", &state.ontop, nullptr, 0},
    {"fhlog", &state.fhlog, nullptr, 0},
    {"stats", &state.stats, nullptr, 0},
    {"quiet", &state.quiet, nullptr, 0},
    {"spath", nullptr, state.spath, sizeof state.spath},
    {"ipadd", nullptr, state.ipadd, sizeof state.ipadd},
    {"servc", &state.servc, nullptr, 0},
    {"korv!", &state.korv, nullptr, 0},
    {"nowin", &state.nowin, nullptr, 0},
    {"khost", nullptr, state.khost, sizeof state.khost},
};

const SettingKey* findKey(const char* piece)
{
    for (const SettingKey& key : kKeys)
        if (std::strncmp(piece, key.name, kKeyLength) == 0) return &key;
    return nullptr;
}

// The file gives minutes; the program keeps seconds. The rule applies to
// whatever delay holds, so a later unreadable "delay" line converts again.
void convertDelay()
{
    if (state.delay < 1) state.delay = 1;
    if (state.delay > kMaxDelayMinutes) state.delay = kMaxDelayMinutes;
    state.delay *= 60;
}
} // namespace

int readSettings()
{
    state.input = openTextFile(kSettingsPath);
    if (!state.input) {
        state.cpunum = 1;
        state.delay = 5;
        state.ontop = 0;
        state.fhlog = 1;
        return 0;
    }
    while (!std::feof(state.input)) {
        if (!readPiece(state.input, state.lineBuffer, kPieceWidth)) break;
        if (state.lineBuffer[0] == '\0') continue;
        const SettingKey* key = findKey(state.lineBuffer);
        if (!key) continue; // the rest of the line is read on in pieces
        if (key->number)
            scanInt(state.input, key->number);
        else
            scanWord(state.input, key->text, key->width);
        if (key->number == &state.delay) convertDelay();
        skipLine(state.input, kSkipWidth);
    }
    std::fclose(state.input);
    state.input = nullptr;
    return 1;
}

unsigned pollPeriodMilliseconds()
{
    int seconds = state.delay < kMinPollSeconds ? kMinPollSeconds : state.delay;
    return static_cast<unsigned>(seconds) * 1000u;
}
