#include "server/api/sessions.h"

#include <boost/uuid/detail/sha1.hpp>

#include "server/support/admin_token.h"
#include "server/support/defaults.h"
#include "server/support/token_compare.h"

namespace pelmora::server {
namespace {

using defaults::kAdminSessionSeconds;
using defaults::kViewerSessionSeconds;

// "https://host:port" or "http://host:port/path" names HOST exactly.
bool namesHost(const std::string& url, const std::string& host)
{
    for (const char* scheme : {"http://", "https://"}) {
        const std::string start = std::string(scheme) + host;
        if (url.compare(0, start.size(), start) == 0 && (url.size() == start.size() || url[start.size()] == '/'))
            return true;
    }
    return false;
}

// A session's identifier: a random half, then a mark of the random half
// and the token that signed in (SHA-1, hex), so neither half tells the token.
constexpr std::size_t kRandomHalf = 32;

std::string tokenMark(const std::string& random, const std::string& token)
{
    boost::uuids::detail::sha1 hash;
    const std::string text = random + "\n" + token;
    hash.process_bytes(text.data(), text.size());
    boost::uuids::detail::sha1::digest_type digest;
    hash.get_digest(digest);
    static const char kHex[] = "0123456789abcdef";
    std::string mark;
    for (std::size_t i = 0; mark.size() < kRandomHalf; ++i)
        for (int shift = 28; shift >= 0 && mark.size() < kRandomHalf; shift -= 4) mark += kHex[(digest[i] >> shift) & 15];
    return mark;
}

} // namespace

Role Sessions::roleOf(const std::string& token) const
{
    if (tokensEqual(token, adminToken_)) return Role::admin;
    if (tokensEqual(token, viewerToken_)) return Role::viewer;
    return Role::none;
}

Caller Sessions::identify(const HttpRequest& req, long long now)
{
    Caller caller;
    const std::string header = req.get_header_value("Authorization");
    const std::string bearer = "Bearer ";
    if (header.compare(0, bearer.size(), bearer) == 0) {
        // A right token first: never behind the throttle (sign_in_throttle.h).
        caller.role = roleOf(header.substr(bearer.size()));
        if (caller.role == Role::none) caller.retryAfter = wrongToken(req.remote_addr);
        return caller;
    }
    const std::string id = cookieValue(req.get_header_value("Cookie"), kSessionCookie);
    if (id.size() != 2 * kRandomHalf) return caller;
    caller.session = store_.session(id, now);
    if (!caller.session) return caller;
    const Role role = caller.session->role == "admin" ? Role::admin : Role::viewer;
    // Made with a token that is no longer this role's: not a session any more.
    if (tokenOf(role).empty() || !tokensEqual(id.substr(kRandomHalf), tokenMark(id.substr(0, kRandomHalf), tokenOf(role)))) {
        caller.session.reset();
        return caller;
    }
    caller.role = role;
    return caller;
}

long long Sessions::wrongToken(const std::string& address)
{
    const long long wait = throttle_.waitFor(address);
    if (wait == 0) throttle_.failed(address);
    return wait;
}

std::optional<SessionRow> Sessions::signIn(const std::string& token, const std::string& address, long long now,
                                           long long* retryAfter)
{
    const Role role = roleOf(token);
    if (role == Role::none) {
        const long long wait = wrongToken(address);
        if (retryAfter) *retryAfter = wait;
        return std::nullopt;
    }
    SessionRow session;
    std::string random;
    if (!randomHex(kRandomHalf / 2, random) || !randomHex(32, session.csrf)) return std::nullopt;
    session.id = random + tokenMark(random, token);
    session.role = role == Role::admin ? "admin" : "viewer";
    session.expires = now + (role == Role::admin ? kAdminSessionSeconds : kViewerSessionSeconds);
    store_.removeSessions("", now);
    store_.addSession(session);
    return session;
}

bool sameOrigin(const HttpRequest& req)
{
    const std::string site = req.get_header_value("Sec-Fetch-Site");
    if (!site.empty() && site != "same-origin" && site != "none") return false;
    const std::string host = req.get_header_value("Host");
    if (req.has_header("Origin")) return !host.empty() && namesHost(req.get_header_value("Origin"), host);
    if (req.has_header("Referer")) return !host.empty() && namesHost(req.get_header_value("Referer"), host);
    return true;
}

std::string cookieValue(const std::string& header, const std::string& name)
{
    std::size_t at = 0;
    while (at < header.size()) {
        const std::size_t end = std::min(header.find(';', at), header.size());
        std::size_t start = header.find_first_not_of(' ', at);
        if (start < end && header.compare(start, name.size() + 1, name + "=") == 0)
            return header.substr(start + name.size() + 1, end - start - name.size() - 1);
        at = end + 1;
    }
    return "";
}

std::string sessionCookie(const HttpRequest& req, const std::optional<SessionRow>& session, long long now)
{
    std::string cookie = std::string(kSessionCookie) + "=" + (session ? session->id : "") +
                         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         std::to_string(session ? session->expires - now : 0);
    if (req.get_header_value("X-Forwarded-Proto") == "https") cookie += "; Secure";
    return cookie;
}

} // namespace pelmora::server
