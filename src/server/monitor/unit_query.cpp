#include "server/monitor/unit_query.h"

#include <charconv>
#include <cmath>

#include "server/monitor/record.h"

namespace pelmora::server {
namespace {

struct Reader {
    const std::multimap<std::string, std::string>& params;
    std::string reason;

    const std::string* value(const char* key)
    {
        if (!reason.empty()) return nullptr;
        const auto count = params.count(key);
        if (count != 1) {
            reason = std::string(key) + (count == 0 ? " is missing" : " is given more than once");
            return nullptr;
        }
        return &params.find(key)->second;
    }

    void text(const char* key, std::string& out)
    {
        const std::string* v = value(key);
        if (!v) return;
        if (v->size() > kLongestQueryText) {
            reason = std::string(key) + " is longer than " + std::to_string(kLongestQueryText) + " bytes";
            return;
        }
        for (const char c : *v)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                reason = std::string(key) + " holds a control character";
                return;
            }
        out = asUtf8(*v);
    }

    void whole(const char* key, int& out, bool mayBeNegative)
    {
        const std::string* v = value(key);
        if (!v) return;
        const auto [end, error] = std::from_chars(v->data(), v->data() + v->size(), out);
        if (v->empty() || error != std::errc() || end != v->data() + v->size())
            reason = std::string(key) + " is not a whole number: '" + v->substr(0, 32) + "'";
        else if (!mayBeNegative && out < 0)
            reason = std::string(key) + " is negative";
    }

    void decimal(const char* key, double& out)
    {
        const std::string* v = value(key);
        if (!v) return;
        const auto [end, error] = std::from_chars(v->data(), v->data() + v->size(), out);
        if (v->empty() || error != std::errc() || end != v->data() + v->size() || !std::isfinite(out))
            reason = std::string(key) + " is not a number: '" + v->substr(0, 32) + "'";
    }
};

} // namespace

UnitQueryParse parseUnitQuery(const std::multimap<std::string, std::string>& params)
{
    UnitQueryParse result;
    Reader read{params, {}};
    UnitSubmission& u = result.unit;
    read.text("username", u.user);
    read.whole("team", u.team, true);
    read.whole("cpu", u.machine, true);
    read.whole("wucount", u.wucount, false);
    read.text("cpuvendor", u.cpuVendor);
    read.text("cpustring", u.cpuString);
    read.whole("cpumhz", u.cpuMhz, false);
    read.decimal("frametime", u.frameMinutes);
    read.text("protein", u.protein);
    read.text("core", u.core);
    read.whole("memory", u.memoryMib, false);
    result.ok = read.reason.empty();
    result.reason = read.reason;
    return result;
}

} // namespace pelmora::server
