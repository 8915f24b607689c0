#include "config/client_identity.h"

#include <cstring>

#include "state/monitor_state.h"
#include "reading/text_reading.h"

namespace pelmora {

namespace {
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

// A number that follows the key inside the piece: every copy of the key is
// taken out of the piece and what is left read as a number.
void readNumberInPiece(const KeyedLine& line)
{
    deleteEvery(state.lineBuffer, line.key);
    *line.number = atoiSaturating(state.lineBuffer);
}

// Three passes over the file, each with pieces of its own width: the machine
// number, the user name (the first word after a piece that starts "usern")
// and the team number.
const KeyedLine kMachineId[] = {{"machineid=", 0, readNumberInPiece, &state.machineId, nullptr, 0}};
const KeyedLine kUserName[] = {{"usern", 5, readWord, nullptr, state.username, sizeof state.username}};
const KeyedLine kTeam[] = {{"team=", 0, readNumberInPiece, &state.team, nullptr, 0}};
} // namespace

void readClientIdentity()
{
    if (!readKeyedFile(kClientConfigPath, 15, kSkipWidth, kMachineId)) return;
    if (!readKeyedFile(kClientConfigPath, 10, kSkipWidth, kUserName)) return;
    readKeyedFile(kClientConfigPath, 12, kSkipWidth, kTeam);
}

} // namespace pelmora
