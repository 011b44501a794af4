// The text encoders (quoted-printable and plain), the text reader, the base64
// encoder, attachment names, the address-form test and the Date line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "frame/platform/platform.h"
#include "pel32.h"
#include "smtp/attach.h"
#include "smtp/compose.h"
#include "support/channel_helpers.h"
#include "support/files.h"

namespace pel::test {
namespace {

std::string repeat(const std::string& piece, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += piece;
  return out;
}

const std::string x76 = std::string(76, 'x');
const std::string x77 = std::string(77, 'x');

class TextEncoderTest : public ::testing::Test {
 protected:
  void TearDown() override {
    pelIntegerParam(0, PARAM_WRAP_LENGTH, 78);
    pelIntegerParam(0, PARAM_KEEP_CONTROL_CHARS, 0);
  }

  ChannelBlock* startReader(int32_t bodyType) {
    ChannelBlock* b = blockOf(0);
    b->bodyType = bodyType;
    b->pendingChar = 0;
    resetBodyReader(b);
    return b;
  }

  std::vector<std::string> drain(ChannelBlock* b) {
    std::vector<std::string> out;
    for (int guard = 0; guard < 100000; ++guard) {
      int32_t n = nextBodyLine(b, b->sendLine);
      if (n < 0) return out;
      out.emplace_back(b->sendLine);
    }
    ADD_FAILURE() << "the text never ended";
    return out;
  }

  std::vector<std::string> fromMemory(const std::string& text, int32_t bodyType) {
    source_ = text;
    ChannelBlock* b = startReader(bodyType);
    b->bodyFromMemory = 1;
    b->messageText = source_.data();
    return drain(b);
  }

  std::vector<std::string> fromFile(const std::string& bytes, int32_t bodyType) {
    std::string path = dir.file("text.txt");
    writeFile(path, bytes);
    ChannelBlock* b = startReader(bodyType);
    b->bodyFromMemory = 0;
    b->fileHandle = plat::fileOpenRead(path.c_str());
    EXPECT_GT(b->fileHandle, 0);
    std::vector<std::string> out = drain(b);
    plat::fileClose(b->fileHandle);
    b->fileHandle = 0;
    return out;
  }

