#include "server/monitor/record.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "protocol/monitor_protocol.h"

namespace pelmora::server {
namespace {

// Well-formed UTF-8 as RFC 3629 has it: no overlong forms, no surrogates,
// nothing past U+10FFFF.
bool validUtf8(const std::string& s)
{
    for (std::size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        std::size_t extra = 0;
        unsigned char low = 0x80, high = 0xBF; // the range of the second byte
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) extra = 1;
        else if (c >= 0xE0 && c <= 0xEF) extra = 2, low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
        else if (c >= 0xF0 && c <= 0xF4) extra = 3, low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
        else return false;
        if (i + extra >= s.size()) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(s[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
        }
        i += extra + 1;
    }
    return true;
}

bool toInt(const std::string& word, int& out)
{
    if (word.empty()) return false;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), out);
    return error == std::errc() && end == word.data() + word.size();
}

bool toDouble(const std::string& word, double& out)
{
    if (word.empty()) return false;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), out);
    return error == std::errc() && end == word.data() + word.size() && std::isfinite(out);
}

template <typename Number>
void clamp(Number& value, NumberRange range, int& clamped)
{
    if (value >= range.low && value <= range.high) return;
    value = static_cast<Number>(value < range.low ? range.low : range.high);
    ++clamped;
}

} // namespace

std::string asUtf8(const std::string& text)
{
    if (validUtf8(text)) return text;
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out += ch;
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

RecordParse parseRecord(const char* bytes, std::size_t size)
{
    RecordParse result;
    const void* nul = std::memchr(bytes, '\0', size);
    if (!nul) {
        result.reason = "no terminator in the record";
        return result;
    }
    const std::string text(bytes, static_cast<const char*>(nul));
    for (const char ch : text)
        if (static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F) {
            result.reason = "control character in the record";
            return result;
        }

    std::vector<std::string> words(1);
    for (const char ch : text) {
        if (ch == ' ')
            words.emplace_back();
        else
            words.back() += ch;
    }
    // The fields before the vendor from the front, those after it from the
    // back; the vendor (one word or more) is what lies between.
    using namespace protocol;
    const std::size_t n = words.size();
    if (n < kRecordSpaces + 1u) {
        result.reason = "only " + std::to_string(n) + " words";
        return result;
    }
    const auto fromBack = [&](Field f) -> std::size_t { return n - 1 - (kRecordSpaces - spacesBefore(f)); };
    const auto front = [&](Field f) -> const std::string& { return words[spacesBefore(f)]; };
    const auto back = [&](Field f) -> const std::string& { return words[fromBack(f)]; };
    if (!words[fromBack(kInTray) - 1].empty()) {
        result.reason = "no double space before the tray flag";
        return result;
    }
    // A field's word: from the front before the vendor, from the back after it.
    const auto word = [&](const RecordField& f) -> const std::string& {
        return f.field < kCpuVendor ? front(f.field) : back(f.field);
    };
    RecordValues v;
    for (const RecordField& f : kRecordFields)
        if (f.kind == FieldKind::kWhole && !toInt(word(f), v.*f.whole)) {
            result.reason = std::string("the ") + f.name + " is not a whole number";
            return result;
        }
    for (const RecordField& f : kRecordFields)
        if (f.kind == FieldKind::kReal && !toDouble(word(f), v.*f.real)) {
            result.reason = std::string("the ") + f.name + " is not a number";
            return result;
        }
    MonitorRecord& r = result.record;
    r.slot = v.slot;
    r.cpu = v.cpu;
    r.unitsSeen = v.unitsSeen;
    r.progress = v.progress;
    r.cpuMhz = v.cpuMhz;
    r.frames = v.frames;
    r.points = v.points;
    r.team = v.team;
    if (r.slot < -128 || r.slot > 127) {
        result.reason = "slot out of range";
        return result;
    }
    if (v.exiting != 0 && v.exiting != 1) {
        result.reason = "the exit flag is neither 0 nor 1";
        return result;
    }
    if (r.team < 0) {
        result.reason = "the team is negative";
        return result;
    }
    clamp(r.progress, kProgressRange, r.clamped);
    clamp(r.unitsSeen, kUnitsSeenRange, r.clamped);
    clamp(r.cpuMhz, kCpuMhzRange, r.clamped);
    clamp(r.frames, kFramesRange, r.clamped);
    clamp(r.points, kPointsRange, r.clamped);
    r.exiting = v.exiting == 1;
    r.inTray = v.inTray != 0;
    r.computerName = asUtf8(front(kComputerName));
    r.unit = asUtf8(front(kUnit));
    std::string vendor = front(kCpuVendor);
    for (std::size_t i = spacesBefore(kCpuVendor) + 1; i < fromBack(kCore); ++i) vendor += ' ' + words[i];
    r.cpuVendor = asUtf8(vendor);
    r.core = asUtf8(back(kCore));
    r.user = asUtf8(back(kUser));
    result.ok = true;
    return result;
}

} // namespace pelmora::server
