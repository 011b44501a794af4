// Content decoders: base64, quoted-printable and encoded words.
#include "mime/decoders.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "pel32.h"

namespace {

using pel::base64Value;
using pel::decodeBase64;
using pel::decodeBase64Group;
using pel::decodeQuoted;
using pel::encodedWordKind;
using pel::hexValue;
using pel::removeChars;
using pel::stripEncodedWords;

constexpr char kFill = '#';

// Heap areas of exactly the size the decoders may use, so that the sanitizer
// reports any access outside them.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> area(new char[text.size() + 1]);
  std::memcpy(area.get(), text.data(), text.size());
  area[text.size()] = 0;
  return area;
}

std::unique_ptr<char[]> filledArea(size_t size) {
  std::unique_ptr<char[]> area(new char[size]);
  std::memset(area.get(), kFill, size);
  return area;
}

TEST(Base64Value, Table) {
  struct Row {
    char c;
    int value;
  };
  const Row rows[] = {
      {'A', 0},  {'Z', 25}, {'a', 26}, {'z', 51},   {'0', 52}, {'9', 61},
      {'+', 62}, {'/', 63}, {'=', 0},  {'\r', 0},   {'\n', 0}, {' ', 0},
      {'-', 0},  {'_', 0},  {0, 0},    {'\xe9', 0}, {'M', 12}, {'m', 38},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(static_cast<unsigned char>(row.c)));
    EXPECT_EQ(base64Value(row.c), row.value);
  }
}

TEST(HexValue, Table) {
  struct Row {
    char c;
    int value;
  };
  const Row rows[] = {
      {'0', 0}, {'9', 9}, {'A', 10}, {'F', 15}, {'a', 0},  {'f', 0},  // lower case counts as 0
      {'G', 0}, {'=', 0}, {'\r', 0}, {0, 0},    {'C', 12},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(static_cast<int>(row.c));
    EXPECT_EQ(hexValue(row.c), row.value);
  }
}

TEST(DecodeBase64Group, WritesThreeBytes) {
  char out[4] = {kFill, kFill, kFill, kFill};
  decodeBase64Group("QUJD", out);
  EXPECT_EQ(std::string(out, 3), "ABC");
  EXPECT_EQ(out[3], kFill);
  decodeBase64Group("////", out);
  EXPECT_EQ(std::string(out, 3), "\xff\xff\xff");
}

TEST(DecodeBase64, Table) {
  struct Row {
    std::string input;
    int32_t result;
    std::string bytes;  // the first result + 4 bytes... compared over its size
  };
  const Row rows[] = {
      {"QUJD", 3, std::string("ABC\0\0\0\0", 7)},
      {"QUI=", 2, std::string("AB\0\0\0\0\0", 7)},
      {"QQ==", 1, std::string("A\0\0\0\0\0\0", 7)},
      {"QUJDRUZH", 6, std::string("ABCEFG\0\0\0\0", 10)},
      // A space outside the alphabet takes its place as the value 0.
      {"QU D", 3, std::string("A@\x03\0\0\0\0", 7)},
      {"QUAD", 3, std::string("A@\x03\0\0\0\0", 7)},
      // A line as the analyser hands it: six characters and CR LF.
      {"QUJDRA\r\n", 6, std::string("ABCD\0\0\0\0\0\0", 10)},
      // A line of 4k characters and CR LF: the line end is the ignored remainder.
      {"QUJD\r\n", 3, std::string("ABC\0\0\0\0", 7)},
      {"QUJDRUY=\r\n", 5, std::string("ABCEF\0\0\0\0\0", 10)},
      // No whole group.
      {"QUJ", 0, std::string("\0\0\0\0", 4)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.input);
    auto input = exactCopy(row.input);
    int32_t n = static_cast<int32_t>(row.input.size());
    size_t size = static_cast<size_t>((n / 4) * 3 + 4);
    auto out = filledArea(size);
    EXPECT_EQ(decodeBase64(input.get(), out.get(), n), row.result);
    EXPECT_EQ(std::string(out.get(), size), row.bytes.substr(0, size));
  }
}

