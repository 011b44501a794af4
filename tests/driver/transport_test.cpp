// Socket input and output, and the reply rules of both protocols.
#include <gtest/gtest.h>

#include <string>

#include "driver/transport.h"
#include "frame/channel.h"
#include "frame/params.h"
#include "frame/platform/platform.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

using namespace pel;
using namespace pel::test;

namespace {

class Transport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pelAttach(1), 1);
    openLog(0, dir.file("log"));
  }
  void TearDown() override {
    pelAbort(0);
    pelRelease();
  }
  void connect(ScriptServer& server) {
    ASSERT_EQ(connectRaw(0, server.port(), 'S'), 0);
    logStart = readFile(dir.file("log")).size();
  }
  // The log written since the connection was made.
  std::string log() { return readFile(dir.file("log")).substr(logStart); }
  // Waits until the script has sent its bytes.
  void settle() { plat::sleepMs(100); }
  ChannelBlock* b() { return blockOf(0); }
  TempDir dir;
  size_t logStart = 0;
};

}  // namespace

TEST_F(Transport, TwoLineGreetingArrivingTogether) {
  ScriptServer server({Send("220-first line\r\n220 second line\r\n"), ExpectClosed()});
  connect(server);
  settle();
  EXPECT_EQ(readSmtpReply(b()), 0);
  EXPECT_EQ(b()->replyCode, 220);
  EXPECT_STREQ(b()->replyText, "220-first line\r\n220 second line\r\n");
  EXPECT_STREQ(b()->lastReplyLine, "220 second line\r\n");
  EXPECT_EQ(log(), "R: 220-first line\r\n\r\n");
}

TEST_F(Transport, SmtpReplyCodes) {
  ScriptServer server({Send("421 busy\r\n"), Wait(200), Send("550 no\r\n"), Wait(200),
                       Send("250\r\n"), ExpectClosed()});
  connect(server);
  settle();
  EXPECT_EQ(readSmtpReply(b()), 0);
  EXPECT_EQ(b()->replyCode, 421);
  plat::sleepMs(200);
  EXPECT_EQ(readSmtpReply(b()), -49);
  EXPECT_EQ(b()->replyCode, 550);
  EXPECT_EQ(log(), "R: 550 no\r\n\r\n");
  plat::sleepMs(200);
  // A bare three-digit code is a whole reply.
  EXPECT_EQ(readSmtpReply(b()), 0);
  EXPECT_EQ(b()->replyCode, 250);
}

TEST_F(Transport, ContinuationThatNeverComesTimesOut) {
  ScriptServer server({Send("250-more to come\r\n"), ExpectSilence(1500), Close()});
  connect(server);
  settle();
  pelIntegerParam(0, PARAM_SMTP_DATA_LIMIT_MS, 100);  // four times: 400 ms
  EXPECT_EQ(readSmtpReply(b()), -8);
  pelIntegerParam(0, PARAM_SMTP_DATA_LIMIT_MS, 25000);
}

TEST_F(Transport, ContinuationArrivingLaterIsJoined) {
  ScriptServer server({SendPieces({"250-one\r\n", "250 two\r\n"}, 300), ExpectClosed()});
  connect(server);
  settle();
  EXPECT_EQ(readSmtpReply(b()), 0);
  EXPECT_STREQ(b()->replyText, "250-one\r\n250 two\r\n");
}

TEST_F(Transport, SmtpReplyLongerThanItsAreaOverflows) {
  std::string lines;
  for (int i = 0; i < 30; ++i) lines += "250-" + std::string(60, 'a' + i % 26) + "\r\n";
  lines += "250 end\r\n";
  ScriptServer server({Send(lines), ExpectClosed()});
  connect(server);
  settle();
  EXPECT_EQ(readSmtpReply(b()), -31);
}

TEST_F(Transport, Pop3StatusLines) {
  ScriptServer server({Send("-ERR no\r\n"), Wait(200), Send("+OK yes\r\n"), ExpectClosed()});
  connect(server);
  settle();
  EXPECT_EQ(readPop3Reply(b()), -63);
  EXPECT_EQ(b()->replyCode, 500);
  plat::sleepMs(200);
  EXPECT_EQ(readPop3Reply(b()), 0);
  EXPECT_EQ(b()->replyCode, 100);
  EXPECT_STREQ(b()->lastReplyLine, "+OK yes\r\n");
  EXPECT_EQ(log(), "R: -ERR no\r\n\r\n");
}

