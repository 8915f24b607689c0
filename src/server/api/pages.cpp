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
    if (!text) {
        const std::string type = asset.type;
        const bool compress = type.compare(0, 5, "text/") == 0 || type.find("javascript") != std::string::npos ||
                              type.find("json") != std::string::npos || type.find("svg") != std::string::npos;
        text = std::make_shared<const SharedText>(std::string(reinterpret_cast<const char*>(asset.data), asset.size),
                                                  compress);
    }
    return text;
}

void serveAsset(const std::string& name, HttpResponse& res)
{
    const WebAsset* asset = findAsset(name);
    if (!asset) return fail(res, 404, "not found");
    res.set_header("Content-Security-Policy", kPagePolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "same-origin");
    res.set_header("Cache-Control", "no-cache");
    res.set_content(sharedAsset(*asset), asset->type);
}

} // namespace

void getIndexPage(ApiContext&, const HttpRequest&, HttpResponse& res) { serveAsset("index.html", res); }
void getTeamPage(ApiContext&, const HttpRequest&, HttpResponse& res) { serveAsset("team.html", res); }
void getSignInPage(ApiContext&, const HttpRequest&, HttpResponse& res) { serveAsset("signin.html", res); }
void getMachinePage(ApiContext&, const HttpRequest&, HttpResponse& res) { serveAsset("machine.html", res); }
void getAsset(ApiContext&, const HttpRequest& req, HttpResponse& res) { serveAsset(req.matches[1].str(), res); }

} // namespace pelmora::server
