#include "server/store/store.h"

namespace pelmora_server {
namespace {
const char* const kCommandNames[] = {nullptr, "exit", "tray", "restart"};
} // namespace

int commandByte(const std::string& name)
{
    for (int i = 1; i <= 3; ++i)
        if (name == kCommandNames[i]) return i;
    return 0;
}

const char* commandName(int byte) { return byte >= 1 && byte <= 3 ? kCommandNames[byte] : nullptr; }

} // namespace pelmora_server
