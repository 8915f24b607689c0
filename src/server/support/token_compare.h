// Comparing a secret someone gave with ours (tokens, session marks,
// cross-site tokens) without telling by the time taken how much of it was right.
#pragma once

#include <string>

namespace pelmora::server {

// Same length and same bytes, in a time that does not depend on where they
// differ; never true for an empty EXPECTED (no token set admits nobody).
inline bool tokensEqual(const std::string& given, const std::string& expected)
{
    unsigned char difference = given.size() == expected.size() ? 0 : 1;
    for (std::size_t i = 0; i < expected.size(); ++i)
        difference |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0 && !expected.empty();
}

} // namespace pelmora::server