TEST_F(Transport, ServerClosingInsteadOfReplying) {
  ScriptServer server({Close()});
  connect(server);
  settle();
  EXPECT_EQ(readSmtpReply(b()), 0);
  EXPECT_STREQ(b()->replyText, "");
  EXPECT_EQ(readPop3Reply(b()), 0);
  EXPECT_STREQ(b()->replyText, "");
}

TEST_F(Transport, LongLineThroughAnAreaOf1024) {
  std::string line(2000, 'x');
  ScriptServer server({Send(line + "\r\n"), ExpectClosed()});
  connect(server);
  settle();
  char area[1100];
  EXPECT_EQ(receiveLine(b(), area, 1024, 0, 1000), 1023);
  EXPECT_EQ(std::string(area), line.substr(0, 1023));
  EXPECT_EQ(receiveLine(b(), area, 1024, 0, 1000), 979);
  EXPECT_EQ(std::string(area), line.substr(0, 977) + "\r\n");
}

TEST_F(Transport, ChunksNeverTakeMoreThanOneLine) {
  ScriptServer server({Send(std::string("a\0b\r\nnext\r\n", 11)), ExpectClosed()});
  connect(server);
  settle();
  char area[64];
  EXPECT_EQ(receiveChunk(b(), area, sizeof area), 5);
  EXPECT_EQ(receiveChunk(b(), area, sizeof area), 6);
  EXPECT_STREQ(area, "next\r\n");
}

TEST_F(Transport, ReceiveRecordsTheByteAfterTheData) {
  ScriptServer server({Send("0123456789"), ExpectClosed()});
  connect(server);
  settle();
  char area[20];
  memset(area, 'x', sizeof area);
  EXPECT_EQ(receiveBytes(b(), area, 10), 10);
  EXPECT_EQ(b()->lastReceivedChar, 'x');
}

TEST_F(Transport, PutLineSendsTheLineEnd) {
  ScriptServer server({ReadLine(), ExpectClosed()});
  connect(server);
  copyText(b()->sendLine, "QUIT", 10);
  EXPECT_EQ(putLine(b()->socket, b()->sendLine), 6);
  EXPECT_STREQ(b()->sendLine, "QUIT");
  pelAbort(0);
  EXPECT_TRUE(server.waitDone());
  EXPECT_EQ(server.received(), "QUIT\r\n");
}

TEST_F(Transport, WaitsOnAQuietSocket) {
  ScriptServer server({ExpectClosed()});
  connect(server);
  uint32_t start = plat::tickCount();
  EXPECT_EQ(waitReadable(b()->socket, 0), 0);
  EXPECT_LT(plat::tickCount() - start, 50u);
  EXPECT_EQ(waitWritable(b()->socket, 0), 1);
}

TEST_F(Transport, ClosedChannelSocketReportsReadyAndFailsItsIo) {
  ScriptServer server({ExpectClosed()});
  connect(server);
  int before = plat::socketCloseCount();
  closeChannelSocket(b());
  closeChannelSocket(b());
  EXPECT_EQ(plat::socketCloseCount() - before, 1);
  EXPECT_EQ(log(), "Closing socket\r\nClosing socket\r\n");
  EXPECT_EQ(socketReady(b()->socket, kReadable), 1);
  EXPECT_EQ(socketReady(b()->socket, kException), 1);
  EXPECT_EQ(waitWritable(b()->socket, 0), 0);
  char area[8];
  EXPECT_EQ(receiveBytes(b(), area, 4), -1);
  EXPECT_EQ(putBytes(b()->socket, "x", 1), -1);
  EXPECT_TRUE(server.waitDone());
}

TEST(LeadingNumber, DigitsAtTheStart) {
  EXPECT_EQ(leadingNumber("250 ok"), 250);
  EXPECT_EQ(leadingNumber("x250"), 0);
  EXPECT_EQ(leadingNumber(""), 0);
  EXPECT_EQ(leadingNumber("12345678901"), 1234567890);
}
