// Content decoders of received mail: base64, quoted-printable and the
// markers of ISO-8859-1 encoded words.
#pragma once

#include <cstdint>

namespace pel {

int32_t decodeBase64(const char* input, char* output, int32_t count);
void decodeBase64Group(const char* input, char* output);
int base64Value(char c);
// Decodes a terminated text; the output is terminated. Returns the bytes
// decoded, terminator not counted.
int32_t decodeQuoted(const char* input, char* output);
int hexValue(char c);
enum EncodedWord { kNoEncodedWord = 0, kQEncodedWord = 1, kBEncodedWord = 2 };
int encodedWordKind(const char* text);
void stripEncodedWords(char* text);
void removeChars(char* text, int32_t count);

}  // namespace pel
