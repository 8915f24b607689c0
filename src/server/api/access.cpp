#include "server/api/access.h"

#include "server/api/context.h"
#include "server/api/http_answers.h"
#include "server/support/log.h"
#include "server/support/token_compare.h"

namespace pelmora::server {

bool adminAllowed(Sessions& sessions, const HttpRequest& req, HttpResponse& res)
{
    const Caller caller = sessions.identify(req, secondsNow());
    std::string refusal;
    if (caller.retryAfter > 0) {
        tooManyTries(res, caller.retryAfter);
        refusal = "too many wrong tokens";
    } else if (caller.role == Role::none) {
        res.set_header("WWW-Authenticate", "Bearer");
        fail(res, 401, "a valid admin token is needed (Authorization: Bearer TOKEN), or sign in");
        refusal = "no valid token";
    } else if (caller.role != Role::admin) {
        fail(res, 403, "commands need the admin token");
        refusal = "a viewer";
    } else if (caller.session &&
               (!sameOrigin(req) || !tokensEqual(req.get_header_value("X-CSRF-Token"), caller.session->csrf))) {
        fail(res, 403, "a cross-site request is refused");
        refusal = "a cross-site request";
    } else {
        return true;
    }
    logRepeated(Level::warn, Repeat::noise, "admin refused", req.remote_addr,
                req.method + " " + req.path + " from " + req.remote_addr + " refused: " + refusal);
    return false;
}

void tooManyTries(HttpResponse& res, long long wait)
{
    res.set_header("Retry-After", std::to_string(wait));
    fail(res, 429, "too many wrong tokens from this address: try again in " + std::to_string(wait) + " s");
}

} // namespace pelmora::server