  Attached lib{1};
  TempDir dir;
  std::string source_;
};

using Lines = std::vector<std::string>;

struct EncoderCase {
  const char* name;
  std::string input;
  int32_t bodyType;
  int32_t limit;
  bool keepControls;
  Lines expected;
};

TEST_F(TextEncoderTest, EncodesEachCaseOfTheTable) {
  const EncoderCase cases[] = {
      // Quoted-printable (every text part type but 0).
      {"qp equals", "a=b", 1, 78, false, {"a=3Db"}},
      {"qp eight-bit", "caf\xE9", 1, 78, false, {"caf=E9"}},
      {"qp tab", "a\tb", 1, 78, false, {"a=09b"}},
      {"qp type 5 is quoted too", "a=b\t", 5, 78, false, {"a=3Db=09"}},
      {"qp keeps blanks at a line end", "ab \ncd", 1, 78, false, {"ab ", "cd"}},
      {"qp 77 characters then the line end", x77 + "\nnext", 1, 78, false, {x77 + "=", "", "next"}},
      {"qp period ends the piece", x77 + ".yy", 1, 78, false, {x77 + ".=", "yy"}},
      {"qp 100 without blanks",
       std::string(100, 'x'),
       1,
       78,
       false,
       {x77 + "=", std::string(23, 'x')}},
      {"qp escape crosses the limit", x76 + "=yy", 1, 78, false, {x76 + "=3D=", "yy"}},
      {"qp period lines", ".\n.abc\nx.y", 1, 78, false, {"..", "..abc", "x.y"}},
      {"qp CR alone is dropped", "ab\rcd\r\nef", 1, 78, false, {"abcd", "ef"}},
      {"qp empty lines", "\n\n", 1, 78, false, {"", ""}},
      {"qp empty text", "", 1, 78, false, {}},
      {"qp smallest limit", "abc", 1, 2, false, {"a=", "b=", "c="}},
      {"qp limit below 2 acts as 2", "abc", 1, -5, false, {"a=", "b=", "c="}},
      // Plain (text part type 0).
      {"plain controls", "a\tb\xE9", 0, 78, false, {"a~b~"}},
      {"plain keeps controls on request", "a\tb\xE9", 0, 78, true, {"a\tb\xE9"}},
      {"plain equals unchanged", "a=b", 0, 78, false, {"a=b"}},
      {"plain 100 of words",
       repeat("abcd ", 20),
       0,
       78,
       false,
       {repeat("abcd ", 13), repeat("abcd ", 7)}},
      {"plain blank at column 61",
       std::string(60, 'a') + " " + std::string(10, 'b'),
       0,
       78,
       false,
       {std::string(60, 'a') + " ", std::string(10, 'b')}},
      {"plain blank at column 60",
       std::string(59, 'a') + " " + std::string(50, 'b'),
       0,
       78,
       false,
       {std::string(59, 'a') + " " + std::string(18, 'b'), std::string(32, 'b')}},
      {"plain 100 without blanks",
       std::string(100, 'x'),
       0,
       78,
       false,
       {std::string(78, 'x'), std::string(22, 'x')}},
      {"plain period lines", ".\n.abc", 0, 78, false, {"..", "..abc"}},
      {"plain CR alone is dropped", "ab\rcd\nef", 0, 78, false, {"abcd", "ef"}},
      {"plain empty text", "", 0, 78, false, {}},
  };
  for (const EncoderCase& c : cases) {
    SCOPED_TRACE(c.name);
    pelIntegerParam(0, PARAM_WRAP_LENGTH, c.limit);
    pelIntegerParam(0, PARAM_KEEP_CONTROL_CHARS, c.keepControls ? 1 : 0);
    EXPECT_EQ(fromMemory(c.input, c.bodyType), c.expected);
  }
}

TEST_F(TextEncoderTest, TheExtraPeriodIsNotCountedInTheLength) {
  source_ = ".abc";
  ChannelBlock* b = startReader(1);
  b->bodyFromMemory = 1;
  b->messageText = source_.data();
  EXPECT_EQ(nextBodyLine(b, b->sendLine), 4);
  EXPECT_STREQ(b->sendLine, "..abc");
  EXPECT_EQ(nextBodyLine(b, b->sendLine), -1);
}

// L is used up to 998, the longest line the mail standards allow, so no
// value can make a line overflow the send buffer.
TEST_F(TextEncoderTest, AHugeLineLimitIsUsedAs998) {
  pelIntegerParam(0, PARAM_WRAP_LENGTH, 1000000);
  EXPECT_EQ(lineLimit(), 998);
  const std::string x997 = std::string(997, 'x');
  EXPECT_EQ(fromMemory(std::string(2000, 'x'), 1), (Lines{x997 + "=", x997 + "=", "xxxxxx"}));
  EXPECT_EQ(fromMemory(std::string(2000, 'x'), 0),
            (Lines{std::string(998, 'x'), std::string(998, 'x'), "xxxx"}));
  // The worst case: every byte escaped, a period after the break point.
  Lines escaped = fromMemory(std::string(3000, '='), 1);
  ASSERT_FALSE(escaped.empty());
  EXPECT_EQ(escaped[0].size(), 1000u);  // 333 escapes and the soft break: L + 2
  for (const std::string& line : escaped) EXPECT_LE(line.size(), 1000u);
  pelIntegerParam(0, PARAM_WRAP_LENGTH, 0x7FFFFFFF);
  EXPECT_EQ(lineLimit(), 998);
}

TEST_F(TextEncoderTest, AZeroByteInAFileEndsALineOrTheText) {
  const std::string bytes("ab\0cd\n\0ef\n", 10);
  // Plain: the line ends at the zero byte; a zero byte at the start of a line
  // ends the text.
  EXPECT_EQ(fromFile(bytes, 0), (Lines{"ab", "cd"}));
  // Quoted-printable: a zero byte read ahead is dropped; one at the start of a
  // line ends the text.
  EXPECT_EQ(fromFile(bytes, 1), (Lines{"abcd"}));
  EXPECT_EQ(fromFile(std::string("\0ab", 3), 1), Lines{});
  EXPECT_EQ(fromFile(std::string("\0ab", 3), 0), Lines{});
}

TEST_F(TextEncoderTest, AFileLargerThanTheReadAheadPassesWhole) {
  std::string bytes;
  for (int i = 0; i < 700; ++i) {
    bytes +=
        "line " + std::to_string(i) + " =" + std::string(static_cast<size_t>(i % 90), 'y') + "\n";
  }
  ASSERT_GT(bytes.size(), 3 * 2048u);
  blockOf(0)->dataBytes = 0;
  // Plain: a piece of L characters continues on the next line.
  std::string rejoined;
  for (const std::string& line : fromFile(bytes, 0)) {
    rejoined += line;
    if (line.size() < 78) rejoined += "\n";
  }
  EXPECT_EQ(rejoined, bytes);
  EXPECT_EQ(blockOf(0)->dataBytes, static_cast<int32_t>(bytes.size()));
  // Quoted-printable: the character read ahead survives every refill.
  rejoined.clear();
  for (std::string line : fromFile(bytes, 1)) {
    // An encoded '=' ends in "3D", so a last '=' is always a soft break.
    const bool soft = !line.empty() && line.back() == '=';
    if (soft) line.pop_back();
    for (size_t at = line.find("=3D"); at != std::string::npos; at = line.find("=3D", at + 1)) {
      line.replace(at, 3, "=");
    }
    rejoined += soft ? line : line + "\n";
  }
  EXPECT_EQ(rejoined, bytes);
}

// The buffer is refilled when no more than L bytes are left unread.
TEST_F(TextEncoderTest, TheReadAheadRefillsWhenLBytesOrFewerRemain) {
  std::string bytes(6000, 'q');
  std::string path = dir.file("big.txt");
  writeFile(path, bytes);
  ChannelBlock* b = startReader(0);
  b->bodyFromMemory = 0;
  b->dataBytes = 0;
  b->fileHandle = plat::fileOpenRead(path.c_str());
  ASSERT_GT(b->fileHandle, 0);
  for (int i = 0; i < 1970; ++i) ASSERT_EQ(nextBodyChar(b), 'q');
  EXPECT_EQ(b->dataBytes, 2048);  // 79 bytes still unread
  EXPECT_EQ(nextBodyChar(b), 'q');
  EXPECT_EQ(b->dataBytes, 2048 + 2048 - 78);  // 78 were left: refilled behind them
  int taken = 1971;
  while (nextBodyChar(b) != 0) ++taken;
  EXPECT_EQ(taken, 6000);
  EXPECT_EQ(b->dataBytes, 6000);
  EXPECT_EQ(b->readEof, 1);
  EXPECT_EQ(nextBodyChar(b), 0);
  plat::fileClose(b->fileHandle);
  b->fileHandle = 0;

  // From memory the source position moves with what was loaded.
  source_ = std::string(3000, 'm');
  b = startReader(0);
  b->bodyFromMemory = 1;
  b->dataBytes = 0;
  b->messageText = source_.data();
  EXPECT_EQ(nextBodyChar(b), 'm');
  EXPECT_EQ(b->messageText, source_.data() + 2048);
  EXPECT_EQ(b->dataBytes, 2048);
}

// ---- Base64 -------------------------------------------------------------------

std::string encodeBlock(const std::string& bytes) {
  std::vector<unsigned char> in(bytes.begin(),
                                bytes.end());  // exactly the count: ASan sees overreads
  char out[80] = {0};
  int32_t n = encodeBase64Block(in.data(), static_cast<int32_t>(in.size()), out);
  EXPECT_EQ(out[n], '\r');
  EXPECT_EQ(out[n + 1], '\n');
  return std::string(out, static_cast<size_t>(n));
}

TEST(Base64, EncodesTheStandardVectorsAndFullLines) {
  EXPECT_EQ(encodeBlock("f"), "Zg==");
  EXPECT_EQ(encodeBlock("fo"), "Zm8=");
  EXPECT_EQ(encodeBlock("foo"), "Zm9v");
  EXPECT_EQ(encodeBlock("foob"), "Zm9vYg==");
  EXPECT_EQ(encodeBlock("fooba"), "Zm9vYmE=");
  EXPECT_EQ(encodeBlock("foobar"), "Zm9vYmFy");
  EXPECT_EQ(encodeBlock(std::string("\xFB\xFF\x00", 3)), "+/8A");
  EXPECT_EQ(encodeBlock(std::string(57, '\xFF')), std::string(76, '/'));
  EXPECT_EQ(encodeBlock(std::string(57, '\0')), std::string(76, 'A'));
}

TEST(Base64, EncodeBufferCountsEveryCharacterPlaced) {
  std::string source(114, '\xFF');
  std::string target(200, '#');
  EXPECT_EQ(pelEncodeBuffer(source.data(), target.data(), 114), 156);
  EXPECT_EQ(target.substr(0, 156), std::string(76, '/') + "\r\n" + std::string(76, '/') + "\r\n");
  EXPECT_EQ(target[156], '#') << "no terminator is written";

  target.assign(10, '#');
  EXPECT_EQ(pelEncodeBuffer("M", target.data(), 1), 6);
  EXPECT_EQ(target, "TQ==\r\n####");

  target.assign(10, '#');
  EXPECT_EQ(pelEncodeBuffer("M", target.data(), 0), 0);
  EXPECT_EQ(pelEncodeBuffer("M", target.data(), -3), 0);
  EXPECT_EQ(target, std::string(10, '#'));

  // 58 bytes: a full line, then a line of one byte.
  source.assign(58, 'a');
  target.assign(90, '#');
  EXPECT_EQ(pelEncodeBuffer(source.data(), target.data(), 58), 84);
  EXPECT_EQ(target.substr(78, 6), "YQ==\r\n");
}

// ---- Attachment names ---------------------------------------------------------

TEST(AttachmentNames, AnnouncedNameAndImageTypes) {
  Attached lib{1};
  struct Case {
    const char* entry;
    const char* announced;
    const char* imageLine;  // with imageTypes on
  };
  const Case cases[] = {
      {"C:\\dir\\report.pdf", "report.pdf", nullptr},
      {"/tmp/data/file.bin", "file.bin", nullptr},
      {"/tmp/a.bin|Quarterly report.pdf", "Quarterly report.pdf", nullptr},
      {"/tmp/a.bin|", "", nullptr},
      {"/tmp/a.bin|sub\\inner.txt", "inner.txt", nullptr},
      {"plain.txt", "plain.txt", nullptr},
      {"PICTURE.GIF", "PICTURE.GIF", "Content-type: Image/GIF"},
      {"/x/a.bmp", "a.bmp", "Content-type: Image/BMP"},
      {"/x/a.Tif", "a.Tif", "Content-type: Image/TIFF"},
      {"/x/a.bin|photo.jpg", "photo.jpg", "Content-type: Image/JPEG"},
      {"/x/photo.jpeg", "photo.jpeg", nullptr},
      {"/x/scan.tiff", "scan.tiff", nullptr},
      {"/x/.gif", ".gif", nullptr},  // four characters are never recognised
  };
  ChannelBlock* b = blockOf(0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.entry);
    const char* name = announcedName(c.entry);
    EXPECT_STREQ(name, c.announced);
    b->imageTypes = 1;
    const char* line = imageTypeLine(b, name);
    EXPECT_EQ(line == nullptr ? std::string("-") : line,
              c.imageLine == nullptr ? std::string("-") : c.imageLine);
    b->imageTypes = 0;
    EXPECT_EQ(imageTypeLine(b, name), nullptr);
  }
}

// ---- Address form -------------------------------------------------------------

TEST(VerifyFormat, AppliesEveryRuleInOrder) {
  struct Case {
    const char* address;
    int32_t expected;
  };
  const Case cases[] = {
      {nullptr, kErrNullPointer},
      {"", kErrEmptyAddress},
      {"ann@example.test", kErrMissingLess},
      {"<ann@example.test", kErrMissingGreater},
      {"a>b<ann@example.test", kErrMissingGreater},
      {"<>", kErrNullPointer},
      {"<@example.test>", kErrEmptyAddress},
      {"<ann@>", kErrEmptyAddress},
      {"<ann@b@c>", kErrTooManyAt},
      {"<ann@@c>", kErrTooManyAt},
      {"<a nn@example.test>", kErrBadAddressChar},
      {"<ann!@b@c>", kErrBadAddressChar},  // the first failing character decides
      {"<ann@b!@c>", kErrBadAddressChar},
      {"<ann@b@c!>", kErrTooManyAt},
      {"<ann.example.test>", kErrMissingAt},
      {"<ann@example.test>", 1},
      {"Ann Smith <a_n-n/x.$&'@ex-ample.test> trailing !text", 1},
      {"<ann@example.test>, no brackets", 1},  // only the first item counts
      {"no brackets, <ann@example.test>", kErrMissingLess},
      {"<ann@example,test>", kErrMissingGreater},  // '>' lies in the next item
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address == nullptr ? "null" : c.address);
    EXPECT_EQ(pelVerifyFormat(c.address), c.expected);
  }
}

