// Small pieces every HTTP handler of the server uses: JSON answers and
// errors, and whole numbers from the query.
#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <string>

namespace pelmora_server {

void answer(httplib::Response& res, int status, const nlohmann::json& body);
// {"error": REASON} with STATUS.
void fail(httplib::Response& res, int status, const std::string& reason);
// A query value; one given empty ("?user=&team=") counts as not given.
bool given(const httplib::Request& req, const char* key);
// A whole number from the query, or the default; false when malformed.
bool queryNumber(const httplib::Request& req, const char* key, long long low, long long high, long long& value);

} // namespace pelmora_server
