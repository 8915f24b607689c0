// The dashboard's files (src/server/web/), built into the server.
#pragma once

#include <cstddef>

namespace pelmora::server {

struct WebAsset {
    const char* name; // the file's name, e.g. "app.css"
    const char* type; // its Content-Type
    const unsigned char* data;
    std::size_t size;
    const char* etag; // a hash of the bytes, quoted: "\"1f0c...\""
};

// Every file, ended by one whose name is null.
const WebAsset* webAssets();

} // namespace pelmora::server
