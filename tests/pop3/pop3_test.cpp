// POP3 login, mailbox queries and raw commands against a scripted server:
// the exact bytes on the wire, the results, and the log.
#include "pop3/pop3.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "driver/connect.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

namespace pel::test {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<Step> loginSteps() {
  return {Send("+OK POP3 ready\r\n"), ReadLine(), Send("+OK\r\n"), ReadLine(),
          Send("+OK logged in\r\n")};
}

std::vector<Step> join(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string debugText(int32_t chan, int32_t code) {
  char buffer[300] = {0};
  pelDebug(chan, code, buffer, sizeof buffer);
  return buffer;
}

std::string localHost() {
  char host[256];
  localHostName(host, sizeof host);
  return host;
}

std::string errorTextOf(int32_t chan, int32_t code) {
  char buffer[300] = {0};
  pelErrorText(chan, code, buffer, sizeof buffer);
  return buffer;
}

class Pop3Test : public ::testing::Test {
 protected:
  // The timing parameters are process-wide; a test that changes them gives
  // them back, so the tests also run one after another in one process.
  void TearDown() override { globalParams = savedParams; }

  int32_t login(const ScriptServer& srv, int32_t chan = 0) {
    pelIntegerParam(chan, PARAM_POP3_SERVER_PORT, srv.port());
    return pelPop3Connect(chan, "127.0.0.1", "alice", "secret");
  }

  GlobalParams savedParams = globalParams;
  Attached lib{2};
  TempDir dir;
};

TEST_F(Pop3Test, ConnectChecksItsArgumentsInOrderAfterMarkingTheChannel) {
  struct Case {
    const char* server;
    const char* user;
    const char* password;
    int32_t expected;
  };
  const Case cases[] = {
      {nullptr, nullptr, nullptr, kErrNoServer},
      {"bad@server", nullptr, nullptr, kErrNoUser},
      {"bad@server", "alice", nullptr, kErrNoPassword},
      {"bad@server", "alice", "secret", kErrIllegalServer},
      {"bad<server", "alice", "secret", kErrIllegalServer},
      {"bad\x7fserver", "alice", "secret", kErrIllegalServer},
  };
  openLog(0, dir.file("log.txt"));
  for (const Case& c : cases) {
    ChannelBlock* b = blockOf(0);
    b->protocol = 0;
    EXPECT_EQ(pelPop3Connect(0, c.server, c.user, c.password), c.expected);
    EXPECT_EQ(b->protocol, 'P');
    EXPECT_EQ(b->nextState, 0) << "a refused call arms nothing";
  }
  std::string expectedLog;
  for (size_t i = 0; i < std::size(cases); ++i) expectedLog += "*** pelPop3Connect\r\n";
  EXPECT_EQ(readFile(dir.file("log.txt")), expectedLog);

  // The mark lets a mailbox operation through: with no connection its send
  // fails, instead of the call being refused as not POP3.
  EXPECT_EQ(pelGetEmailCount(0), kErrSocketRead);
}

TEST_F(Pop3Test, MailboxOperationsNeedAPop3Channel) {
  char buffer[128];
  EXPECT_EQ(pelGetEmailCount(1), kErrPop3Only);
  EXPECT_EQ(pelGetEmailSize(1, 1), kErrPop3Only);
  EXPECT_EQ(pelDeleteEmail(1, 1), kErrPop3Only);
  EXPECT_EQ(pelGetEmailUID(1, 1, buffer, sizeof buffer), kErrPop3Only);
  EXPECT_EQ(pelCommand(1, "NOOP"), kErrIllegalServer);
  EXPECT_EQ(pelCommand(1, nullptr), kErrNullPointer);
  EXPECT_EQ(pelGetEmailCount(5), kErrChannelRange);
  EXPECT_EQ(pelPop3Connect(-1, "a", "b", "c"), kErrChannelRange);
}

TEST_F(Pop3Test, WholeSessionOnTheWireAndInTheLog) {
  ScriptServer srv(join(loginSteps(), {
                                          ReadLine(),
                                          Send("+OK 12 345\r\n"),
                                          ReadLine(),
                                          Send("+OK 2 471\r\n"),
                                          ReadLine(),
                                          Send("+OK 2 abc\r\n"),
                                          ReadLine(),
                                          Send("+OK\r\n1 x1\r\n2 y2\r\n.\r\n"),
                                          ReadLine(),
                                          Send("+OK deleted\r\n"),
                                          ReadLine(),
                                          Send("+OK bye\r\n"),
                                          ExpectClosed(),
                                      }));
  openLog(0, dir.file("log.txt"));
  ASSERT_EQ(login(srv), 0);
  const int socket = static_cast<int>(blockOf(0)->socket);
  EXPECT_EQ(pelGetEmailCount(0), 12);
  EXPECT_EQ(pelGetEmailSize(0, 2), 471);
  char uid[200];
  EXPECT_EQ(pelGetEmailUID(0, 2, uid, sizeof uid), 11);
  EXPECT_STREQ(uid, "+OK 2 abc\r\n");
  EXPECT_EQ(pelGetEmailUID(0, -1, uid, sizeof uid), 17);
  EXPECT_STREQ(uid, "+OK\r\n1 x1\r\n2 y2\r\n");
  EXPECT_EQ(pelDeleteEmail(0, 2), 0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(),
            "USER alice\r\nPASS secret\r\nSTAT\r\nLIST 2\r\nUIDL 2\r\nUIDL\r\nDELE 2\r\nQUIT\r\n");

  // The connect lines carry this machine's name, the socket and the port.
  const std::string host = localHost();
  const std::string connectLines =
      "*** pelIntegerParam(0,16," + std::to_string(srv.port()) + ")\r\n" +
      "*** pelPop3Connect\r\n<300:T>\r\nPEL Win32 Version 3.3.2 Build 2\r\n" +
      "<101:T>\r\nLocalHost = '" + host + "'\r\nR: " + host + "\r\n" +
      "<104:T>\r\nServer = '127.0.0.1'\r\nServerIP = 127.0.0.1\r\n" +
      "<105:T>\r\nSocket=" + std::to_string(socket) +
      ", RemoteAddr=7f000001, RemotePort=" + std::to_string(static_cast<int16_t>(srv.port())) +
      "\r\n";
  const std::string expected = connectLines +
                               "<106:T>\r\n"
                               "<301:T>\r\n"
                               "R: +OK POP3 ready\r\n\r\n"
                               "<302:T>\r\n"
                               "S: USER alice\r\n"
                               "<303:T>\r\n"
                               "R: +OK\r\n\r\n"
                               "<304:T>\r\n"
                               "S: PASS secret\r\n"
                               "<305:T>\r\n"
                               "R: +OK logged in\r\n\r\n"
                               "*** pelGetEmailCount\r\n"
                               "<306:T>\r\n"
                               "S: STAT\r\n"
                               "<307:T>\r\n"
                               "R: +OK 12 345\r\n\r\n"
                               "*** pelGetEmailSize\r\n"
                               "<317:T>\r\n"
                               "S: LIST 2\r\n"
                               "<318:T>\r\n"
                               "R: +OK 2 471\r\n\r\n"
                               "*** pelGetEmailUID\r\n"
                               "<320:T>\r\n"
                               "S: UIDL 2\r\n"
                               "<321:T>\r\n"
                               "R: +OK 2 abc\r\n\r\n"
                               "*** pelGetEmailUID\r\n"
                               "<320:T>\r\n"
                               "S: UIDL\r\n"
                               "<321:T>\r\n"
                               "R: +OK\r\n\r\n"
                               "R: 1 x1\r\n\r\n"
                               "R: 2 y2\r\n\r\n"
                               "R: .\r\n\r\n"
                               "*** pelDelete\r\n"
                               "<315:T>\r\n"
                               "S: DELE 2\r\n"
                               "<316:T>\r\n"
                               "R: +OK deleted\r\n\r\n"
                               "*** pelClose\r\n"
                               "<258:T>\r\n"
                               "S: QUIT\r\n"
                               "<259:T>\r\n"
                               "Closing socket\r\n"
                               "R: +OK bye\r\n\r\n";
  EXPECT_EQ(maskTicks(readFile(dir.file("log.txt"))), expected);
}

// Each row is one exchange of the same session: the reply the server gives,
// and what the operation makes of it.
TEST_F(Pop3Test, CountAndSizeParsesAndRefusals) {
  struct Case {
    int32_t message;  // 0: pelGetEmailCount, else pelGetEmailSize
    const char* reply;
    const char* sent;
    int32_t expected;
    int32_t replyCode;
  };
  const Case cases[] = {
      {0, "+OK 12 345\r\n", "STAT\r\n", 12, 100},
      {0, "+OK 0 0\r\n", "STAT\r\n", 0, 100},
      {0, "-ERR mailbox locked\r\n", "STAT\r\n", 0, 500},
      {0, "+OK\r\n", "STAT\r\n", 0, 100},
      {2, "+OK 2 471\r\n", "LIST 2\r\n", 471, 100},
      {2, "+OK 471\r\n", "LIST 2\r\n", 0, 100},
      {7, "-ERR no such message\r\n", "LIST 7\r\n", 0, 500},
      {3, "+OK 3 120 extra\r\n", "LIST 3\r\n", 120, 100},
  };
  std::vector<Step> script = loginSteps();
  for (const Case& c : cases) {
    script.push_back(ReadLine());
    script.push_back(Send(c.reply));
  }
  ScriptServer srv(script);
  ASSERT_EQ(login(srv), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    // A value left from the last exchange must not survive a new one.
    blockOf(0)->mailboxCount = 99;
    blockOf(0)->messageSize = 99;
    int32_t r = c.message == 0 ? pelGetEmailCount(0) : pelGetEmailSize(0, c.message);
    EXPECT_EQ(r, c.expected);
    EXPECT_EQ(pelStatistics(0, c.message == 0 ? 17 : 18), c.expected);
    EXPECT_EQ(pelStatistics(0, 3), c.replyCode);
    EXPECT_EQ(debugText(0, 23), c.reply);
    EXPECT_NE(blockOf(0)->socket, plat::kNoSocket) << "a refusal keeps the session";
  }
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> reads = srv.reads();
  ASSERT_EQ(reads.size(), 2 + std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(reads[2 + i], cases[i].sent);
}

TEST_F(Pop3Test, RefusedDeleteIsNotAFailureAndKeepsTheCount) {
  ScriptServer srv(join(loginSteps(), {ReadLine(), Send("+OK 4 900\r\n"), ReadLine(),
                                       Send("-ERR message 9 already deleted\r\n"), ReadLine(),
                                       Send("+OK 4 900\r\n")}));
  ASSERT_EQ(login(srv), 0);
  EXPECT_EQ(pelGetEmailCount(0), 4);
  EXPECT_EQ(pelDeleteEmail(0, 9), 0);
  EXPECT_EQ(pelStatistics(0, 17), 4);
  EXPECT_EQ(pelStatistics(0, 3), 500);
  EXPECT_EQ(debugText(0, 23), "-ERR message 9 already deleted\r\n");
  // The session goes on after the refusal.
  EXPECT_EQ(pelGetEmailSize(0, 4), 900);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads()[3], "DELE 9\r\n");
}

TEST_F(Pop3Test, ArgumentRefusalsSendNothing) {
  ScriptServer srv(join(loginSteps(), {ExpectSilence(300), ReadLine(), Send("+OK 1 5\r\n")}));
  ASSERT_EQ(login(srv), 0);
  char buffer[256];
  EXPECT_EQ(pelGetEmailSize(0, 0), kErrNoSuchMessage);
  EXPECT_EQ(pelGetEmailSize(0, -3), kErrNoSuchMessage);
  EXPECT_EQ(pelDeleteEmail(0, 0), kErrNoSuchMessage);
  EXPECT_EQ(pelGetEmailUID(0, 1, nullptr, 200), kErrBufferNull);
  EXPECT_EQ(pelGetEmailUID(0, 1, buffer, 127), kErrBufferSmall);
  EXPECT_EQ(pelCommand(0, nullptr), kErrNullPointer);
  EXPECT_EQ(blockOf(0)->nextState, 0);
  // The one command that follows the silence is the next valid request.
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  EXPECT_EQ(pelGetEmailSize(0, 1), 5);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(), "USER alice\r\nPASS secret\r\nLIST 1\r\n");
}

TEST_F(Pop3Test, IdentifierOfOneMessage) {
  const std::string longLine = "+OK 3 " + std::string(200, 'u') + "\r\n";
  ScriptServer srv(join(loginSteps(), {ReadLine(), Send("+OK 3 QwErTy\r\n"), ReadLine(),
                                       Send("-ERR no such message\r\n"), ReadLine(), Send(longLine),
                                       ReadLine(), Send("+OK 1 2\r\n")}));
  ASSERT_EQ(login(srv), 0);
  char buffer[256];
  EXPECT_EQ(pelGetEmailUID(0, 3, buffer, sizeof buffer), 14);
  EXPECT_STREQ(buffer, "+OK 3 QwErTy\r\n");
  // A refusal is the answer: its text and length, the session kept.
  EXPECT_EQ(pelGetEmailUID(0, 8, buffer, sizeof buffer), 22);
  EXPECT_STREQ(buffer, "-ERR no such message\r\n");

  // Size 128: at most 127 bytes and the terminator; nothing beyond.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(pelGetEmailUID(0, 3, buffer, 128), 127);
  EXPECT_EQ(std::string(buffer, 127), longLine.substr(0, 127));
  EXPECT_EQ(buffer[127], 0);
  EXPECT_EQ(buffer[128], 'x');
  EXPECT_EQ(pelGetEmailCount(0), 1);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(), "USER alice\r\nPASS secret\r\nUIDL 3\r\nUIDL 8\r\nUIDL 3\r\nSTAT\r\n");
}

