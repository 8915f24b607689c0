#include "platform/system.h"

// The C library's text mode already reads CR LF as one newline.
FILE* openTextFile(const char* path) { return std::fopen(path, "r"); }
