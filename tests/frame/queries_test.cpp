// Statistics and debug queries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"

using namespace pel;
using namespace pel::test;

TEST(Statistics, VersionBuildAndUnknownCodes) {
  EXPECT_EQ(pelStatistics(0, 16), -71);
  Attached attached(2);
  EXPECT_EQ(pelStatistics(1, 16), 818);
  EXPECT_EQ(pelStatistics(1, 26), 2);
  EXPECT_EQ(pelStatistics(1, 5), -1);
  EXPECT_EQ(pelStatistics(2, 16), -73);
  // A channel that never connected has no socket: its test reports a failure.
  EXPECT_EQ(pelStatistics(0, 20), -36);
}

TEST(Statistics, CountersAreReadFromTheBlock) {
  Attached attached(1);
  ChannelBlock* b = blockOf(0);
  b->dataBytes = 10;
  b->fileBytes = 5;
  b->textBytesSent = 7;
  b->encodedBytesSent = 3;
  b->mailboxCount = 12;
  b->messageSize = 471;
  EXPECT_EQ(pelStatistics(0, 12), 15);
  EXPECT_EQ(pelStatistics(0, 15), 10);
  EXPECT_EQ(pelStatistics(0, 17), 12);
  EXPECT_EQ(pelStatistics(0, 18), 471);
}

TEST(Debug, TextsOfTheChannel) {
  Attached attached(1);
  ChannelBlock* b = blockOf(0);
  char buffer[200];
  EXPECT_EQ(pelDebug(0, 7, buffer, sizeof buffer), 0);
  EXPECT_STREQ(buffer, "?");
  copyText(b->lastReplyLine, "+OK ready\r\n", kTextMax);
  EXPECT_EQ(pelDebug(0, 23, buffer, sizeof buffer), 9);
  EXPECT_STREQ(buffer, "+OK ready\r\n");
  b->serverAddress = (10u << 24) | (1u << 16) | (2u << 8) | 3u;
  EXPECT_EQ(pelDebug(0, 25, buffer, 16), 0);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(pelDebug(0, 25, buffer, 17), 8);
  EXPECT_STREQ(buffer, "10.1.2.3");
  EXPECT_EQ(pelDebug(0, 28, buffer, sizeof buffer), 0);
  copyText(b->savedNames, "a.txt,b.pdf", 515);
  EXPECT_EQ(pelDebug(0, 29, buffer, sizeof buffer), 11);
  EXPECT_STREQ(buffer, "a.txt,b.pdf");
  EXPECT_EQ(pelDebug(0, 40, buffer, sizeof buffer), -47);
  EXPECT_EQ(pelDebug(0, 23, nullptr, 10), 0);
  EXPECT_EQ(pelDebug(1, 23, buffer, sizeof buffer), -73);
  EXPECT_STREQ(buffer, "");
}

TEST(Debug, DateLineUsesTheLocalTime) {
  Attached attached(1);
  plat::FixedTime fixed = {{2000, 9, 2, 5, 9, 5, 7}, 300, false};
  plat::setFixedTime(&fixed);
  char buffer[64];
  EXPECT_EQ(pelDebug(0, -12, buffer, sizeof buffer), 0);
  plat::setFixedTime(nullptr);
  EXPECT_STREQ(buffer, "Date: Tue, 5 Sep 2000 9:05:07 -0500");
}

// No code writes more than `size` bytes into the caller's buffer.
TEST(Debug, NeverWritesPastTheSize) {
  Attached attached(1);
  ChannelBlock* b = blockOf(0);
  copyText(b->lastReplyLine, std::string(128, 'r').c_str(), kTextMax);
  memset(b->savedNames, 's', 515);
  b->savedNames[515] = 0;
  copyText(b->lastRecipient, std::string(32, 'p').c_str(), 32);
  char* retrieval = AllocateMemory(0, kSlotRetrieval, 600);
  ASSERT_NE(retrieval, nullptr);
  memset(retrieval, 'q', 600);
  b->serverAddress = 0xFFFFFFFFu;
  for (int32_t code : {-12, 23, 25, 28, 29, 30, 40, 7}) {
    for (int32_t size : {1, 2, 5, 17, 30}) {
      char area[700];
      memset(area, '#', sizeof area);
      int32_t r = pelDebug(0, code, area, size);
      EXPECT_EQ(area[size], '#') << "code " << code << " size " << size;
      EXPECT_LT(strlen(area), static_cast<size_t>(size)) << code;
      if (code == 29 || code == 30 || code == 40) {
        EXPECT_EQ(r, size - 1) << code;
      }
    }
  }
  char area[130];
  EXPECT_EQ(pelDebug(0, 23, area, 129), 128);
}
