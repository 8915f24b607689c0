// Who is asking: the admin or viewer token as a Bearer header (scripts), or
// a session cookie set by the dashboard's sign-in form (browsers). A
// session is a random identifier kept in the store with its role and its
// own cross-site token, which every state-changing request made with the
// cookie must carry in X-CSRF-Token. A session's identifier carries a mark
// of the token that made it, so a change of token ends the sessions made
// with the old one. Wrong tokens are slowed down per source address.
#pragma once

#include <optional>
#include <string>

#include "server/http/http_request.h"
#include "server/api/sign_in_throttle.h"
#include "server/store/store.h"

namespace pelmora::server {

enum class Role { none, viewer, admin };

struct Caller {
    Role role = Role::none;
    std::optional<SessionRow> session; // when known by its cookie
    long long retryAfter = 0;          // seconds: a wrong token, and too many from this address
};

constexpr const char* kSessionCookie = "pelmora_session";

class Sessions {
public:
    // An empty VIEWER_TOKEN leaves viewing open to all.
    Sessions(Store& store, std::string adminToken, std::string viewerToken)
        : store_(store), adminToken_(std::move(adminToken)), viewerToken_(std::move(viewerToken))
    {
    }

    Caller identify(const HttpRequest& req, long long now);
    bool mayView(const Caller& caller) const { return viewerToken_.empty() || caller.role != Role::none; }
    bool viewerTokenRequired() const { return !viewerToken_.empty(); }

    // A new session for TOKEN, or nothing when it is neither token (a
    // failure of ADDRESS; RETRY_AFTER, if given, set to its wait when it
    // must wait for a verdict).
    std::optional<SessionRow> signIn(const std::string& token, const std::string& address, long long now,
                                     long long* retryAfter = nullptr);
    void signOut(const std::string& id, long long now) { store_.removeSessions(id, now); }

private:
    Role roleOf(const std::string& token) const;
    long long wrongToken(const std::string& address); // the wait, or 0: a failure counted
    const std::string& tokenOf(Role role) const { return role == Role::admin ? adminToken_ : viewerToken_; }

    Store& store_;
    const std::string adminToken_, viewerToken_;
    SignInThrottle throttle_;
};

// The request comes from a page of this server, as far as the browser
// says: no Origin or Referer of another host, no cross-site fetch.
bool sameOrigin(const HttpRequest& req);

// A cookie's value in a Cookie header, or empty.
std::string cookieValue(const std::string& header, const std::string& name);

// The Set-Cookie value for SESSION (empty: the cookie cleared); Secure when
// the request came over TLS through a proxy.
std::string sessionCookie(const HttpRequest& req, const std::optional<SessionRow>& session, long long now);

} // namespace pelmora::server
