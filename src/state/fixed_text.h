#pragma once
// Copies into the record's fixed-width text fields.
#include <cstddef>
#include <cstring>

namespace pelmora {

// Copies text cut to width - 1 characters, always terminated.
inline void copyCut(char* field, size_t width, const char* text)
{
    if (width == 0) return;
    size_t length = std::strlen(text);
    if (length >= width) length = width - 1;
    std::memcpy(field, text, length);
    field[length] = '\0';
}

// Copies the first count characters of text and fills the rest of those
// count bytes with NULs; the bytes after them are not touched.
inline void copyPadded(char* field, const char* text, size_t count)
{
    size_t i = 0;
    for (; i < count && text[i] != '\0'; ++i) field[i] = text[i];
    for (; i < count; ++i) field[i] = '\0';
}

} // namespace pelmora