TEST_F(Pop3Test, IdentifierListing) {
  std::string listing = "+OK unique-id listing follows\r\n";
  for (int i = 1; i <= 12; ++i)
    listing += std::to_string(i) + " id-of-message-" + std::to_string(i) + "\r\n";
  const std::string shortListing = "+OK\r\n1 a\r\n..2 dotted\r\n";
  ScriptServer srv(join(loginSteps(), {
                                          ReadLine(),
                                          Send(shortListing + ".\r\n"),
                                          ReadLine(),
                                          Send(listing + ".\r\n"),
                                          ReadLine(),
                                          Send("+OK 12 3000\r\n"),
                                      }));
  ASSERT_EQ(login(srv), 0);
  // Message 0 asks for the listing, like a negative number: "UIDL" is sent
  // and read to its '.' line. A doubled dot is a listing line, not its end.
  char buffer[512];
  EXPECT_EQ(pelGetEmailUID(0, 0, buffer, sizeof buffer), static_cast<int32_t>(shortListing.size()));
  EXPECT_EQ(buffer, shortListing);

  // A listing longer than the buffer is cut there and still read to its end:
  // the next reply is the one to the next command.
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(pelGetEmailUID(0, -1, buffer, 128), 127);
  EXPECT_EQ(std::string(buffer, 127), listing.substr(0, 127));
  EXPECT_EQ(buffer[127], 0);
  EXPECT_EQ(buffer[128], 'x');
  EXPECT_EQ(pelGetEmailCount(0), 12);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(), "USER alice\r\nPASS secret\r\nUIDL\r\nUIDL\r\nSTAT\r\n");
}

