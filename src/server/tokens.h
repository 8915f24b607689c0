// The tokens the server starts with: the admin's (from --admin-token-file;
// else, on a store several servers share, the one kept in the store; else
// made at the first start in the file the store's kind names) and the
// viewer's, if any.
#pragma once

#include <string>

#include "server/options.h"
#include "server/store/store.h"
#include "server/team_server.h"

namespace pelmora::server {

// Fills TOKENS; MADE_ADMIN_FILE is where the admin token is kept when no
// file is given (on a shared store, a copy of the store's). False, logged,
// on a fault; token files others can read are warned about.
bool loadTokens(const ServerOptions& options, Store& store, const std::string& madeAdminFile, Tokens& tokens);

// The admin token as this server would use it, for --show-admin-token: the
// file's, or the shared store's (made there if the store has none yet).
// False with ERROR.
bool adminTokenToShow(const ServerOptions& options, Store* store, const std::string& madeAdminFile,
                      std::string& token, std::string& error);

} // namespace pelmora::server
