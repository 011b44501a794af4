// Text utilities and line extraction.
#include "frame/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "pel32.h"

namespace {

using pel::appendText;
using pel::copyLine;
using pel::copyText;
using pel::fileNamePart;
using pel::findChar;
using pel::findText;
using pel::matchText;
using pel::textLength;

// A heap copy of exactly the text and its terminator, so that the sanitizer
// reports any read past the terminator.
std::unique_ptr<char[]> exactCopy(const std::string& text) {
  std::unique_ptr<char[]> area(new char[text.size() + 1]);
  std::memcpy(area.get(), text.c_str(), text.size() + 1);
  return area;
}

constexpr char kFill = '#';

TEST(TextLength, CountsCharactersBeforeTerminator) {
  EXPECT_EQ(textLength(""), 0);
  EXPECT_EQ(textLength("a"), 1);
  EXPECT_EQ(textLength("abc\r\n"), 5);
}

TEST(FindChar, FindsFirstOccurrenceOrNone) {
  const char* text = "abcabc";
  EXPECT_EQ(findChar(text, 'b'), text + 1);
  EXPECT_EQ(findChar(text, 'c'), text + 2);
  EXPECT_EQ(findChar(text, 'x'), nullptr);
  EXPECT_EQ(findChar("", 'x'), nullptr);
}

TEST(FindChar, TerminatorIsFoundAtTheEnd) {
  const char* text = "abc";
  EXPECT_EQ(findChar(text, 0), text + 3);
  const char* empty = "";
  EXPECT_EQ(findChar(empty, 0), empty);
}

TEST(CopyText, Table) {
  struct Row {
    const char* source;
    int32_t n;
    int32_t result;
    const char* copied;
    int32_t written;  // bytes written, terminator included
  };
  const Row rows[] = {
      {"abc", 3, 3, "abc", 4},                           // exactly n: n characters and a terminator
      {"ab", 5, 2, "ab", 3},                             // shorter: copied with its terminator
      {"abcdef", 3, 3, "abc", 4},                        // longer: cut after n
      {"", 4, 0, "", 1},          {"abc", 0, 0, "", 1},  // n of 0: only the terminator
      {"abc", -2, 0, "", 1},                             // a negative n copies nothing
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.source) + " n=" + std::to_string(row.n));
    char area[16];
    std::memset(area, kFill, sizeof area);
    EXPECT_EQ(copyText(area, row.source, row.n), row.result);
    EXPECT_STREQ(area, row.copied);
    for (size_t i = static_cast<size_t>(row.written); i < sizeof area; ++i) {
      EXPECT_EQ(area[i], kFill) << "byte " << i;
    }
  }
}

TEST(CopyText, MissingPointerCopiesNothing) {
  char area[4] = {kFill, kFill, kFill, kFill};
  EXPECT_EQ(copyText(area, nullptr, 3), 0);
  EXPECT_EQ(area[0], kFill);
  EXPECT_EQ(copyText(nullptr, "abc", 3), 0);
}

TEST(AppendText, Table) {
  struct Row {
    const char* start;
    const char* source;
    int32_t n;
    const char* result;
  };
  const Row rows[] = {
      {"ab", "cd", 5, "abcd"},    // shorter than n: whole
      {"ab", "cdef", 2, "abcd"},  // longer: cut to n
      {"ab", "cde", 3, "abcde"},  // exactly n
      {"", "xyz", 3, "xyz"},     {"ab", "", 3, "ab"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.start) + "+" + row.source);
    char area[16];
    std::memset(area, kFill, sizeof area);
    std::strcpy(area, row.start);
    appendText(area, row.source, row.n);
    EXPECT_STREQ(area, row.result);
    size_t end = std::strlen(row.result) + 1;
    for (size_t i = end; i < sizeof area; ++i) EXPECT_EQ(area[i], kFill) << "byte " << i;
  }
}

TEST(MatchText, Table) {
  struct Row {
    const char* a;
    const char* b;
    int32_t n;
    int result;
  };
  const Row rows[] = {
      {"abc", "ABC", 3, 1},   {"Subject:", "SUBJECT:", 8, 1},
      {"abc", "abc", 0, 0},                           // a count of 0 gives 0 even for equal texts
      {"ab", "AB", 5, 1},                             // both end before n and agree up to there
      {"ab", "abc", 5, 0},                            // only one ends
      {"abx", "aby", 2, 1},                           // only n characters compared
      {"abx", "aby", 3, 0},   {"abc", "xyz", -1, 1},  // negative n: 1 at once
      {"\xe9", "\xc9", 1, 0},                         // bytes above 127 are not folded
      {"@", "`", 1, 0},                               // neighbours of the letters are not folded
      {"[", "{", 1, 0},       {"", "", 3, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.a) + "|" + row.b + " n=" + std::to_string(row.n));
    EXPECT_EQ(matchText(row.a, row.b, row.n), row.result);
  }
}

