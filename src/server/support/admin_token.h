// The admin token that commands need: read from a file, or made at the
// first start and kept in a file of its own (mode 0600).
#pragma once

#include <cstddef>
#include <string>

namespace pelmora::server {

// BYTES (at most 64) random bytes from the system, in hexadecimal.
bool randomHex(std::size_t bytes, std::string& text);

// Shorter tokens are refused: they can be guessed.
constexpr std::size_t kShortestToken = 16;

// The token is the file's first line without surrounding white space, at
// least kShortestToken characters.
bool readToken(const std::string& path, std::string& token, std::string& error);

// Whether users other than the file's owner may read it (group or others).
bool readableByOthers(const std::string& path);

// Writes TOKEN as PATH's only line (mode 0600), replacing the file whole
// if there is one. False with ERROR.
bool writeTokenFile(const std::string& path, const std::string& token, std::string& error);

// Reads TOKEN_FILE, or, when it is empty, MADE_FILE, which is made with a
// new random token if missing (CREATED says so). False on a fault.
bool loadAdminToken(const std::string& tokenFile, const std::string& madeFile, std::string& token,
                    std::string& usedPath, bool& created, std::string& error);

} // namespace pelmora::server
