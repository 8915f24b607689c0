// The monitor's status record: protocol::kRecordBytes, a
// NUL-terminated text of its fields (protocol/monitor_protocol.h), then
// whatever the monitor's buffer held.
#pragma once

#include <cstddef>
#include <string>

#include "protocol/monitor_protocol.h"
#include "server/store/rows.h"

namespace pelmora::server {

// The sensible ranges of a record's numbers. A number outside its range is
// brought to the nearer end, so a machine with a broken unit file or
// project database still counts as reporting; a negative team or a slot
// outside a byte refuses the record.
struct NumberRange {
    double low, high;
};
constexpr NumberRange kProgressRange{0, 100};
constexpr NumberRange kUnitsSeenRange{0, 1e6};
constexpr NumberRange kCpuMhzRange{0, 1e5};
constexpr NumberRange kFramesRange{0, 1e6};
constexpr NumberRange kPointsRange{0, 1e7};

struct RecordParse {
    bool ok = false;
    MonitorRecord record;
    std::string reason; // why it was refused, for the log
};

// Reads the fields from both ends: the vendor text is whatever lies between
// the clock figure and the core. Text may be empty; bytes that are not UTF-8
// are taken as Latin-1 so everything stored is UTF-8. Numbers are brought
// into the ranges above.
RecordParse parseRecord(const char* bytes, std::size_t size);

// Text as UTF-8: kept when it already is, else each byte read as Latin-1.
std::string asUtf8(const std::string& text);

} // namespace pelmora::server
