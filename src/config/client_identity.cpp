#include "config/client_identity.h"

#include <cstring>

#include "app/monitor_state.h"
#include "config/text_reading.h"
#include "platform/platform.h"

namespace {
constexpr const char* kClientConfigPath = "../client.cfg";
constexpr int kSkipWidth = 20;

// Removes every occurrence of key from text, searching on from where each
// removal was made.
void deleteEvery(char* text, const char* key)
{
    const size_t keyLength = std::strlen(key);
    char* from = text;
    while (*from) {
        char* found = std::strstr(from, key);
        if (!found) break;
        std::memmove(found, found + keyLength, std::strlen(found + keyLength) + 1);
        from = found;
    }
}

// One pass over the file for a number that follows "key" inside a piece.
bool readNumberPass(const char* key, int pieceWidth, int* field)
{
    state.input = openTextFile(kClientConfigPath);
    if (!state.input) return false;
    while (!std::feof(state.input)) {
        if (!readPiece(state.input, state.lineBuffer, pieceWidth)) break;
        if (state.lineBuffer[0] == '\0' || !std::strstr(state.lineBuffer, key)) continue;
        deleteEvery(state.lineBuffer, key);
        *field = atoiSaturating(state.lineBuffer);
        skipLine(state.input, kSkipWidth);
    }
    std::fclose(state.input);
    state.input = nullptr;
    return true;
}

// The pass for the user name: the first word after a piece that starts "usern".
bool readUserNamePass()
{
    state.input = openTextFile(kClientConfigPath);
    if (!state.input) return false;
    while (!std::feof(state.input)) {
        if (!readPiece(state.input, state.lineBuffer, 10)) break;
        if (std::strncmp(state.lineBuffer, "usern", 5) != 0) continue;
        scanWord(state.input, state.username, sizeof state.username);
        skipLine(state.input, kSkipWidth);
    }
    std::fclose(state.input);
    state.input = nullptr;
    return true;
}
} // namespace

void readClientIdentity()
{
    if (!readNumberPass("machineid=", 15, &state.machineId)) return;
    if (!readUserNamePass()) return;
    readNumberPass("team=", 12, &state.team);
}
