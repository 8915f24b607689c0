// The session's state, the sign-in form's post and signing out.
#include "server/api/handlers.h"
#include "server/fleet/json_shapes.h"
#include "server/api/http_answers.h"
#include "server/support/log.h"
#include "server/support/token_compare.h"

namespace pelmora::server {
namespace {

// A local path to go back to after signing in: "/..." but not "//host",
// and nothing a browser might clean into one (a backslash, a tab or any
// other control character).
std::string localPath(const std::string& next)
{
    if (next.empty() || next[0] != '/' || (next.size() > 1 && next[1] == '/')) return "/";
    for (const char c : next)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f || c == '\\') return "/";
    return next;
}

// From the form in the body only: a token in the query would stay in logs and history.
std::string formValue(const HttpRequest& req, const char* key)
{
    const auto it = req.form.find(key);
    return it == req.form.end() ? "" : it->second;
}

} // namespace

void getSession(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const Caller caller = api.sessions.identify(req, secondsNow());
    answer(res, 200, sessionJson(caller.session ? &*caller.session : nullptr, api.sessions.viewerTokenRequired()));
}

// A wrong token goes back to the form, which says so.
void postSignIn(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    if (!sameOrigin(req)) {
        logRepeated(Level::warn, Repeat::noise, "sign-in refused", req.remote_addr,
                    "sign-in from " + req.remote_addr + " refused: a cross-site request");
        return fail(res, 403, "a cross-site request is refused");
    }
    const std::string next = localPath(formValue(req, "next"));
    const long long now = secondsNow();
    long long wait = 0;
    const std::optional<SessionRow> session =
        api.sessions.signIn(formValue(req, "token"), req.remote_addr, now, &wait);
    if (wait > 0) {
        res.set_header("Retry-After", std::to_string(wait));
        return fail(res, 429, "too many wrong tokens: try again in " + std::to_string(wait) + " s");
    }
    if (!session) {
        logRepeated(Level::warn, Repeat::noise, "sign-in refused", req.remote_addr,
                    "sign-in from " + req.remote_addr + " refused: not a valid token");
        return res.set_redirect("/signin?error=1&next=" + encodeQueryParam(next), 303);
    }
    logEvent(Level::info, "signed in from " + req.remote_addr + " as " + session->role);
    res.set_header("Set-Cookie", sessionCookie(req, session, now));
    res.set_redirect(next, 303);
}

void postSignOut(ApiContext& api, const HttpRequest& req, HttpResponse& res)
{
    const long long now = secondsNow();
    const Caller caller = api.sessions.identify(req, now);
    if (!caller.session) return fail(res, 401, "not signed in");
    if (!sameOrigin(req) || !tokensEqual(req.get_header_value("X-CSRF-Token"), caller.session->csrf))
        return fail(res, 403, "a cross-site request is refused");
    api.sessions.signOut(caller.session->id, now);
    res.set_header("Set-Cookie", sessionCookie(req, std::nullopt, now));
    res.status = 204;
}

} // namespace pelmora::server
