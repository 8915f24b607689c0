#include "platform/system.h"

#include <windows.h>

namespace pelmora {

// The C library's text mode already reads CR LF as one newline.
FILE* openTextFile(const char* path) { return std::fopen(path, "r"); }

bool replaceFile(const char* from, const char* to)
{
    return MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING) != 0;
}

} // namespace pelmora
