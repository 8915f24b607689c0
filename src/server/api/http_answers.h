// Small pieces every HTTP handler of the server uses: JSON answers and
// errors, and whole numbers from the query.
#pragma once

#include <string>

#include "server/fleet/json_shapes.h"
#include "server/http/http_request.h"

namespace pelmora::server {

// BODY as JSON, with STATUS.
void answer(HttpResponse& res, int status, const Json& body);
// {"error": REASON} with STATUS.
void fail(HttpResponse& res, int status, const std::string& reason);
// A query value; one given empty ("?user=&team=") counts as not given.
bool given(const HttpRequest& req, const char* key);
// A whole number from the query, or the default; false when malformed.
bool queryNumber(const HttpRequest& req, const char* key, long long low, long long high, long long& value);
// ?days= of a points history: from 1 to the days kept; and what a bad one is told.
bool pointsDays(const HttpRequest& req, long long& days);
std::string pointsDaysError();

} // namespace pelmora::server
