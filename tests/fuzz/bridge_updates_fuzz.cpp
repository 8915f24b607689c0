// The v8 update stream: one message a line, the first the whole state (a
// fixed one when it is not an object). A refused update leaves the state
// as it was; the unit file of every state is whole.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "bridge_fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using bridge::Json;
    const std::string input(reinterpret_cast<const char*>(data), size);
    Json state = Json::parse(R"({"units":[{"group":"","state":"RUN","assignment":{"project":1,"time":"2025-01-05T08:40:03Z",
        "deadline":60},"wu":{"run":2,"clone":3,"gen":4},"wu_progress":0.5},{"group":"","state":"DOWNLOAD"}]})");
    size_t start = 0;
    for (bool first = true; start <= input.size(); first = false) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos) end = input.size();
        const Json message = Json::parse(input.substr(start, end - start), nullptr, false);
        start = end + 1;
        if (first && message.is_object()) state = message;
        if (message.is_array()) {
            const Json before = state;
            if (!bridge::applyUpdate(state, message) && state != before) {
                std::fprintf(stderr, "a refused update changed the state\n");
                std::abort();
            }
        }
        bridge::UnitFacts facts;
        if (bridge::chooseV8Unit(state, "", facts)) checkUnitFile(facts);
    }
    return 0;
}
