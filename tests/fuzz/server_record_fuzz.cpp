// The team server's reading of a monitor record: any 768 bytes give a record
// or a reason, a record's texts are UTF-8 that the JSON writer takes and its
// numbers lie within their ranges.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "server/monitor/record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char bytes[pelmora::protocol::kRecordBytes] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    const pelmora::server::RecordParse parsed = pelmora::server::parseRecord(bytes, sizeof bytes);
    if (parsed.ok == !parsed.reason.empty()) std::abort();
    if (parsed.ok) {
        const pelmora::server::MonitorRecord& r = parsed.record;
        // Throws, and so fails the run, on text that is not UTF-8.
        nlohmann::json{r.computerName, r.unit, r.cpuVendor, r.core, r.user}.dump();
        if (r.slot < -128 || r.slot > 127 || r.team < 0) std::abort();
        // Every number the status arithmetic uses within its range.
        using namespace pelmora::server;
        const auto within = [](double value, NumberRange range) { return value >= range.low && value <= range.high; };
        if (!within(r.progress, kProgressRange) || !within(r.unitsSeen, kUnitsSeenRange) ||
            !within(r.cpuMhz, kCpuMhzRange) || !within(r.frames, kFramesRange) || !within(r.points, kPointsRange))
            std::abort();
    }
    return 0;
}