TEST_F(Pop3Test, ConnectionClosedBeforeTheFirstIdentifierLineGivesAnEmptyText) {
  ScriptServer srv(join(loginSteps(), {ReadLine(), Close()}));
  ASSERT_EQ(login(srv), 0);
  char buffer[200];
  std::strcpy(buffer, "stale text of an earlier call");
  EXPECT_EQ(pelGetEmailUID(0, -1, buffer, sizeof buffer), 0);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(blockOf(0)->nextState, 0);
}

TEST_F(Pop3Test, SilentListingTimesOutAfterItsLastLine) {
  ScriptServer srv(join(loginSteps(), {ReadLine(), Send("+OK\r\n1 a\r\n"), ExpectClosed()}));
  ASSERT_EQ(login(srv), 0);
  pelIntegerParam(0, PARAM_REPLY_LIMIT_MS, 300);
  pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 50);
  char buffer[200];
  auto start = Clock::now();
  EXPECT_EQ(pelGetEmailUID(0, -1, buffer, sizeof buffer), kErrTimedOut);
  EXPECT_GE(msSince(start), 300);
  EXPECT_STREQ(buffer, "+OK\r\n1 a\r\n");
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(Pop3Test, RefusedLoginFailsWithTheServersLine) {
  struct Case {
    std::vector<Step> script;
    const char* line;
  };
  Case cases[] = {
      {{Send("-ERR go away\r\n"), ExpectClosed()}, "-ERR go away\r\n"},
      {{Send("+OK\r\n"), ReadLine(), Send("-ERR unknown user\r\n"), ExpectClosed()},
       "-ERR unknown user\r\n"},
      {{Send("+OK\r\n"), ReadLine(), Send("+OK\r\n"), ReadLine(),
        Send("-ERR [AUTH] Authentication failed.\r\n"), ExpectClosed()},
       "-ERR [AUTH] Authentication failed.\r\n"},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.line);
    ScriptServer srv(c.script);
    EXPECT_EQ(login(srv), kErrPop3Error);
    EXPECT_EQ(errorTextOf(0, kErrPop3Error), std::string("POP3 returned error. ") + c.line);
    EXPECT_EQ(pelStatistics(0, 3), 500);
    EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
    EXPECT_TRUE(srv.waitDone());
  }
}

