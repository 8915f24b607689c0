#pragma once
// How the program's text files are read: in fixed-width pieces, with values
// taken by formatted input straight from the file.
#include <cstddef>
#include <cstdio>

namespace pelmora {

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

// One kind of line in a keyed file. A piece is of this kind when it starts
// with the first `length` characters of key or, with length 0, when it holds
// key anywhere. read takes the value from the file (or from the piece, which
// is in state.lineBuffer); number, text and width say where readNumber and
// readWord store it.
struct KeyedLine {
    const char* key;
    size_t length;
    void (*read)(const KeyedLine& line);
    int* number;
    char* text;
    size_t width;
};
void readNumber(const KeyedLine& line); // scanInt into number
void readWord(const KeyedLine& line);   // scanWord into text, cut to width

// Reads the file at path in pieces of pieceWidth (see readPiece) through
// state.input. A piece of one of the kinds in lines (the first that fits, in
// order) has its value read, then the rest of its line skipped with one read
// of skipWidth; any other piece is passed over and the line read on in
// pieces. False when the file cannot be opened.
bool readKeyedFile(const char* path, int pieceWidth, int skipWidth, const KeyedLine* lines, size_t count);
template <size_t N>
bool readKeyedFile(const char* path, int pieceWidth, int skipWidth, const KeyedLine (&lines)[N])
{
    return readKeyedFile(path, pieceWidth, skipWidth, lines, N);
}

} // namespace pelmora
