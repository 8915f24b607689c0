// The tokens the server starts with: the admin's (from --admin-token-file, or
// made at the first start in the file the store's kind names) and the
// viewer's, if any.
#pragma once

#include <string>

#include "server/options.h"
#include "server/team_server.h"

namespace pelmora::server {

// Fills TOKENS; MADE_ADMIN_FILE is where the admin token is kept when no
// file is given. False, logged, on a fault; token files others can read are
// warned about.
bool loadTokens(const ServerOptions& options, const std::string& madeAdminFile, Tokens& tokens);

} // namespace pelmora::server
