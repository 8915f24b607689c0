#pragma once
// How the program's text files are read: in fixed-width pieces, with values
// taken by formatted input straight from the file.
#include <cstddef>
#include <cstdio>

// Reads a piece of at most width - 1 characters into buffer (a line read that
// stops early after a newline), then drops its last character. False when
// nothing could be read.
bool readPiece(FILE* file, char* buffer, int width);

// Reads an optionally signed decimal integer after any white space, as "%d"
// does; values past the int range saturate. Returns 1 when a number was
// read, 0 when the input there is not a number, EOF at the end of the file.
// On 0 or EOF the target keeps its value.
int scanInt(FILE* file, int* target);

// Reads one word after any white space, as "%s" does, and stores it cut to
// width - 1 characters; the whole word is consumed however long it is.
// False (target unchanged) at the end of the file.
bool scanWord(FILE* file, char* target, size_t width);

// Skips on with one line read of at most width - 1 characters.
void skipLine(FILE* file, int width);

// Standard atoi, but saturating instead of overflowing.
int atoiSaturating(const char* text);
