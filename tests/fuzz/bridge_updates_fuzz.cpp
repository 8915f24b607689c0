// The v8 stream: a message a line, the first the whole state when it is an object. A refused
// update leaves the state as it was; the unit file of every state is whole.
#include <cstdint>
#include <sstream>

#include "bridge_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size), line;
    pelmora::bridge::Json state = pelmora::bridge::Json::parse(R"({"units":[{"group":"","state":"RUN","assignment":{"project":1,
        "time":"2025-01-05T08:40:03Z","deadline":60},"wu":{"run":2,"clone":3,"gen":4},"wu_progress":0.5}]})");
    std::istringstream lines(input);
    std::string followed; // kept from state to state, as the bridge keeps it
    for (bool first = true; std::getline(lines, line); first = false) {
        const pelmora::bridge::Json message = pelmora::bridge::parseMessage(line), before = state;
        if (first && message.is_object()) state = message;
        if (message.is_array() && !pelmora::bridge::applyUpdate(state, message) && state != before) {
            std::fprintf(stderr, "a refused update changed the state\n");
            std::abort();
        }
        pelmora::bridge::UnitFacts facts;
        if (pelmora::bridge::chooseV8Unit(state, {}, followed, facts)) checkUnitFile(facts);
    }
    return 0;
}
