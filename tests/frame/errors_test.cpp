// Error texts and the dotted address form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"

using namespace pel;
using namespace pel::test;

namespace {

struct TextCase {
  int32_t code;
  int32_t size;
  const char* text;
  int32_t result;
};

}  // namespace

TEST(ErrorText, LooksUpAndCutsTheText) {
  Attached attached(1);
  const TextCase cases[] = {
      {-73, 128, "Channel out of range.", 21},
      {-73, 10, "Channel o", 9},
      {0, 128, "Cannot comply", 13},
      {999, 128, "", 0},
      {-2, 128, "", 0},
      {5, 128, "", 0},
      {-10061, 128, "Connection refused by remote host.", 34},
      {-44, 128, "Not connected to server", 23},
      {-11001, 128, "Host does not exist.", 20},
      {-1, 1, "", 0},
  };
  for (const TextCase& c : cases) {
    char buffer[130];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(pelErrorText(0, c.code, buffer, c.size), c.result) << c.code;
    EXPECT_STREQ(buffer, c.text) << c.code;
    EXPECT_EQ(buffer[c.size], '#') << "wrote past the size for " << c.code;
  }
}

TEST(ErrorText, ReplyCarryingCodesAppendTheServerLine) {
  Attached attached(1);
  copyText(blockOf(0)->replyText, "-ERR bad login\r\n", 100);
  char buffer[128];
  EXPECT_EQ(pelErrorText(0, -63, buffer, sizeof buffer), 37);
  EXPECT_STREQ(buffer, "POP3 returned error. -ERR bad login\r\n");
  // Exactly room for the message: no blank, no reply.
  EXPECT_EQ(pelErrorText(0, -63, buffer, 21), 20);
  EXPECT_STREQ(buffer, "POP3 returned error.");
  EXPECT_EQ(pelErrorText(0, -49, buffer, 25), 24);
  EXPECT_STREQ(buffer, "SMTP returned error. -ER");
  // Other codes never carry the reply.
  EXPECT_EQ(pelErrorText(0, -8, buffer, sizeof buffer), 17);
}

TEST(ErrorText, ChannelChecksAndSizeBelowOne) {
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(pelErrorText(0, -8, buffer, 4), -71);
  Attached attached(1);
  EXPECT_EQ(pelErrorText(1, -8, buffer, 4), -73);
  EXPECT_EQ(pelErrorText(0, -8, buffer, 0), 0);
  EXPECT_EQ(buffer[0], '#');
}

TEST(DottedQuad, NeedsMoreThanSixteenBytes) {
  char buffer[20];
  memset(buffer, '#', sizeof buffer);
  uint32_t address = (10u << 24) | (1u << 16) | (2u << 8) | 3u;
  EXPECT_EQ(formatDottedQuad(address, buffer, 16), 0);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(formatDottedQuad(address, buffer, 17), 8);
  EXPECT_STREQ(buffer, "10.1.2.3");
  EXPECT_EQ(formatDottedQuad(0xFFFFFFFFu, buffer, 18), 15);
  EXPECT_STREQ(buffer, "255.255.255.255");
}
