// Text utilities and the exported pelExtractText and pelExtractLine.
#include "frame/text.h"

#include "pel32.h"

namespace pel {
namespace {

// Only the ASCII lower-case letters are folded; every other byte is unchanged.
unsigned char upperAscii(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  return (u >= 'a' && u <= 'z') ? static_cast<unsigned char>(u - ('a' - 'A')) : u;
}

}  // namespace

int32_t textLength(const char* text) {
  int32_t length = 0;
  while (text[length] != 0) ++length;
  return length;
}

char* findChar(const char* text, char c) {
  for (const char* p = text;; ++p) {
    if (*p == c) return const_cast<char*>(p);
    if (*p == 0) return nullptr;
  }
}

int32_t copyText(char* destination, const char* source, int32_t n) {
  if (destination == nullptr || source == nullptr) return 0;
  // A negative count copies nothing; the destination still gets its terminator.
  if (n < 0) n = 0;
  for (int32_t i = 0; i < n; ++i) {
    destination[i] = source[i];
    if (source[i] == 0) return i;
  }
  destination[n] = 0;
  return n;
}

void appendText(char* destination, const char* source, int32_t n) {
  copyText(destination + textLength(destination), source, n);
}

int matchText(const char* a, const char* b, int32_t n) {
  if (n == 0 || a == nullptr || b == nullptr) return 0;
  for (int32_t i = 0; i < n; ++i) {
    if (a[i] == 0 && b[i] == 0) return 1;
    if (upperAscii(a[i]) != upperAscii(b[i])) return 0;
  }
  return 1;  // also a negative n, at once
}

char* findText(const char* text, const char* pattern) {
  int32_t lt = textLength(text);
  int32_t lp = textLength(pattern);
  if (lt < lp) return nullptr;
  for (int32_t i = 0; i <= lt - lp; ++i) {
    if (matchText(text + i, pattern, lp - 1) == 1) return const_cast<char*>(text + i);
  }
  return nullptr;
}

char* fileNamePart(const char* path) {
  // Mend: '/' separates as well as '\' and ':', so a name like "../../x" cannot
  // carry directories. The first character is never taken as a separator.
  for (int32_t i = textLength(path) - 1; i >= 1; --i) {
    char c = path[i];
    if (c == '\\' || c == ':' || c == '/') return const_cast<char*>(path + i + 1);
  }
  return const_cast<char*>(path);
}

int32_t copyLine(const char* source, char* destination, int32_t size) {
  if (size <= 1) return 0;
  int32_t copied = 0;
  while (copied < size - 1) {
    char c = source[copied];
    destination[copied] = c;
    if (c == 0) return copied;
    ++copied;
    if (c == '\n') {
      destination[copied] = 0;
      return copied;
    }
  }
  // The line does not fit: the result is 0 and the contents are not to be
  // used, but the buffer is still left terminated within its size.
  destination[size - 1] = 0;
  return 0;
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelExtractText(const char* text, const char* pattern, char* buffer, int32_t size) {
  if (text == nullptr || pattern == nullptr || buffer == nullptr) return 0;
  const char* found = findText(text, pattern);
  if (found == nullptr) return 0;
  return copyLine(found, buffer, size);
}

int32_t PELAPI pelExtractLine(const char* text, int32_t lineNumber, char* buffer, int32_t size) {
  if (text == nullptr || buffer == nullptr) return 0;
  const char* line = text;
  for (int32_t k = 1; k < lineNumber; ++k) {
    const char* feed = findChar(line, '\n');
    if (feed == nullptr) return 0;
    line = feed + 1;
  }
  return copyLine(line, buffer, size);
}
