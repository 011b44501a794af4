// Content decoders of received mail and the exported pelDecodeBuffer.
#include "mime/decoders.h"

#include "frame/text.h"
#include "pel32.h"

namespace pel {
namespace {

char byteOf(int value) { return static_cast<char>(static_cast<unsigned char>(value & 0xFF)); }

bool isLineEndOrTerminator(char c) { return c == 0 || c == '\r' || c == '\n'; }

}  // namespace

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

void decodeBase64Group(const char* input, char* output) {
  int a = base64Value(input[0]);
  int b = base64Value(input[1]);
  int c = base64Value(input[2]);
  int d = base64Value(input[3]);
  output[0] = byteOf(a * 4 + b / 16);
  output[1] = byteOf(b * 16 + c / 4);
  output[2] = byteOf(c * 64 + d);
}

int32_t decodeBase64(const char* input, char* output, int32_t count) {
  if (count <= 2) return 0;
  int32_t groups = count / 4;
  for (int32_t i = 0; i < groups * 3 + 4; ++i) output[i] = 0;
  for (int32_t g = 0; g < groups; ++g) decodeBase64Group(input + g * 4, output + g * 3);
  if (groups == 0) return 0;
  int32_t result = groups * 3;
  const char* last = input + groups * 4 - 1;
  if (last[0] == '=') --result;
  if (last[-1] == '=') --result;
  return result;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

int32_t decodeQuoted(const char* input, char* output) {
  int32_t in = 0;
  int32_t out = 0;
  for (;;) {
    char c = input[in];
    if (c == 0) {
      output[out] = 0;
      return out;
    }
    if (c == '=') {
      char h1 = input[in + 1];  // at most the terminator, as c is not
      if (h1 == '\r') {         // soft line break: the rest gives nothing
        output[out] = 0;
        return out;
      }
      // Incomplete escape ('=' whose next two characters are not both present
      // before a CR, LF or the terminator): the '=' is written as itself and
      // the next character is then handled like any other.
      bool incomplete = isLineEndOrTerminator(h1) || isLineEndOrTerminator(input[in + 2]);
      if (h1 == '"' || h1 == '?' || incomplete) {
        output[out++] = '=';
        ++in;
        continue;
      }
      output[out++] = byteOf(hexValue(h1) * 16 + hexValue(input[in + 2]));
      in += 3;
      continue;
    }
    output[out++] = c;
    ++in;
  }
}

int encodedWordKind(const char* text) {
  if (findText(text, "=?iso-8859-1?q?") != nullptr) return kQEncodedWord;
  if (findText(text, "=?iso-8859-1?b?") != nullptr) return kBEncodedWord;
  return kNoEncodedWord;
}

void removeChars(char* text, int32_t count) {
  if (count <= 0) return;
  int32_t length = textLength(text);
  if (length < count) return;
  for (int32_t i = count; i <= length; ++i) text[i - count] = text[i];
}

void stripEncodedWords(char* text) {
  char* at = text;
  for (int times = 0; times < 2; ++times) {
    char* word = findText(at, "=?iso-8859-1?");
    if (word == nullptr) return;
    removeChars(word, 15);
    char* end = findText(word, "?=");
    if (end == nullptr) return;
    removeChars(end, 2);
    at = end;
  }
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelDecodeBuffer(const char* source, char* target, int32_t length) {
  int32_t total = 0;
  int32_t n = length;
  while (n > 0) {
    int32_t piece = n;
    for (int32_t i = 0; i < n && source[i] != 0; ++i) {
      if (source[i] == '\r') {
        piece = i;
        break;
      }
    }
    int32_t count = decodeBase64(source, target, piece);
    source += piece;
    n -= piece;
    while (n > 0 && (*source == '\r' || *source == '\n')) {
      ++source;
      --n;
    }
    total += count;
    target += count;
  }
  return total;
}
