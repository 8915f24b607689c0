// The answers to a caller the route table does not let through.
#pragma once

#include "server/http/http_request.h"
#include "server/api/sessions.h"

namespace pelmora::server {

// Whether the caller may change things (an admin route): the admin token,
// or an admin session whose request carries the session's cross-site token
// and comes from our own pages. If not, RES holds the refusal, which is logged.
bool adminAllowed(Sessions& sessions, const HttpRequest& req, HttpResponse& res);

// 429 with Retry-After: too many wrong tokens from the caller's address.
void tooManyTries(HttpResponse& res, long long wait);

} // namespace pelmora::server
