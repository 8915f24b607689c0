#include "server/tokens.h"

#include <unistd.h>

#include "server/support/admin_token.h"
#include "server/support/log.h"

namespace pelmora::server {
namespace {

// The store's token, kept there by the first server to start. The file
// left in this folder by an earlier server, if any, is what it keeps, so
// that token goes on working.
bool sharedToken(Store& store, const std::string& madeFile, std::optional<std::string>& token, std::string& error)
{
    std::string made;
    if (::access(madeFile.c_str(), F_OK) == 0 ? !readToken(madeFile, made, error) : !randomHex(32, made)) {
        if (error.empty()) error = "no random bytes for the admin token";
        return false;
    }
    try {
        token = store.sharedAdminToken(made);
        return true;
    } catch (const StoreError& e) {
        error = std::string("cannot read the admin token from the store: ") + e.what();
        return false;
    }
}

} // namespace

bool loadTokens(const ServerOptions& options, Store& store, const std::string& madeAdminFile, Tokens& tokens)
{
    std::string error, adminFile;
    std::optional<std::string> shared;
    if (options.adminTokenFile.empty() && !sharedToken(store, madeAdminFile, shared, error)) {
        logEvent(Level::error, error);
        return false;
    }
    if (shared) {
        // Every server on the store signs in with the store's token. A copy
        // in the usual file, for the admin of this machine; without it, the
        // command this line names reads the store's.
        tokens.admin = *shared;
        std::string copied;
        const bool same = readToken(madeAdminFile, copied, error) && copied == *shared;
        if (same || writeTokenFile(madeAdminFile, *shared, error)) adminFile = madeAdminFile;
        logEvent(Level::info, "admin token: the store's, shared by every server on it" +
                                  (adminFile.empty() ? ", no copy here (" + error + ")"
                                                     : ", a copy in " + adminFile + " (mode 0600)") +
                                  "; `pelmora-server --show-admin-token` with the same --db prints it");
    } else {
        bool created = false;
        if (!loadAdminToken(options.adminTokenFile, madeAdminFile, tokens.admin, adminFile, created, error)) {
            logEvent(Level::error, error);
            return false;
        }
        if (created) logEvent(Level::info, "admin token made and written to " + adminFile + " (mode 0600)");
    }
    for (const std::string& file : {adminFile, options.viewerTokenFile})
        if (!file.empty() && readableByOthers(file))
            logEvent(Level::warn, "the token file " + file + " can be read by other users: chmod 600 " + file);
    if (!options.viewerTokenFile.empty() && !readToken(options.viewerTokenFile, tokens.viewer, error)) {
        logEvent(Level::error, error);
        return false;
    }
    return true;
}

bool adminTokenToShow(const ServerOptions& options, Store* store, const std::string& madeAdminFile,
                      std::string& token, std::string& error)
{
    if (!options.adminTokenFile.empty() || !store) {
        const std::string& file = options.adminTokenFile.empty() ? madeAdminFile : options.adminTokenFile;
        if (::access(file.c_str(), F_OK) != 0) {
            error = "no admin token yet: the server makes " + file + " at its first start";
            return false;
        }
        return readToken(file, token, error);
    }
    std::optional<std::string> shared;
    if (!sharedToken(*store, madeAdminFile, shared, error)) return false;
    if (!shared) {
        error = "this store keeps no admin token";
        return false;
    }
    token = *shared;
    return true;
}

} // namespace pelmora::server
