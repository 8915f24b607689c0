// v7: any bytes as the client's text. Each reply taken shortens it; the unit file of every
// queue is whole.
#include <cstdint>

#include "bridge_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string buffer(reinterpret_cast<const char*>(data), size), name;
    pelmora::bridge::Json body;
    for (size_t before = size; pelmora::bridge::takePyonReply(buffer, name, body); before = buffer.size()) {
        if (buffer.size() >= before) std::abort(); // a reply taken, yet nothing consumed
        pelmora::bridge::UnitFacts facts;
        std::string followed;
        for (int slot : {-1, 0, 1})
            if (pelmora::bridge::chooseV7Unit(body, slot, followed, facts)) checkUnitFile(facts);
    }
    return 0;
}
