// libpq's errors may quote the connection string they failed on (a URI
// with a missing "]", a bad "%zz" escape) and so its password: every error
// text from libpq is cleaned of it before it is thrown, shown or logged.
#pragma once

#include <string>

namespace pelmora::server {

// MESSAGE with every password CONNINFO may hold (a URI's user:password@ or
// ?password=, a key=value string's password=, each as written and
// percent-decoded) replaced by "***". The password is found without libpq's
// parser, which is what failed: it is read generously, so a malformed
// string gives up more text than its password rather than less.
std::string withoutPasswords(std::string message, const std::string& conninfo);

} // namespace pelmora::server