// ---- Date line ----------------------------------------------------------------

TEST(DateLine, FormatsDayHourAndZoneAsTheHeaderRequires) {
  struct Case {
    plat::FixedTime time;
    const char* expected;
  };
  const Case cases[] = {
      {{{2000, 1, 6, 1, 0, 0, 9}, -330, false}, "Date: Sat, 1 Jan 2000 0:00:09 +0500"},
      {{{2000, 9, 2, 5, 9, 5, 7}, 300, false}, "Date: Tue, 5 Sep 2000 9:05:07 -0500"},
      {{{2000, 9, 2, 5, 9, 5, 7}, 300, true}, "Date: Tue, 5 Sep 2000 9:05:07 -0400"},
      {{{2026, 12, 4, 31, 23, 59, 59}, 0, false}, "Date: Thu, 31 Dec 2026 23:59:59 +0000"},
      {{{2026, 7, 0, 12, 14, 10, 30}, -60, true}, "Date: Sun, 12 Jul 2026 14:10:30 +0200"},
      {{{2026, 3, 1, 9, 8, 0, 0}, 90, false}, "Date: Mon, 9 Mar 2026 8:00:00 -0100"},
      {{{2026, 3, 1, 9, 8, 0, 0}, -570, false}, "Date: Mon, 9 Mar 2026 8:00:00 +0900"},
  };
  char line[128];
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    plat::setFixedTime(&c.time);
    formatDateLine(line, sizeof line);
    EXPECT_STREQ(line, c.expected);
  }
  plat::setFixedTime(nullptr);
}

TEST(DateLine, DebugCodeMinus12GivesTheLineAsItWouldBeSentNow) {
  Attached lib{1};
  plat::FixedTime fixed{{2000, 9, 2, 5, 9, 5, 7}, 300, false};
  plat::setFixedTime(&fixed);
  char buffer[64];
  EXPECT_EQ(pelDebug(0, -12, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "Date: Tue, 5 Sep 2000 9:05:07 -0500");
  char small[11];
  std::memset(small, '#', sizeof small);
  EXPECT_EQ(pelDebug(0, -12, small, 10), 0);
  EXPECT_STREQ(small, "Date: Tue");
  EXPECT_EQ(small[10], '#');
  plat::setFixedTime(nullptr);
  // The real clock gives a line of the same form.
  EXPECT_EQ(pelDebug(0, -12, buffer, sizeof buffer), 0);
  EXPECT_EQ(std::string(buffer).rfind("Date: ", 0), 0u);
  EXPECT_TRUE(std::string(buffer).find_last_of("+-") == std::string(buffer).size() - 5);
}

}  // namespace
}  // namespace pel::test