TEST_F(Pop3Test, LoginPacing) {
  ScriptServer srv({Wait(300), Send("+OK ready\r\n"), ReadLine(), Wait(500), Send("+OK\r\n"),
                    ReadLine(), Wait(900), Send("+OK in\r\n")});
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  pelIntegerParam(0, PARAM_AFTER_SEND_PAUSE_MS, 0);
  pelIntegerParam(0, PARAM_POLL_SLEEP_MS, 150);
  pelIntegerParam(0, PARAM_POP3_SERVER_PORT, srv.port());
  ASSERT_EQ(pelPop3Connect(0, "127.0.0.1", "alice", "secret"), 0);
  ChannelBlock* b = blockOf(0);
  long long slowestGreetingPoll = 0;
  long long quickestUserPoll = 1000000, quickestPasswordPoll = 1000000;
  int userPolls = 0, passwordPolls = 0;
  Clock::time_point passwordSent{};
  long long firstPasswordPoll = -1;
  int32_t r = 1;
  auto end = Clock::now() + std::chrono::seconds(10);
  while (r > 0 && Clock::now() < end) {
    auto start = Clock::now();
    r = pelDriver(0);
    long long took = msSince(start);
    if (r == 9999) continue;
    // A state that found the server silent stays: it ran, and comes again.
    if (b->prevState == 301 && r == 301) slowestGreetingPoll = std::max(slowestGreetingPoll, took);
    if (b->prevState == 303 && r == 303) {
      ++userPolls;
      quickestUserPoll = std::min(quickestUserPoll, took);
    }
    if (b->prevState == 304) {
      passwordSent = Clock::now();
      EXPECT_EQ(b->deadline - b->wakeTime, static_cast<uint32_t>(globalParams.replyLimit) - 500);
    }
    if (b->prevState == 305 && firstPasswordPoll < 0) {
      firstPasswordPoll =
          std::chrono::duration_cast<std::chrono::milliseconds>(start - passwordSent).count();
    }
    if (b->prevState == 305 && r == 305) {
      ++passwordPolls;
      quickestPasswordPoll = std::min(quickestPasswordPoll, took);
    }
  }
  EXPECT_EQ(r, 0);
  EXPECT_LT(slowestGreetingPoll, 100) << "the greeting poll does not sleep";
  EXPECT_GT(userPolls, 0);
  EXPECT_GE(quickestUserPoll, 140);
  EXPECT_GT(passwordPolls, 0);
  EXPECT_GE(quickestPasswordPoll, 140);
  // Integer parameter 1 is 0 here; the password reply still waits.
  EXPECT_GE(firstPasswordPoll, 490);
  EXPECT_TRUE(srv.waitDone());
}

