// Which names the server answers to in a request's Host header, so a page
// of another site whose name was pointed at this server's address (DNS
// rebinding) cannot read the API through a visitor's browser. Always
// allowed: IP addresses, localhost and this machine's own names; others
// only when given with --public-host.
#pragma once

#include <string>
#include <vector>

namespace pelmora::server {

// This machine's host name as the system gives it, its first label, and that label with ".local".
std::vector<std::string> ownHostNames();

// HOST as a Host header gives it (name or address, with or without a port);
// NAMES compared without case. An empty Host is allowed (no browser sends one).
bool hostAllowed(const std::string& host, const std::vector<std::string>& names);

} // namespace pelmora::server
