// Attaching and releasing the library, and the channel table.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <vector>

#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"

using namespace pel;
using namespace pel::test;

TEST(Lifecycle, AttachBoundsAndSecondAttach) {
  EXPECT_EQ(pelAttach(129), -73);
  EXPECT_EQ(pelAttach(-1), -73);
  ASSERT_EQ(pelAttach(128), 1);
  EXPECT_EQ(channelCount, 128);
  EXPECT_EQ(pelAttach(3), -72);
  EXPECT_EQ(channelCount, 128);
  EXPECT_EQ(pelDriver(127), 0);
  EXPECT_EQ(pelDriver(128), -73);
  EXPECT_EQ(pelDriver(-1), -73);
  EXPECT_EQ(pelRelease(), 1);
  EXPECT_EQ(pelRelease(), 1);
  EXPECT_EQ(pelDriver(0), -71);
}

TEST(Lifecycle, AttachWithNoChannelsStaysDetached) {
  EXPECT_EQ(pelAttach(0), 1);
  EXPECT_EQ(channelCount, 0);
  EXPECT_EQ(pelDriver(0), -71);
  EXPECT_EQ(pelIntegerParam(0, PARAM_LINE_PAUSE_MS, 1), -71);
  EXPECT_EQ(pelRelease(), 1);
  // A real attach still works afterwards.
  EXPECT_EQ(pelAttach(1), 1);
  EXPECT_EQ(pelRelease(), 1);
}

TEST(Lifecycle, NewChannelDefaults) {
  Attached attached(2);
  const ChannelBlock* b = blockOf(1);
  EXPECT_EQ(b->channel, 1);
  EXPECT_EQ(b->prevState, -2);
  EXPECT_EQ(b->thisState, -1);
  EXPECT_EQ(b->nextState, 0);
  EXPECT_EQ(b->nonBlocking, 1);
  EXPECT_EQ(b->autoDrive, 1);
  EXPECT_EQ(b->smtpPort, 25);
  EXPECT_EQ(b->popPort, 110);
  EXPECT_EQ(b->imageTypes, 1);
  EXPECT_EQ(b->socket, plat::kNoSocket);
  EXPECT_EQ(b->logFile, 0);
  EXPECT_EQ(b->protocol, 0);
}

TEST(Lifecycle, ReleaseWritesItsLineIntoEachLogFromTheLastChannel) {
  TempDir dir;
  ASSERT_EQ(pelAttach(3), 1);
  for (int c = 0; c < 3; ++c) openLog(c, dir.file("log" + std::to_string(c)));
  EXPECT_EQ(pelRelease(), 1);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(readFile(dir.file("log" + std::to_string(c))),
              "Releasing channel " + std::to_string(c) + "\r\n");
  }
}

// The boundary is made from the tick count at attach, right-aligned in seven
// positions and padded with spaces; a count above 2^31 prints as negative.
TEST(Lifecycle, OutgoingBoundaryFromTheTickCount) {
  struct Case {
    uint32_t tick;
    const char* pattern;
  };
  const Case cases[] = {
      {50000, R"(=====_  5[0-9]{4}_=====)"},
      {40000000, R"(=====_4[0-9]{7}_=====)"},
      {0xF0000000u, R"(=====_-26[0-9]{7}_=====)"},
  };
  for (const Case& c : cases) {
    plat::setTickOffset(0);
    plat::setTickOffset(c.tick - plat::tickCount());
    ASSERT_EQ(pelAttach(1), 1);
    std::string boundary = outgoingBoundary;
    pelRelease();
    EXPECT_TRUE(std::regex_match(boundary, std::regex(c.pattern))) << boundary;
  }
  plat::setTickOffset(0);
}

TEST(Lifecycle, OperationWithoutAutoDriveOnlyArms) {
  Attached attached(1);
  ASSERT_EQ(pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0), 1);
  // pelClose arms the QUIT state and returns without touching the network.
  EXPECT_EQ(pelClose(0), 0);
  EXPECT_EQ(blockOf(0)->nextState, 258);
  EXPECT_EQ(blockOf(0)->stepCount, 0);
}

// Every operation that names a channel checks the attach and the channel
// number before anything else.
TEST(Lifecycle, EveryChannelOperationChecksAttachAndRange) {
  char buffer[200];
  const std::vector<std::function<int32_t(int32_t)>> operations = {
      [](int32_t c) { return pelDriver(c); },
      [](int32_t c) { return pelClose(c); },
      [](int32_t c) { return pelAbort(c); },
      [](int32_t c) { return pelIntegerParam(c, 1, 20); },
      [](int32_t c) { return pelStringParam(c, 52, "x"); },
      [&](int32_t c) { return pelErrorText(c, -8, buffer, sizeof buffer); },
      [](int32_t c) { return pelStatistics(c, 16); },
      [&](int32_t c) { return pelDebug(c, 23, buffer, sizeof buffer); },
      [](int32_t c) { return pelSmtpConnect(c, "127.0.0.1", "<a@b.c>", ""); },
      [](int32_t c) { return pelSendEmail(c, "<a@b.c>", "", "", "s", "m", ""); },
      [](int32_t c) { return pelVerifyUser(c, "<a@b.c>"); },
      [](int32_t c) { return pelPop3Connect(c, "127.0.0.1", "u", "p"); },
      [](int32_t c) { return pelGetEmailCount(c); },
      [](int32_t c) { return pelGetEmailSize(c, 1); },
      [&](int32_t c) { return pelGetEmailUID(c, 1, buffer, sizeof buffer); },
      [](int32_t c) { return pelDeleteEmail(c, 1); },
      [](int32_t c) { return pelCommand(c, "NOOP"); },
      [&](int32_t c) { return pelGetEmailLines(c, 1, 0, buffer, sizeof buffer); },
      [](int32_t c) { return pelGetEmailFile(c, 1, "f", "d", "a"); },
  };
  for (size_t i = 0; i < operations.size(); ++i) {
    EXPECT_EQ(operations[i](0), -71) << "operation " << i;
  }
  ASSERT_EQ(pelAttach(2), 1);
  for (size_t i = 0; i < operations.size(); ++i) {
    EXPECT_EQ(operations[i](-1), -73) << "operation " << i;
    EXPECT_EQ(operations[i](2), -73) << "operation " << i;
  }
  pelRelease();
  for (size_t i = 0; i < operations.size(); ++i) {
    EXPECT_EQ(operations[i](0), -71) << "operation " << i;
  }
}