TEST_F(Pop3Test, ApplicationDrivenOperationsReturnAtOnce) {
  ScriptServer srv(join(
      loginSteps(), {ExpectSilence(200), ReadLine(), Send("+OK 7 7000\r\n"), ExpectSilence(200),
                     ReadLine(), Send("+OK 5 321\r\n"), ExpectSilence(200), ReadLine(),
                     Send("+OK 5 id5\r\n"), ExpectSilence(200), ReadLine(), Send("+OK gone\r\n"),
                     ExpectSilence(200), ReadLine(), Send("+OK fine\r\n")}));
  pelIntegerParam(0, PARAM_POP3_SERVER_PORT, srv.port());
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  auto quiet = [] { std::this_thread::sleep_for(std::chrono::milliseconds(300)); };
  ASSERT_EQ(pelPop3Connect(0, "127.0.0.1", "alice", "secret"), 0);
  EXPECT_EQ(driveUntilDone(0), 0);

  EXPECT_EQ(pelGetEmailCount(0), 0);
  quiet();
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_EQ(pelStatistics(0, 17), 7);

  EXPECT_EQ(pelGetEmailSize(0, 5), 0);
  quiet();
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_EQ(pelStatistics(0, 18), 321);

  char buffer[128];
  EXPECT_EQ(pelGetEmailUID(0, 5, buffer, sizeof buffer), 0);
  quiet();
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_STREQ(buffer, "+OK 5 id5\r\n");

  EXPECT_EQ(pelDeleteEmail(0, 5), 0);
  quiet();
  EXPECT_EQ(driveUntilDone(0), 0);

  EXPECT_EQ(pelCommand(0, "NOOP"), 0);
  quiet();
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_EQ(debugText(0, 23), "+OK fine\r\n");
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(),
            "USER alice\r\nPASS secret\r\nSTAT\r\nLIST 5\r\nUIDL 5\r\nDELE 5\r\nNOOP\r\n");
}

