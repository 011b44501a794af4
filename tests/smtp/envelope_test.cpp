// The SMTP greeting, HELO, the envelope, the argument checks of the SMTP
// operations, address verification and raw commands, against a scripted
// server: the exact lines on the wire and the results.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/errors.h"
#include "pel32.h"
#include "smtp/smtp.h"
#include "smtp_support.h"

namespace pel::test {
namespace {

std::string debugText(int32_t chan, int32_t code) {
  char buffer[200] = {0};
  pelDebug(chan, code, buffer, sizeof buffer);
  return buffer;
}

using EnvelopeTest = SmtpTest;

TEST_F(EnvelopeTest, HeloNamesTheSenderDomainOrTheDefault) {
  ScriptServer srv(join(join(greetingSteps(), quitSteps()),
                        join({Accept()}, join(greetingSteps(), quitSteps()))));
  ASSERT_EQ(connect(srv, "Ann Smith <ann@sender.example.test> (desk)", "Desk <desk@x.test>"), 0);
  EXPECT_EQ(blockOf(0)->protocol, 'S');
  EXPECT_STREQ(blockOf(0)->replyToAddress, "Desk <desk@x.test>");
  EXPECT_EQ(pelStatistics(0, 3), 250);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_EQ(connect(srv, "<postmaster>", ""), 0);
  EXPECT_STREQ(blockOf(0)->replyToAddress, "");
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads(), (std::vector<std::string>{"HELO sender.example.test\r\n", "QUIT\r\n",
                                                   "HELO localhost.localdomain\r\n", "QUIT\r\n"}));
}

TEST_F(EnvelopeTest, ARejectingGreetingOrHeloReplyFailsTheConnect) {
  ScriptServer srv({Send("554 no service\r\n"), ExpectClosed(), Accept(), Send("220 ready\r\n"),
                    ReadLine(), Send("554 not you\r\n"), ExpectClosed()});
  EXPECT_EQ(connect(srv), kErrSmtpError);
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  EXPECT_EQ(blockOf(0)->nextState, 0);
  EXPECT_EQ(connect(srv), kErrSmtpError);
  EXPECT_EQ(blockOf(0)->prevState, 203);
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(EnvelopeTest, ConnectChecksItsArgumentsBeforeAnythingIsSent) {
  struct Case {
    const char* server;
    const char* from;
    int32_t expected;
  };
  const Case cases[] = {
      {nullptr, "<a@x.test>", kErrNoServer},
      {"127.0.0.1", nullptr, kErrFromNull},
      {"mail@host", "<a@x.test>", kErrIllegalServer},
      {"127.0.0.1", "", kErrEmptyAddress},
      {"127.0.0.1", "a@x.test>", kErrMissingLess},
      {"127.0.0.1", "x> <a@x.test", kErrMissingGreater},
      {"127.0.0.1", "<a@x.test>\r\nRCPT TO:<evil@x.test>", kErrBadAddressChar},
      {"127.0.0.1", "A\nB <a@x.test>", kErrBadAddressChar},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    blockOf(1)->protocol = 0;
    EXPECT_EQ(pelSmtpConnect(1, c.server, c.from, nullptr), c.expected);
    EXPECT_EQ(blockOf(1)->protocol, 'S');
    EXPECT_EQ(blockOf(1)->nextState, 0);
    EXPECT_EQ(blockOf(1)->socket, plat::kNoSocket);
  }
  // The whole text is searched for the brackets, across separators too.
  blockOf(1)->autoDrive = 0;
  EXPECT_EQ(pelSmtpConnect(1, "127.0.0.1", "a, b <a@x.test>", nullptr), 0);
  EXPECT_EQ(blockOf(1)->nextState, 200);
}

TEST_F(EnvelopeTest, RecipientsGoOutInListOrderAndTheListsStayWhole) {
  const char* to = "Bob <bob@rcpt.test>, Carol <carol@rcpt.test> (work)";
  const char* cc = "<dave@cc.test>";
  const char* bcc = "<eve.with.a.rather.long.name@bcc.example.test>,";
  ScriptServer srv(join(join(greetingSteps(), messageSteps(4)), quitSteps()));
  ASSERT_EQ(connect(srv), 0);
  ASSERT_EQ(pelSendEmail(0, to, cc, bcc, nullptr, "x", nullptr), 0);
  EXPECT_STREQ(blockOf(0)->toList, to);
  EXPECT_STREQ(blockOf(0)->ccList, cc);
  EXPECT_STREQ(blockOf(0)->bccList, bcc);
  EXPECT_EQ(debugText(0, 30), "<eve.with.a.rather.long.name@bcc");
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> reads = srv.reads();
  ASSERT_GE(reads.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(reads.begin() + 1, reads.begin() + 7),
            (std::vector<std::string>{
                "MAIL FROM:<ann@sender.test>\r\n", "RCPT TO:<bob@rcpt.test>\r\n",
                "RCPT TO:<carol@rcpt.test> (work)\r\n", "RCPT TO:<dave@cc.test>\r\n",
                "RCPT TO:<eve.with.a.rather.long.name@bcc.example.test>\r\n", "DATA\r\n"}));
  // The header lines carry the whole lists; no header names the BCC list.
  const std::string data = reads[7];
  EXPECT_NE(data.find(std::string("\r\nTo: ") + to + "\r\n"), std::string::npos);
  EXPECT_NE(data.find(std::string("\r\nCC: ") + cc + "\r\n"), std::string::npos);
  EXPECT_EQ(data.find("eve.with"), std::string::npos);
}

TEST_F(EnvelopeTest, AnEmptyItemInTheWalkFailsWithMinus37AndClosesTheConnection) {
  ScriptServer srv(join(greetingSteps(), {ReadLine(), Send("250 ok\r\n"), ReadLine(),
                                          Send("250 ok\r\n"), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  const char* to = "<a@x.test>,,<b@x.test>";
  EXPECT_EQ(pelSendEmail(0, to, nullptr, nullptr, nullptr, "x", nullptr), kErrEmptyAddress);
  EXPECT_STREQ(blockOf(0)->toList, to) << "the cut item was put back before the failure";
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  EXPECT_EQ(blockOf(0)->prevState, 206);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads().back(), "RCPT TO:<a@x.test>\r\n");
}

TEST_F(EnvelopeTest, SendEmailChecksItsArgumentsAtOnce) {
  // Neither session: -58.
  EXPECT_EQ(pelSendEmail(1, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr),
            kErrSmtpOnly);
  blockOf(1)->protocol = 'P';
  EXPECT_EQ(pelSendEmail(1, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr),
            kErrSmtpOnly);
  EXPECT_EQ(pelVerifyUser(1, "<a@x.test>"), kErrSmtpOnly);

  ScriptServer srv(join(join(greetingSteps(), messageSteps(1)), {ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  struct Case {
    const char* to;
    const char* cc;
    const char* bcc;
    int32_t expected;
  };
  // Each of these leaves the connection open and sends nothing.
  const Case kept[] = {
      {nullptr, nullptr, nullptr, kErrNoRecipient},
      {"", "<c@x.test>", nullptr, kErrNoRecipient},
      {"x> <a@x.test>", nullptr, nullptr, kErrMissingGreater},
      {"<a@x.test", nullptr, nullptr, kErrMissingGreater},
      {"<a@x.test>", "x> <c@x.test>", nullptr, kErrMissingGreater},
      {"<a@x.test>", nullptr, "<b@x.test", kErrMissingGreater},
      // Only the first item is checked for its brackets.
      {"<a@x.test>", "<c@x.test>, d@x.test>", "<b@x.test", kErrMissingGreater},
      // No line break may ride along in any list.
      {"<a@x.test>\r\nRCPT TO:<evil@x.test>", nullptr, nullptr, kErrBadAddressChar},
      {"<a@x.test>", "<c@x.test>,<d@x.test>\nDATA", nullptr, kErrBadAddressChar},
      {"<a@x.test>", nullptr, "<b@x.test>\r", kErrBadAddressChar},
  };
  for (const Case& c : kept) {
    SCOPED_TRACE(c.to == nullptr ? "null" : c.to);
    EXPECT_EQ(pelSendEmail(0, c.to, c.cc, c.bcc, nullptr, nullptr, nullptr), c.expected);
    EXPECT_NE(blockOf(0)->socket, plat::kNoSocket);
  }
  EXPECT_EQ(pelVerifyUser(0, "<a@x.test>\nVRFY <b@x.test>"), kErrBadAddressChar);
  EXPECT_EQ(pelVerifyUser(0, ""), kErrNoRecipient);
  EXPECT_EQ(pelVerifyUser(0, nullptr), kErrNoRecipient);
  // The connection still works: a message goes through.
  EXPECT_EQ(pelSendEmail(0, "<a@x.test>", "", "", "", "", ""), 0);
  // A first item without '<' closes the connection; afterwards -44.
  EXPECT_EQ(pelSendEmail(0, "a@x.test", nullptr, nullptr, nullptr, nullptr, nullptr),
            kErrMissingLess);
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  EXPECT_EQ(pelSendEmail(0, "<a@x.test>", nullptr, nullptr, nullptr, nullptr, nullptr),
            kErrNotConnected);
  ASSERT_TRUE(srv.waitDone());
  // Nothing of the refused texts reached the server.
  EXPECT_EQ(srv.received().find("evil"), std::string::npos);
  EXPECT_EQ(srv.received().find("<b@x.test>"), std::string::npos);
}

TEST_F(EnvelopeTest, VerifyUserSendsEachItemWholeAndReportsTheLastReply) {
  ScriptServer srv(
      join(greetingSteps(),
           {ReadLine(), Send("550 unknown\r\n"), ReadLine(), Send("250 Bob\r\n"), ReadLine(),
            Send("250 Ann\r\n"), ReadLine(), Send("553 ambiguous\r\n"), ReadLine(),
            Send("252 cannot verify\r\n"), ReadLine(), Send("221 bye\r\n"), Close()}));
  ASSERT_EQ(connect(srv), 0);
  EXPECT_EQ(pelVerifyUser(0, "<nobody@x.test>, Bob <bob@x.test>"), 1);
  EXPECT_EQ(pelStatistics(0, 24), 1);
  EXPECT_NE(blockOf(0)->socket, plat::kNoSocket) << "a rejected VRFY keeps the connection";
  EXPECT_EQ(pelVerifyUser(0, "<ann@x.test>,<who@x.test>"), 0);
  EXPECT_EQ(pelVerifyUser(0, "<maybe@x.test>"), 0) << "only code 250 confirms";
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads(), (std::vector<std::string>{
                             "HELO sender.test\r\n", "VRFY <nobody@x.test>\r\n",
                             "VRFY  Bob <bob@x.test>\r\n", "VRFY <ann@x.test>\r\n",
                             "VRFY <who@x.test>\r\n", "VRFY <maybe@x.test>\r\n", "QUIT\r\n"}));
}

TEST_F(EnvelopeTest, RawCommandsOnAnSmtpChannel) {
  ScriptServer srv(join(greetingSteps(), {ReadLine(), Send("250 2.0.0 OK\r\n"), ReadLine(),
                                          Send("500 unrecognised\r\n"), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  EXPECT_EQ(pelCommand(0, "NOOP"), 0);
  EXPECT_EQ(pelStatistics(0, 3), 250);
  EXPECT_EQ(pelCommand(0, "BOGUS"), kErrSmtpError);
  EXPECT_EQ(pelStatistics(0, 3), 500);
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads()[1], "NOOP\r\n");
  EXPECT_EQ(srv.reads()[2], "BOGUS\r\n");
}

TEST_F(EnvelopeTest, RepliesInThe400sAreAcceptedAndA550RecipientStopsTheMessage) {
  ScriptServer srv(join(greetingSteps(), {ReadLine(), Send("451 try later\r\n"), ReadLine(),
                                          Send("550 no such user\r\n"), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  EXPECT_EQ(pelSendEmail(0, "<a@x.test>,<b@x.test>", nullptr, nullptr, nullptr, "x", nullptr),
            kErrSmtpError);
  EXPECT_EQ(blockOf(0)->prevState, 208);
  EXPECT_STREQ(blockOf(0)->toList, "<a@x.test>");
  ASSERT_TRUE(srv.waitDone());
}

}  // namespace
}  // namespace pel::test
