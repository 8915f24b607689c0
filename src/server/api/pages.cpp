// The dashboard's pages and their files, as built into the server.
#include <map>
#include <mutex>

#include "server/api/handlers.h"
#include "server/api/http_answers.h"
#include "server/api/web_assets.h"

namespace pelmora::server {
namespace {

// Only the server's own files run in its pages, and no other site may frame them.
constexpr const char* kPagePolicy = "default-src 'self'; img-src 'self' data:; style-src 'self'; "
                                    "script-src 'self'; connect-src 'self'; frame-ancestors 'none'; "
                                    "form-action 'self'; base-uri 'none'";

const WebAsset* findAsset(const std::string& name)
{
    for (const WebAsset* a = webAssets(); a->name; ++a)
        if (name == a->name) return a;
    return nullptr;
}

// Each file once as a shared answer, so its gzip form is made once too
// (the text files'; images are compressed already).
std::shared_ptr<const SharedText> sharedAsset(const WebAsset& asset)
{
    static std::mutex mutex;
    static std::map<const WebAsset*, std::shared_ptr<const SharedText>> made;
    std::lock_guard<std::mutex> lock(mutex);
    std::shared_ptr<const SharedText>& text = made[&asset];
    if (!text)
        text = std::make_shared<const SharedText>(std::string(reinterpret_cast<const char*>(asset.data), asset.size),
                                                  compressibleType(asset.type));
    return text;
}

// Whether If-None-Match (a list of entity tags, or "*") names ETAG; a weak
// tag ("W/...") matches by its value, as a GET's check wants.
bool unchanged(const std::string& ifNoneMatch, const std::string& etag)
{
    std::size_t at = 0;
    while (at < ifNoneMatch.size()) {
        std::size_t end = ifNoneMatch.find(',', at);
        if (end == std::string::npos) end = ifNoneMatch.size();
        std::string tag = ifNoneMatch.substr(at, end - at);
        tag.erase(0, tag.find_first_not_of(" \t"));
        tag.erase(tag.find_last_not_of(" \t") + 1);
        if (tag.compare(0, 2, "W/") == 0) tag.erase(0, 2);
        if (tag == "*" || tag == etag) return true;
        at = end + 1;
    }
    return false;
}

// Every file is asked again each time (no-cache), and answered 304 without
// its bytes while the browser's copy has the same ETag: a reload costs a
// round trip a file, not the files.
void serveAsset(const std::string& name, const HttpRequest& req, HttpResponse& res)
{
    const WebAsset* asset = findAsset(name);
    if (!asset) return fail(res, 404, "not found");
    res.set_header("Content-Security-Policy", kPagePolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("Cache-Control", "no-cache");
    res.set_header("ETag", asset->etag);
    if (unchanged(req.get_header_value("If-None-Match"), asset->etag)) {
        res.status = 304;
        return;
    }
    res.set_content(sharedAsset(*asset), asset->type);
}

} // namespace

void getIndexPage(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset("index.html", req, res); }
void getTeamPage(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset("team.html", req, res); }
void getSignInPage(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset("signin.html", req, res); }
void getMachinePage(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset("machine.html", req, res); }
void getAsset(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset(req.matches[1].str(), req, res); }

} // namespace pelmora::server