TEST(DecodeBase64, ClearsGroupsTimesThreePlusFour) {
  auto out = filledArea(12);
  EXPECT_EQ(decodeBase64("QUJD", out.get(), 4), 3);
  EXPECT_EQ(std::string(out.get(), 7), std::string("ABC\0\0\0\0", 7));
  for (size_t i = 7; i < 12; ++i) EXPECT_EQ(out[i], kFill) << "byte " << i;
}

TEST(DecodeBase64, TwoOrFewerCharactersWriteNothing) {
  for (int32_t n : {2, 1, 0, -4}) {
    SCOPED_TRACE(n);
    char out[8];
    std::memset(out, kFill, sizeof out);
    EXPECT_EQ(decodeBase64("QQ==", out, n), 0);
    for (char c : out) EXPECT_EQ(c, kFill);
  }
}

TEST(DecodeBase64, EachPaddingTestCountsByItself) {
  char out[8];
  // '=' before a last character that is not '=' still takes one off.
  EXPECT_EQ(decodeBase64("QU=D", out, 4), 2);
}

struct BufferRow {
  std::string input;
  int32_t result;
  std::string bytes;
};

TEST(PelDecodeBuffer, Table) {
  const BufferRow rows[] = {
      {"QUJD\r\nRUY=\r\n", 5, "ABCEF"},
      {"QUJDRA", 3, "ABC"},          // the last two characters are lost
      {"QUJDRUZH", 6, "ABCEFG"},     // no CR: the whole input is one piece
      {"QUJD\r\nQQ\r\n", 3, "ABC"},  // a line of two characters yields nothing
      {"\r\n\r\nQUJD", 3, "ABC"},    // leading line ends are passed over
      {"QUJD\r\n\r\n\r\nRUZH", 6, "ABCEFG"},
      {"QUJD\rRUZH\n", 6, "ABCEFG"},  // a CR alone ends a piece too
      {"", 0, ""},
  };
  for (const BufferRow& row : rows) {
    SCOPED_TRACE(row.input);
    auto input = exactCopy(row.input);
    int32_t n = static_cast<int32_t>(row.input.size());
    size_t size = static_cast<size_t>((n / 4) * 3 + 4);  // the size the Part asks for
    auto out = filledArea(size);
    EXPECT_EQ(pelDecodeBuffer(input.get(), out.get(), n), row.result);
    EXPECT_EQ(std::string(out.get(), static_cast<size_t>(row.result)), row.bytes);
    if (row.result > 0) {
      EXPECT_EQ(out[static_cast<size_t>(row.result)], 0);
    }
  }
}

TEST(PelDecodeBuffer, StopsAtTheGivenLength) {
  // Only the first four characters are given, the rest is not looked at.
  auto input = exactCopy("QUJDRUZH");
  auto out = filledArea(7);
  EXPECT_EQ(pelDecodeBuffer(input.get(), out.get(), 4), 3);
  EXPECT_EQ(std::string(out.get(), 3), "ABC");
  EXPECT_EQ(pelDecodeBuffer(input.get(), out.get(), 0), 0);
  EXPECT_EQ(pelDecodeBuffer(input.get(), out.get(), -5), 0);
}

struct QuotedRow {
  std::string input;
  int32_t result;
  std::string output;
};

void checkQuoted(const QuotedRow& row) {
  SCOPED_TRACE(row.input);
  auto input = exactCopy(row.input);
  // Decoding never makes a text longer, so the input's size is enough.
  size_t size = row.input.size() + 1;
  auto out = filledArea(size);
  EXPECT_EQ(decodeQuoted(input.get(), out.get()), row.result);
  EXPECT_EQ(std::string(out.get(), static_cast<size_t>(row.result)), row.output);
  EXPECT_EQ(out[static_cast<size_t>(row.result)], 0);
}