TEST(MatchText, MissingTextGivesZero) {
  EXPECT_EQ(matchText(nullptr, "a", 1), 0);
  EXPECT_EQ(matchText("a", nullptr, 1), 0);
  EXPECT_EQ(matchText(nullptr, nullptr, -1), 0);
}

TEST(FindText, Table) {
  struct Row {
    const char* text;
    const char* pattern;
    int offset;  // -1: none
  };
  const Row rows[] = {
      {"From: a\r\nSubject: Hi\r\n", "subject:", 9},
      {"abc", "b", -1},  // a pattern of one character is never found
      {"abc", "", 0},    // an empty pattern is found at position 0
      {"", "", 0},
      {"ab", "abc", -1},             // text shorter than the pattern
      {"Subject!x", "Subject:", 0},  // the last pattern character is not compared
      {"xSubject", "Subject:", -1},  // the whole pattern must fit in the text
      {"Subject", "Subject:", -1},
      {"aaXbc", "XBc", 2},
      {"abcabc", "ca?", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + "|" + row.pattern);
    char* found = findText(row.text, row.pattern);
    if (row.offset < 0) {
      EXPECT_EQ(found, nullptr);
    } else {
      EXPECT_EQ(found, row.text + row.offset);
    }
  }
}

TEST(FileNamePart, Table) {
  struct Row {
    const char* path;
    int offset;
  };
  const Row rows[] = {
      {"C:\\mail\\a.txt", 8},  // a.txt
      {"C:a.txt", 2},          // a.txt
      {"C:\\mail\\", 8},       // ending in a backslash: empty name
      {"", 0},
      {"a.txt", 0},
      {"\\a.txt", 0},  // the first character is never a separator
      {":a", 0},
      // The '/' mend.
      {"../../evil.txt", 6},  // evil.txt
      {"/etc/passwd", 5},     // passwd
      {"/x", 0},
      {"dir/", 4},
      {"a/b:c\\d", 6},  // d
      {"a\\b/c", 4},    // c
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(fileNamePart(row.path), row.path + row.offset);
  }
  EXPECT_STREQ(fileNamePart("../../evil.txt"), "evil.txt");
  EXPECT_STREQ(fileNamePart("C:\\mail\\a.txt"), "a.txt");
  EXPECT_STREQ(fileNamePart("C:a.txt"), "a.txt");
  EXPECT_STREQ(fileNamePart("C:\\mail\\"), "");
}

TEST(CopyLine, Table) {
  struct Row {
    const char* source;
    int32_t size;
    int32_t result;
    const char* copied;  // null: contents not to be used
  };
  const Row rows[] = {
      {"abc\nxyz", 10, 4, "abc\n"}, {"abc\r\nxyz", 10, 5, "abc\r\n"},
      {"abc\n", 5, 4, "abc\n"},  // line feed in the last place
      {"abc\n", 4, 0, nullptr},  // one too long
      {"abc", 5, 3, "abc"},      // terminator in the last place
      {"abc", 4, 0, nullptr},    // size - 1 copied before the terminator is met
      {"ab", 4, 2, "ab"},           {"", 5, 0, ""},
      {"\n", 2, 1, "\n"},           {"abcdefgh", 5, 0, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.source) + " size=" + std::to_string(row.size));
    auto source = exactCopy(row.source);
    std::unique_ptr<char[]> area(new char[static_cast<size_t>(row.size)]);
    std::memset(area.get(), kFill, static_cast<size_t>(row.size));
    EXPECT_EQ(copyLine(source.get(), area.get(), row.size), row.result);
    if (row.copied != nullptr) {
      EXPECT_STREQ(area.get(), row.copied);
    }
  }
}

TEST(CopyLine, SizeOfOneOrLessWritesNothing) {
  for (int32_t size : {1, 0, -3}) {
    SCOPED_TRACE(size);
    char area[4] = {kFill, kFill, kFill, kFill};
    EXPECT_EQ(copyLine("abc\n", area, size), 0);
    for (char c : area) EXPECT_EQ(c, kFill);
  }
}

