// Where a listener binds.
#pragma once

#include <string>

namespace pelmora::server {

struct Endpoint {
    std::string address; // dotted IPv4
    int port = 0;        // 0: any free port (the log names the one taken)
};

} // namespace pelmora::server
