#include "server/tokens.h"

#include "server/support/admin_token.h"
#include "server/support/log.h"

namespace pelmora::server {

bool loadTokens(const ServerOptions& options, const std::string& madeAdminFile, Tokens& tokens)
{
    std::string error, adminFile;
    bool created = false;
    if (!loadAdminToken(options.adminTokenFile, madeAdminFile, tokens.admin, adminFile, created, error)) {
        logEvent(Level::error, error);
        return false;
    }
    if (created) logEvent(Level::info, "admin token made and written to " + adminFile + " (mode 0600)");
    for (const std::string& file : {adminFile, options.viewerTokenFile})
        if (!file.empty() && readableByOthers(file))
            logEvent(Level::warn, "the token file " + file + " can be read by other users: chmod 600 " + file);
    if (!options.viewerTokenFile.empty() && !readToken(options.viewerTokenFile, tokens.viewer, error)) {
        logEvent(Level::error, error);
        return false;
    }
    return true;
}

} // namespace pelmora::server
