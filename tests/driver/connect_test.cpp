// Connecting to a server, closing and aborting.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "driver/connect.h"
#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

using namespace pel;
using namespace pel::test;

namespace {

class Connect : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pelAttach(1), 1);
    openLog(0, dir.file("log"));
  }
  void TearDown() override {
    pelAbort(0);
    pelRelease();
  }
  ChannelBlock* b() { return blockOf(0); }
  std::string log() { return maskTicks(readFile(dir.file("log"))); }
  // Starts the connect states towards `server`.
  int32_t connectTo(const char* server, int port) {
    copyText(b()->serverName, server, kTextMax);
    b()->port = static_cast<int16_t>(port);
    b()->resumeState = 0;
    b()->nextState = 101;
    return driveUntilDone(0, 20000);
  }
  TempDir dir;
};

std::string hostName() {
  char name[256] = {0};
  plat::localHostName(name, sizeof name);
  return name;
}

}  // namespace

TEST(ServerNames, DottedQuadsAndValidNames) {
  EXPECT_TRUE(isDottedQuad("127.0.0.1"));
  EXPECT_EQ(parseDottedQuad("127.0.0.1"), (127u << 24) + 1);
  EXPECT_TRUE(isDottedQuad("10..2.3"));  // an empty field is 0
  EXPECT_EQ(parseDottedQuad("10..2.3"), (10u << 24) + (2u << 8) + 3);
  EXPECT_TRUE(isDottedQuad("1.2.3.4.junk"));
  EXPECT_FALSE(isDottedQuad("256.0.0.1"));
  EXPECT_FALSE(isDottedQuad("1.2.3"));
  EXPECT_FALSE(isDottedQuad("1.2.3.4x"));
  EXPECT_FALSE(isDottedQuad("mail.example.com"));
  EXPECT_TRUE(validServerName("mail.example.com"));
  EXPECT_TRUE(validServerName(""));
  EXPECT_TRUE(validServerName("caf\xe9"));
  EXPECT_FALSE(validServerName("user@host"));
  EXPECT_FALSE(validServerName("<host>"));
  EXPECT_FALSE(validServerName("host\r\n"));
  EXPECT_FALSE(validServerName("ho\x7fst"));
}

TEST_F(Connect, DottedQuadConnectsWithoutLookupAndLogsEveryStep) {
  ScriptServer server({ExpectClosed()});
  EXPECT_EQ(connectTo("127.0.0.1", server.port()), 0);
  EXPECT_NE(b()->socket, plat::kNoSocket);
  EXPECT_EQ(b()->serverAddress, (127u << 24) + 1);
  EXPECT_EQ(pelStatistics(0, 20), 1);
  char dotted[20];
  EXPECT_EQ(pelDebug(0, 28, dotted, sizeof dotted), 9);
  EXPECT_STREQ(dotted, "127.0.0.1");
  const std::string name = hostName();
  std::string expected = "<101:T>\r\nLocalHost = '" + name + "'\r\nR: " + name +
                         "\r\n<104:T>\r\nServer = '127.0.0.1'\r\nServerIP = 127.0.0.1\r\n"
                         "<105:T>\r\nSocket=" + std::to_string(b()->socket) +
                         ", RemoteAddr=7f000001, RemotePort=" +
                         std::to_string(static_cast<int16_t>(server.port())) + "\r\n<106:T>\r\n";
  EXPECT_EQ(log(), expected);
}

TEST_F(Connect, LocalhostGoesThroughTheLookup) {
  ScriptServer server({ExpectClosed()});
  EXPECT_EQ(connectTo("localhost", server.port()), 0);
  EXPECT_EQ(b()->serverAddress, (127u << 24) + 1);
}

TEST_F(Connect, UnknownNameFailsWithTheLookupCode) {
  EXPECT_EQ(connectTo("no-such-host.invalid", 25), -46);
  EXPECT_LT(b()->socketError, -11000);
  EXPECT_EQ(b()->nextState, 0);
  std::regex error("ERROR\\(T\\): SockCode=" + std::to_string(b()->socketError) +
                   " PelCode=-46 PrevState=101 ThisState=104 NextState=104\r\n"
                   "Cannot find SMTP/POP3 server\\.[A-Za-z .]+Closing socket\r\n");
  EXPECT_TRUE(std::regex_search(log(), error)) << log();
}

