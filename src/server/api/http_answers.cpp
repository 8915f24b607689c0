#include "server/api/http_answers.h"

#include <cerrno>
#include <cstdlib>

#include "server/support/defaults.h"

namespace pelmora::server {

void answer(HttpResponse& res, int status, const Json& body)
{
    res.status = status;
    res.set_content(jsonText(body), "application/json");
}

void fail(HttpResponse& res, int status, const std::string& reason)
{
    answer(res, status, errorJson(reason));
}

bool given(const HttpRequest& req, const char* key)
{
    return req.has_param(key) && !req.get_param_value(key).empty();
}

bool queryNumber(const HttpRequest& req, const char* key, long long low, long long high, long long& value)
{
    if (!given(req, key)) return true;
    const std::string text = req.get_param_value(key);
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || v < low || v > high) return false;
    value = v;
    return true;
}

bool pointsDays(const HttpRequest& req, long long& days)
{
    return queryNumber(req, "days", 1, defaults::kPointsDays, days);
}

std::string pointsDaysError()
{
    return "days must be a whole number from 1 to " + std::to_string(defaults::kPointsDays) + " (the days kept)";
}

} // namespace pelmora::server
