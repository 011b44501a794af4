// Text utilities shared by the whole library. Texts are 8-bit characters
// ending in a zero terminator; comparisons fold only the ASCII letters.
#pragma once

#include <cstdint>

namespace pel {

int32_t textLength(const char* text);
// First occurrence of the character (the terminator can be searched for), or null.
char* findChar(const char* text, char c);
// Copies at most n characters and a terminator (n + 1 bytes); returns the
// characters copied. A missing pointer copies nothing and gives 0.
int32_t copyText(char* destination, const char* source, int32_t n);
// Appends at most n characters of the source and a terminator.
void appendText(char* destination, const char* source, int32_t n);
// 1 when the texts agree over n characters ignoring ASCII case, else 0.
int matchText(const char* a, const char* b, int32_t n);
// First place where the pattern, less its last character, matches; or null.
char* findText(const char* text, const char* pattern);
// Where the file name begins: after the last '\', '/' or ':' (never the first
// character of the path).
char* fileNamePart(const char* path);
// Copies one line (through its line feed) into the destination; returns its
// length, or 0 when it does not fit.
int32_t copyLine(const char* source, char* destination, int32_t size);

}  // namespace pel
