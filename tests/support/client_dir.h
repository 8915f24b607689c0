#pragma once
// A fresh client directory for a test, a fuzz target or a benchmark:
// <temporary>/client/ with the program's own directory client/pelmora/ as
// the current directory while it lives. Also resets the monitor state and
// the test platform, before and after.
#include <string>

namespace pelmora {

class ClientDir {
public:
    ClientDir();
    ~ClientDir();
    ClientDir(const ClientDir&) = delete;
    ClientDir& operator=(const ClientDir&) = delete;

    // Paths are relative to the program's directory, as the program sees
    // them: "pelmora.ini", "../unitinfo.txt". Bytes are written as given.
    void write(const std::string& path, const std::string& bytes) const;
    bool exists(const std::string& path) const;
    void remove(const std::string& path) const;
    // The file's bytes as stored (no newline translation).
    std::string readBytes(const std::string& path) const;
    // The file read in text mode, as the program reads text (CR LF as LF).
    std::string readText(const std::string& path) const;
    // Copies the repository's demo/ client directory into this one.
    void copyDemo() const;

    std::string root() const { return root_; }

private:
    std::string previous_;
    std::string root_;
};

// A unit file as the client writes it.
std::string unitFileText(const char* name, int progress);

} // namespace pelmora