TEST(DecodeQuoted, Table) {
  const QuotedRow rows[] = {
      {"a=3Db", 3, "a=b"},
      {"abc=\r\n", 3, "abc"},      // soft line break: no line end
      {"abc=\r\nmore", 3, "abc"},  // nothing after the soft break
      {"x=e9", 2, "x\x09"},        // lower-case digits count as 0
      {"x=E9", 2, "x\xe9"},
      {"ab\r\n", 4, "ab\r\n"},    // hard line break kept
      {"a_b", 3, "a_b"},          // an underscore stays
      {"a=\"b\"", 5, "a=\"b\""},  // '=' before a double quote stays
      {"=?iso-8859-1?q?x?=", 18, "=?iso-8859-1?q?x?="},
      {"name==3D", 6,
       "name\x03"
       "D"},  // "==3": hexValue('=') is 0, so byte 03
      {"", 0, ""},
      {"plain", 5, "plain"},
      {"=41=42=43\r\n", 5, "ABC\r\n"},
  };
  for (const QuotedRow& row : rows) checkQuoted(row);
}

TEST(DecodeQuoted, IncompleteEscapeStopsAtTheTerminator) {
  // Chosen rule: an '=' whose next two characters are not both present before
  // a CR, LF or the terminator is written as itself, and decoding goes on.
  const QuotedRow rows[] = {
      {"abc=", 4, "abc="},  // '=' then the terminator
      {"=", 1, "="},
      {"abc=A", 5, "abc=A"},  // one character, then the terminator
      {"=F", 2, "=F"},
      {"a=\nb", 4, "a=\nb"},  // '=' then LF
      {"abc=\n", 5, "abc=\n"},
      {"abc=A\n", 6, "abc=A\n"},      // one character, then LF
      {"abc=A\r\n", 7, "abc=A\r\n"},  // one character, then CR LF: line end kept
      {"==", 2, "=="},
      {"=?", 2, "=?"},
      {"=\"", 2, "=\""},
  };
  for (const QuotedRow& row : rows) checkQuoted(row);
}

TEST(EncodedWordKind, Table) {
  struct Row {
    const char* text;
    int kind;
  };
  const Row rows[] = {
      {"Subject: =?ISO-8859-1?Q?Gr=FC=DFe?=", pel::kQEncodedWord},
      {"=?iso-8859-1?q?abc?=", pel::kQEncodedWord},
      {"name=\"=?iso-8859-1?B?QUJD?=\"", pel::kBEncodedWord},
      {"=?iso-8859-1?b?QUJD?=", pel::kBEncodedWord},
      {"=?utf-8?q?abc?=", pel::kNoEncodedWord},
      {"=?UTF-8?B?QUJD?=", pel::kNoEncodedWord},
      {"Subject: hello", pel::kNoEncodedWord},
      {"", pel::kNoEncodedWord},
      {"=?iso-8859-1?q", pel::kNoEncodedWord},  // the whole pattern must fit
      {"=?iso-8859-1?x?a", pel::kNoEncodedWord},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(encodedWordKind(row.text), row.kind);
  }
}

TEST(StripEncodedWords, Table) {
  struct Row {
    std::string text;
    std::string result;
  };
  const Row rows[] = {
      {"=?iso-8859-1?q?one?= =?iso-8859-1?q?two?= =?iso-8859-1?q?three?=",
       "one two =?iso-8859-1?q?three?="},  // a third word keeps its markers
      {"Hi =?ISO-8859-1?Q?Gr=FC=DFe?=\r\n", "Hi Gr=FC=DFe\r\n"},
      {"=?iso-8859-1?b?QUJD?=", "QUJD"},
      {"no words here", "no words here"},
      {"=?iso-8859-1?q?abc", "abc"},           // no closing marker
      {"=?utf-8?q?abc?=", "=?utf-8?q?abc?="},  // other character sets untouched
      {"", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    auto text = exactCopy(row.text);
    stripEncodedWords(text.get());
    EXPECT_EQ(std::string(text.get()), row.result);
  }
}

TEST(RemoveChars, Table) {
  struct Row {
    std::string text;
    int32_t count;
    std::string result;
  };
  const Row rows[] = {
      {"abcdef", 2, "cdef"}, {"abc", 3, ""}, {"abc", 4, "abc"},  // fewer than k: unchanged
      {"abc", 0, "abc"},     {"", 1, ""},    {"", 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text + " k=" + std::to_string(row.count));
    auto text = exactCopy(row.text);
    removeChars(text.get(), row.count);
    EXPECT_EQ(std::string(text.get()), row.result);
  }
}

}  // namespace