TEST_F(Pop3Test, RawCommandOnAPop3Channel) {
  const std::string forty = "XTND abcdefghijklmnopqrstuvwxyz0123456789";
  ScriptServer srv(join(loginSteps(),
                        {ReadLine(), Send("+OK 2 messages\r\n1 10\r\n2 20\r\n.\r\n"), ReadLine()}));
  ASSERT_EQ(login(srv), 0);
  EXPECT_EQ(pelCommand(0, forty.c_str()), 0);
  EXPECT_STREQ(blockOf(0)->commandText, forty.substr(0, 32).c_str());
  // Only the status line of a multi-line answer is read.
  EXPECT_EQ(debugText(0, 23), "+OK 2 messages\r\n");
  EXPECT_STREQ(blockOf(0)->replyText, "+OK 2 messages\r\n");

  EXPECT_EQ(pelCommand(0, "BOGUS"), kErrPop3Error);
  EXPECT_EQ(errorTextOf(0, kErrPop3Error), "POP3 returned error. 1 10\r\n");
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads()[2], forty.substr(0, 32) + "\r\n");
  EXPECT_EQ(srv.reads()[3], "BOGUS\r\n");
}

// The raw command on an SMTP channel: the channel is connected by the connect
// states alone and marked SMTP, so no SMTP dialogue is involved.
TEST_F(Pop3Test, RawCommandOnAnSmtpChannel) {
  ScriptServer srv({ReadLine(), Send("250 ok\r\n"), ReadLine(),
                    Send("214-first line\r\n214 last line\r\n"), ReadLine(),
                    Send("550 not here\r\n"), ExpectClosed()});
  ASSERT_EQ(connectRaw(0, srv.port(), 'S'), 0);
  openLog(0, dir.file("log.txt"));
  EXPECT_EQ(pelCommand(0, "NOOP"), 0);
  EXPECT_EQ(pelStatistics(0, 3), 250);
  EXPECT_EQ(pelCommand(0, "HELP"), 0);
  EXPECT_EQ(pelStatistics(0, 3), 214);
  EXPECT_STREQ(blockOf(0)->replyText, "214-first line\r\n214 last line\r\n");
  EXPECT_EQ(pelCommand(0, "VRFY nobody"), kErrSmtpError);
  EXPECT_EQ(errorTextOf(0, kErrSmtpError), "SMTP returned error. 550 not here\r\n");
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(), "NOOP\r\nHELP\r\nVRFY nobody\r\n");
  EXPECT_EQ(maskTicks(readFile(dir.file("log.txt"))),
            "*** pelCommand\r\n<298:T>\r\nS: NOOP\r\n<299:T>\r\nR: 250 ok\r\n\r\n"
            "*** pelCommand\r\n<298:T>\r\nS: HELP\r\n<299:T>\r\nR: 214-first line\r\n\r\n"
            "R: 214-first line\r\n214 last line\r\n\r\n"
            "*** pelCommand\r\n<298:T>\r\nS: VRFY nobody\r\n<299:T>\r\nR: 550 not here\r\n\r\n"
            "ERROR(T): SockCode=0 PelCode=-49 PrevState=298 ThisState=299 NextState=299\r\n"
            "SMTP returned error. 550 not here\r\nClosing socket\r\n");
}

// Replies too short to hold a number: nothing past the terminator is read.
TEST(Pop3Parse, ShortRepliesGiveZero) {
  EXPECT_EQ(statCount("+OK"), 0);
  EXPECT_EQ(statCount(""), 0);
  EXPECT_EQ(listedSize("+OK 3 "), 0);
  EXPECT_EQ(listedSize(""), 0);
}

}  // namespace
}  // namespace pel::test