TEST_F(Connect, RefusedWithoutBlockingFailsWhileWaiting) {
  RefusedPort refused;
  EXPECT_EQ(connectTo("127.0.0.1", refused.port()), -36);
  EXPECT_EQ(b()->prevState, 106);
  EXPECT_EQ(b()->socketError, 0);
  EXPECT_EQ(b()->socket, plat::kNoSocket);
  EXPECT_EQ(b()->nextState, 0);
  EXPECT_EQ(pelStatistics(0, 20), -36);
  EXPECT_EQ(pelStatistics(0, 4), 0);
}

TEST_F(Connect, RefusedWhileBlockingFailsInTheConnectCall) {
  RefusedPort refused;
  pelIntegerParam(0, PARAM_BLOCKING_CONNECT, 1);
  EXPECT_EQ(connectTo("127.0.0.1", refused.port()), -36);
  EXPECT_EQ(b()->prevState, 105);
  EXPECT_EQ(b()->socketError, -10061);
  EXPECT_EQ(b()->socket, plat::kNoSocket);
  EXPECT_NE(log().find("PelCode=-36 PrevState=104 ThisState=105 NextState=105\r\n"
                       "Error attempting to connect. Connection refused by remote host."),
            std::string::npos)
      << log();
}

TEST_F(Connect, ConnectThatNeverCompletesTimesOut) {
  StalledListener stalled;
  pelIntegerParam(0, PARAM_CONNECT_LIMIT_MS, 700);
  uint32_t start = plat::tickCount();
  EXPECT_EQ(connectTo("127.0.0.1", stalled.port()), -8);
  EXPECT_GE(plat::tickCount() - start, 700u);
  EXPECT_EQ(b()->socket, plat::kNoSocket);
  pelIntegerParam(0, PARAM_CONNECT_LIMIT_MS, 60000);
}

TEST_F(Connect, CloseOnAChannelThatNeverConnected) {
  EXPECT_EQ(pelClose(0), -52);
  std::string text = log();
  EXPECT_NE(text.find("*** pelClose\r\n<258:T>\r\nERROR(T): SockCode=-1 PelCode=-52 "
                      "PrevState=-2 ThisState=258 NextState=258\r\n"
                      "Socket write error.Socket has been closed.Closing socket\r\n"),
            std::string::npos)
      << text;
}

TEST_F(Connect, CloseWithoutAutoDriveWaitsForTheDriver) {
  ScriptServer server({ReadLine(), Send("221 bye\r\n"), ExpectClosed()});
  ASSERT_EQ(connectRaw(0, server.port(), 'S'), 0);
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  EXPECT_EQ(pelClose(0), 0);
  plat::sleepMs(100);
  EXPECT_EQ(server.received(), "");
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_TRUE(server.waitDone());
  EXPECT_EQ(server.received(), "QUIT\r\n");
  EXPECT_EQ(b()->protocol, 'S');  // the application drove it: slots and mark stay
}

TEST_F(Connect, CloseSendsQuitFreesTheSlotsAndEndsTheSession) {
  ScriptServer server({ReadLine(), Send("221 bye\r\n"), ExpectClosed()});
  ASSERT_EQ(connectRaw(0, server.port(), 'S'), 0);
  pelStringParam(0, STRPARAM_HEADER_LINES, "X-A: 1");
  EXPECT_EQ(pelClose(0), 0);
  EXPECT_TRUE(server.waitDone());
  EXPECT_EQ(b()->protocol, 0);
  EXPECT_EQ(b()->extraHeaders, nullptr);
  EXPECT_EQ(b()->socket, plat::kNoSocket);
  std::string text = log();
  EXPECT_NE(text.find("<258:T>\r\nS: QUIT\r\n<259:T>\r\nClosing socket\r\nR: 221 bye\r\n\r\n"),
            std::string::npos)
      << text;
}

TEST_F(Connect, AbortDropsTheConnectionOnce) {
  ScriptServer server({ExpectClosed()});
  ASSERT_EQ(connectRaw(0, server.port(), 'P'), 0);
  size_t start = readFile(dir.file("log")).size();
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  int before = plat::socketCloseCount();
  EXPECT_EQ(pelAbort(0), 1);
  EXPECT_EQ(pelAbort(0), 1);
  EXPECT_EQ(plat::socketCloseCount() - before, 1);
  EXPECT_EQ(b()->autoDrive, 1);
  EXPECT_EQ(b()->nextState, 0);
  EXPECT_EQ(b()->protocol, 'P');
  EXPECT_EQ(readFile(dir.file("log")).substr(start),
            "*** pelIntegerParam(0,9,0)\r\n"
            "*** pelAbort\r\nClosing socket\r\n*** pelAbort\r\nClosing socket\r\n");
  EXPECT_TRUE(server.waitDone());
}