TEST(PelExtractText, SubjectLineOfAHeader) {
  char buffer[64];
  EXPECT_EQ(pelExtractText("From: a\r\nSubject: Hi\r\n", "subject:", buffer, sizeof buffer), 13);
  EXPECT_STREQ(buffer, "Subject: Hi\r\n");
}

TEST(PelExtractText, Table) {
  struct Row {
    const char* text;
    const char* pattern;
    int32_t size;
    int32_t result;
    const char* copied;  // null: not checked
  };
  const Row rows[] = {
      {"From: a\r\nSubject: Hi\r\n", "SUBJECT:", 64, 13, "Subject: Hi\r\n"},
      {"From: a\r\nSubject: Hi\r\n", "subject:", 13, 0, nullptr},  // longer than size - 1
      {"From: a\r\nSubject: Hi\r\n", "subject:", 14, 13, "Subject: Hi\r\n"},
      {"From: a\r\nTo: b", "to:", 64, 5, "To: b"},     // last line without a line feed
      {"From: a\r\nTo: b", "cc:", 64, 0, nullptr},     // not found
      {"From: a\r\n", "F", 64, 0, nullptr},            // a pattern of one character
      {"From: a\r\nTo: b", "", 64, 9, "From: a\r\n"},  // empty pattern: the first line
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.pattern) + " size=" + std::to_string(row.size));
    auto text = exactCopy(row.text);
    std::unique_ptr<char[]> area(new char[static_cast<size_t>(row.size)]);
    std::memset(area.get(), kFill, static_cast<size_t>(row.size));
    EXPECT_EQ(pelExtractText(text.get(), row.pattern, area.get(), row.size), row.result);
    if (row.copied != nullptr) {
      EXPECT_STREQ(area.get(), row.copied);
    }
  }
}

TEST(PelExtractText, MissingPointersGiveZero) {
  char buffer[8] = {kFill};
  EXPECT_EQ(pelExtractText(nullptr, "ab", buffer, 8), 0);
  EXPECT_EQ(pelExtractText("abc", nullptr, buffer, 8), 0);
  EXPECT_EQ(pelExtractText("abc", "ab", nullptr, 8), 0);
  EXPECT_EQ(buffer[0], kFill);
}

TEST(PelExtractLine, Table) {
  struct Row {
    const char* text;
    int32_t number;
    int32_t result;
    const char* copied;
  };
  const char* header = "one\r\ntwo\r\nthree";
  const Row rows[] = {
      {header, 1, 5, "one\r\n"},
      {header, 0, 5, "one\r\n"},  // 0 and negative numbers give the first line
      {header, -1, 5, "one\r\n"},
      {header, -1000, 5, "one\r\n"},
      {header, 2, 5, "two\r\n"},
      {header, 3, 5, "three"},  // last line up to the terminator
      {"a\nb\n", 2, 2, "b\n"},
      {"a\nb\n", 3, 0, ""},  // the line after the last: 0, empty buffer
      {"", 1, 0, ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.text) + " #" + std::to_string(row.number));
    auto text = exactCopy(row.text);
    char buffer[32];
    std::memset(buffer, kFill, sizeof buffer);
    EXPECT_EQ(pelExtractLine(text.get(), row.number, buffer, sizeof buffer), row.result);
    EXPECT_STREQ(buffer, row.copied);
  }
}

TEST(PelExtractLine, PastTheEndWritesNothing) {
  for (int32_t number : {4, 5, 100}) {
    SCOPED_TRACE(number);
    auto text = exactCopy("a\nb\n");
    char buffer[8];
    std::memset(buffer, kFill, sizeof buffer);
    EXPECT_EQ(pelExtractLine(text.get(), number, buffer, sizeof buffer), 0);
    for (char c : buffer) EXPECT_EQ(c, kFill);
  }
  char buffer[8];
  std::memset(buffer, kFill, sizeof buffer);
  EXPECT_EQ(pelExtractLine("abc", 2, buffer, sizeof buffer), 0);  // no line feed at all
  EXPECT_EQ(buffer[0], kFill);
}

TEST(PelExtractLine, LongLineAndMissingPointers) {
  char buffer[4];
  EXPECT_EQ(pelExtractLine("abcd\nx", 1, buffer, sizeof buffer), 0);
  EXPECT_EQ(pelExtractLine("abcd\nx", 2, buffer, sizeof buffer), 1);
  EXPECT_STREQ(buffer, "x");
  EXPECT_EQ(pelExtractLine(nullptr, 1, buffer, sizeof buffer), 0);
  EXPECT_EQ(pelExtractLine("abc", 1, nullptr, 4), 0);
}

}  // namespace
