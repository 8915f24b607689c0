// v7 replies: any bytes as the text the client sends. Each reply taken
// shortens the text; the unit file of every queue is whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bridge_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string buffer(reinterpret_cast<const char*>(data), size), name;
    bridge::Json body;
    for (size_t before = buffer.size(); bridge::takePyonReply(buffer, name, body); before = buffer.size()) {
        if (buffer.size() >= before) {
            std::fprintf(stderr, "a reply was taken, yet the text did not shorten\n");
            std::abort();
        }
        bridge::UnitFacts facts;
        for (int slot : {-1, 0, 1})
            if (bridge::chooseV7Unit(body, slot, facts)) checkUnitFile(facts);
    }
    return 0;
}
