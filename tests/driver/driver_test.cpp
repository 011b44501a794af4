// The driver frame: pacing, deadlines, the trace and unknown states.
#include <gtest/gtest.h>

#include <string>

#include "driver/driver.h"
#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

using namespace pel;
using namespace pel::test;

namespace {

class Driver : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pelAttach(2), 1); }
  void TearDown() override {
    pelRelease();
    plat::setTickOffset(0);
  }
  ChannelBlock* b() { return blockOf(0); }
  std::string log() { return maskTicks(readFile(dir.file("log"))); }
  TempDir dir;
};

}  // namespace

TEST_F(Driver, NewChannelIsIdle) {
  b()->wakeTime = 0;
  EXPECT_EQ(pelDriver(0), 0);
  EXPECT_EQ(b()->thisState, -1);
  EXPECT_EQ(b()->prevState, -2);
  EXPECT_EQ(b()->stepCount, 0);
}

TEST_F(Driver, IdleCallsTraceStateZeroEveryTime) {
  openLog(0, dir.file("log"));
  EXPECT_EQ(pelDriver(0), 0);
  EXPECT_EQ(pelDriver(0), 0);
  EXPECT_EQ(log(), "<  0:T>\r\n<  0:T>\r\n");
}

TEST_F(Driver, NothingHappensBeforeTheWakeTime) {
  openLog(0, dir.file("log"));
  b()->nextState = 258;
  b()->wakeTime = plat::tickCount() + 60000;
  b()->sendLine[0] = 'x';
  EXPECT_EQ(pelDriver(0), 9999);
  EXPECT_EQ(b()->sendLine[0], 0);
  EXPECT_EQ(b()->nextState, 258);
  EXPECT_EQ(b()->thisState, -1);
  EXPECT_EQ(b()->stepCount, 0);
  EXPECT_EQ(log(), "");
}

TEST_F(Driver, UnknownStateIsLoggedOnEveryCall) {
  openLog(0, dir.file("log"));
  b()->nextState = 777;
  EXPECT_EQ(pelDriver(0), 777);
  EXPECT_EQ(pelDriver(0), 777);
  EXPECT_EQ(b()->stepCount, 2);
  EXPECT_EQ(log(),
            "<777:T>\r\nERROR! Unknown state 777\r\n"
            "ERROR! Unknown state 777\r\n");
}

TEST_F(Driver, PassedDeadlineFailsEvenWithDataWaiting) {
  // The greeting is never read, so the close resets the connection.
  ScriptServer server({Send("220 hello\r\n"), Wait(1500)});
  ASSERT_EQ(connectRaw(0, server.port(), 'S'), 0);
  openLog(0, dir.file("log"));
  plat::sleepMs(50);  // the greeting is waiting on the socket
  b()->nextState = 201;
  b()->prevState = 106;
  b()->deadline = plat::tickCount() - 10;
  EXPECT_EQ(pelDriver(0), -8);
  EXPECT_EQ(b()->nextState, 0);
  EXPECT_EQ(b()->socket, plat::kNoSocket);
  EXPECT_EQ(b()->socketError, 0);
  EXPECT_EQ(log(),
            "ERROR(T): SockCode=0 PelCode=-8 PrevState=106 ThisState=-1 NextState=201\r\n"
            "Socket timed out.Closing socket\r\n");
  // The old deadline still lies behind: the next call fails again.
  EXPECT_EQ(pelDriver(0), -8);
}

// Tick counts are compared by their signed difference, so a wake time or a
// deadline across the wrap of the 32-bit count behaves like any other.
TEST_F(Driver, TimesAcrossTheTickWrap) {
  plat::setTickOffset(0);
  plat::setTickOffset(0xFFFFFFFFu - 1000 - plat::tickCount());  // about 1 s before the wrap
  uint32_t now = plat::tickCount();
  b()->nextState = 777;
  b()->wakeTime = now + 3000;  // lies after the wrap
  EXPECT_EQ(pelDriver(0), 9999);
  b()->wakeTime = now - 5;
  b()->deadline = now + 3000;  // after the wrap: not passed
  EXPECT_EQ(pelDriver(0), 777);
  b()->deadline = now - 5;
  EXPECT_EQ(pelDriver(0), -8);
}

TEST_F(Driver, WaitSocketHoldsTheStepUntilWritable) {
  ScriptServer server({ExpectClosed()});
  ASSERT_EQ(connectRaw(0, server.port(), 'S'), 0);
  b()->wakeTime = 0;
  b()->nextState = 777;
  b()->waitSocket = 1;
  EXPECT_EQ(pelDriver(0), 777);  // a connected socket is writable at once
  EXPECT_EQ(b()->waitSocket, 0);
  pelAbort(0);
  EXPECT_TRUE(server.waitDone());
}
