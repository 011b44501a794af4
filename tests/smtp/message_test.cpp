// The message as it goes over the wire after DATA: header block, multipart
// framing, message text from memory and from a file, attachments, the end of
// data, the byte counters and the log.
#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "pel32.h"
#include "smtp_support.h"

namespace pel::test {
namespace {

// Every DATA text the server read, in order.
std::vector<std::string> dataTexts(const ScriptServer& srv) {
  std::vector<std::string> out;
  std::vector<std::string> reads = srv.reads();
  for (size_t i = 0; i + 1 < reads.size(); ++i) {
    if (reads[i] == "DATA\r\n") out.push_back(reads[i + 1]);
  }
  return out;
}

std::string boundary() { return outgoingBoundary; }

std::string multipartHeadings() {
  return "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary() +
         "\"\r\n\r\n--" + boundary() + "\r\n";
}

std::string closing() { return "--" + boundary() + "--\r\n\r\n\r\n.\r\n"; }

std::string qpTextPart(const std::string& typeLine) {
  return typeLine + "\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
}

std::string partHeader(const std::string& typeLine, const std::string& name) {
  return "\r\n--" + boundary() + "\r\n" + typeLine +
         "\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
         "filename=\"" +
         name + "\"\r\n\r\n";
}

std::string octetStream(const std::string& name) {
  return partHeader("Content-Type: application/octet-stream; name=\"" + name + "\"", name);
}

std::string base64Of(const std::string& bytes) {
  std::string out(bytes.size() * 2 + 8, '\0');
  out.resize(static_cast<size_t>(
      pelEncodeBuffer(bytes.data(), out.data(), static_cast<int32_t>(bytes.size()))));
  return out;
}

class MessageTest : public SmtpTest {
 protected:
  void TearDown() override {
    globalParams.omitToLine = 0;
    SmtpTest::TearDown();
  }
  const std::string from_ = "From: Ann <ann@sender.test>\r\n";
};

TEST_F(MessageTest, APlainMessageByteForByteWithItsLog) {
  ScriptServer srv(join(join(greetingSteps(), messageSteps(1)), quitSteps()));
  ASSERT_EQ(connect(srv), 0);
  openLog(0, dir.file("smtp.log"));
  ASSERT_EQ(pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr,
                         "Hello there\r\n.\r\n.dot\r\nend", nullptr),
            0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  const std::string data =
      headerStart() + from_ + "\r\nHello there\r\n..\r\n..dot\r\nend\r\n\r\n.\r\n";
  EXPECT_EQ(srv.received(),
            "HELO sender.test\r\nMAIL FROM:<ann@sender.test>\r\n"
            "RCPT TO:<bob@rcpt.test>\r\nDATA\r\n" +
                data + "QUIT\r\n");
  const std::string log = maskTicks(readFile(dir.file("smtp.log")));
  const std::string expected =
      "*** pelSendEmail\r\n*** Sending...\r\n"
      "<204:T>\r\nS: MAIL FROM:<ann@sender.test>\r\n"
      "<205:T>\r\nR: 250 sender ok\r\n\r\n"
      "<206:T>\r\n<207:T>\r\nS: RCPT TO:<bob@rcpt.test>\r\n"
      "<208:T>\r\nR: 250 recipient ok\r\n\r\n"
      "<209:T>\r\nS: DATA\r\n<210:T>\r\nR: 354 go ahead\r\n\r\n"
      "<220:T>\r\nS: X-Mailer: Korvane Version 3.3\r\n"
      "<222:T>\r\nS: Date: Sat, 1 Jan 2000 0:00:09 +0500\r\n"
      "<223:T>\r\nS: To: Bob <bob@rcpt.test>\r\n"
      "<224:T>\r\nS: From: Ann <ann@sender.test>\r\n"
      "<230:T>\r\n<235:T>\r\n<240:T>\r\n"
      "<241:T>\r\nS: Hello there\r\nS: ..\r\nS: ..dot\r\nS: end\r\n"
      "<251:T>\r\nS: \r\n.\r\n<252:T>\r\nR: 250 queued\r\n\r\n"
      "*** pelClose\r\n<258:T>\r\nS: QUIT\r\n<259:T>\r\nClosing socket\r\nR: 221 bye\r\n\r\n";
  EXPECT_EQ(log.substr(log.find("*** pelSendEmail")), expected);
}

TEST_F(MessageTest, EveryHeaderInItsOrderAndTheSwitchesThatDropSome) {
  ScriptServer srv(
      join(join(join(greetingSteps(), messageSteps(3)), messageSteps(1)), quitSteps()));
  ASSERT_EQ(connect(srv, "Ann <ann@sender.test>", "Desk <desk@sender.test>"), 0);
  pelStringParam(0, STRPARAM_HEADER_LINES, "X-Priority: 1");
  pelStringParam(0, STRPARAM_APPEND_HEADER, "X-Tag: blue");
  ASSERT_EQ(pelSendEmail(0, "Bob <bob@rcpt.test>", "<cc@x.test>", "<hidden@x.test>",
                         "Quarterly figures", "text", nullptr),
            0);
  // Without a subject the extra lines stay out; integer parameter 22 drops To.
  pelIntegerParam(0, PARAM_OMIT_TO_LINE, 1);
  ASSERT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, "text", nullptr), 0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> data = dataTexts(srv);
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(data[0],
            headerStart() + from_ +
                "Reply-To: Desk <desk@sender.test>\r\nSubject: Quarterly figures\r\n"
                "X-Priority: 1\r\nX-Tag: blue\r\nCC: <cc@x.test>\r\n\r\ntext\r\n\r\n.\r\n");
  EXPECT_EQ(data[1], std::string("X-Mailer: Korvane Version 3.3\r\n") + kFixedDateLine + "\r\n" +
                         from_ + "Reply-To: Desk <desk@sender.test>\r\n\r\ntext\r\n\r\n.\r\n");
  EXPECT_NE(srv.received().find("RCPT TO:<hidden@x.test>\r\n"), std::string::npos);
  EXPECT_EQ(data[0].find("hidden"), std::string::npos);
}

// Header texts are the application's: a line break in them followed by a
// period must not end the data early and smuggle commands onto the
// connection, so such a line gets its period doubled like message text.
TEST_F(MessageTest, HeaderTextCannotEndTheData) {
  ScriptServer srv(join(join(greetingSteps(), messageSteps(1)), quitSteps()));
  ASSERT_EQ(connect(srv), 0);
  pelStringParam(0, STRPARAM_HEADER_LINES, "X-A: 1\r\n.\r\nRSET");
  ASSERT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, "Hi\r\n.\r\nQUIT", "text",
                         nullptr),
            0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> data = dataTexts(srv);
  ASSERT_EQ(data.size(), 1u);
  EXPECT_NE(data[0].find("Subject: Hi\r\n..\r\nQUIT\r\nX-A: 1\r\n..\r\nRSET\r\n"),
            std::string::npos)
      << data[0];
  EXPECT_EQ(data[0].substr(data[0].size() - 13), "\r\ntext\r\n\r\n.\r\n");
}

TEST_F(MessageTest, MultipartFramingByTextPartType) {
  // One session, one message per text part type.
  struct Case {
    int32_t bodyType;
    std::string textPart;  // the text part header
    std::string text;      // the text as sent
  };
  const Case cases[] = {
      {1, qpTextPart("Content-Type: text/plain"), "a=3Db caf=E9\r\n"},
      {2, qpTextPart("Content-Type: text/html"), "a=3Db caf=E9\r\n"},
      {3, qpTextPart("Content-Type: text/enriched"), "a=3Db caf=E9\r\n"},
      {4, qpTextPart("Content-Type: text/plain; charset=iso-8859-1"), "a=3Db caf=E9\r\n"},
      // Type 5 has the part header of type 0 and still a quoted-printable text.
      {5, "Content-Type: text/plain\r\n\r\n", "a=3Db caf=E9\r\n"},
      // Type 9 before string parameter 54 was ever set: an empty type line.
      {9, qpTextPart(""), "a=3Db caf=E9\r\n"},
  };
  std::vector<Step> steps = greetingSteps();
  for (size_t i = 0; i < std::size(cases) + 1; ++i) steps = join(steps, messageSteps(1));
  ScriptServer srv(join(steps, quitSteps()));
  ASSERT_EQ(connect(srv), 0);
  for (const Case& c : cases) {
    pelIntegerParam(0, PARAM_BODY_KIND, c.bodyType);
    ASSERT_EQ(
        pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, "a=b caf\xE9", nullptr),
        0);
  }
  // Type 9 with its own type and transfer-encoding lines, and an empty text.
  pelStringParam(0, STRPARAM_BODY_TYPE_LINE, "Content-Type: text/plain; charset=utf-8");
  pelStringParam(0, STRPARAM_BODY_ENCODING_LINE, "Content-Transfer-Encoding: 8bit");
  ASSERT_EQ(pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> data = dataTexts(srv);
  ASSERT_EQ(data.size(), std::size(cases) + 1);
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].bodyType);
    EXPECT_EQ(data[i], headerStart() + from_ + multipartHeadings() + cases[i].textPart +
                           cases[i].text + closing());
  }
  EXPECT_EQ(data.back(), headerStart() + from_ + multipartHeadings() +
                             "Content-Type: text/plain; charset=utf-8\r\n"
                             "Content-Transfer-Encoding: 8bit\r\n\r\n" +
                             closing());
  EXPECT_TRUE(std::regex_match(boundary(), std::regex("=====_ *[0-9]{1,10}_====="))) << boundary();
  EXPECT_GE(boundary().size(), 19u);
}

TEST_F(MessageTest, AttachmentsFramingNamesAndCounters) {
  std::string bytes57, bytes58;
  for (int i = 0; i < 57; ++i) bytes57 += static_cast<char>(200 + i);
  bytes58 = bytes57 + "Z";
  writeFile(dir.file("empty.bin"), "");
  writeFile(dir.file("f57.bin"), bytes57);
  writeFile(dir.file("f58.bin"), bytes58);
  writeFile(dir.file("PIC.GIF"), "GIF89a");
  writeFile(dir.file("photo.jpeg"), "jpeg");
  const std::string d = dir.path();

  ScriptServer srv(join(join(join(greetingSteps(), messageSteps(1)), messageSteps(1)),
                        join(messageSteps(1), quitSteps())));
  ASSERT_EQ(connect(srv), 0);
  // Three in a row, text part type 0: a plain text in a multipart frame.
  const std::string list1 = d + "/empty.bin," + d + "/f57.bin," + d + "/f58.bin";
  ASSERT_EQ(pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, "Hello\nWorld\t",
                         list1.c_str()),
            0);
  EXPECT_EQ(pelStatistics(0, 10), 12);                 // text bytes read
  EXPECT_EQ(pelStatistics(0, 11), 57 + 58);            // attachment bytes read
  EXPECT_EQ(pelStatistics(0, 13), (5 + 2) + (6 + 2));  // text lines sent
  EXPECT_EQ(pelStatistics(0, 14), 78 + 78 + 6);        // base64 lines sent
  EXPECT_EQ(pelStatistics(0, 15), 15 + 162);
  // Image types, names after the name separator, an empty name.
  const std::string list2 =
      d + "/PIC.GIF," + d + "/photo.jpeg," + d + "/f57.bin|Report 2000.pdf," + d + "/f57.bin|";
  ASSERT_EQ(
      pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, nullptr, list2.c_str()), 0);
  pelIntegerParam(0, PARAM_IMAGE_TYPES, 0);
  const std::string list3 = d + "/PIC.GIF";
  ASSERT_EQ(
      pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, nullptr, list3.c_str()), 0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> data = dataTexts(srv);
  ASSERT_EQ(data.size(), 3u);
  // Each delimiter line is led in by a single CR LF.
  EXPECT_EQ(data[0], headerStart() + from_ + multipartHeadings() +
                         "Content-Type: text/plain\r\n\r\nHello\r\nWorld~\r\n" +
                         octetStream("empty.bin") + octetStream("f57.bin") + base64Of(bytes57) +
                         octetStream("f58.bin") + base64Of(bytes58) + closing());
  EXPECT_EQ(base64Of(bytes58).size(), 84u);
  EXPECT_EQ(data[1],
            headerStart() + from_ + multipartHeadings() + "Content-Type: text/plain\r\n\r\n" +
                partHeader("Content-type: Image/GIF", "PIC.GIF") + base64Of("GIF89a") +
                octetStream("photo.jpeg") + base64Of("jpeg") + octetStream("Report 2000.pdf") +
                base64Of(bytes57) + octetStream("") + base64Of(bytes57) + closing());
  EXPECT_EQ(data[2], headerStart() + from_ + multipartHeadings() +
                         "Content-Type: text/plain\r\n\r\n" + octetStream("PIC.GIF") +
                         base64Of("GIF89a") + closing());
}

TEST_F(MessageTest, AMissingAttachmentEndsTheMessageAfterItsLogLine) {
  writeFile(dir.file("f57.bin"), std::string(57, 'a'));
  const std::string missing = dir.file("no such file.bin");
  const std::string list = dir.file("f57.bin") + "," + missing + "|shown.bin";
  ScriptServer srv(join(
      greetingSteps(),
      {ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
       Send("354 go\r\n"), ReadUntil("Content-Disposition: attachment; filename=\"shown.bin\""),
       ReadLine(), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  openLog(0, dir.file("smtp.log"));
  EXPECT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, "x", list.c_str()),
            kErrCannotOpenFile);
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  ASSERT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received().find("\r\n.\r\n"), std::string::npos) << "no end of data";
  EXPECT_NE(srv.received().find("filename=\"shown.bin\""), std::string::npos);
  const std::string log = maskTicks(readFile(dir.file("smtp.log")));
  EXPECT_NE(log.find("<264:T>\r\nOpening attachment [" + missing +
                     "]\r\nERROR(T): SockCode=-1 PelCode=-35 PrevState=263 ThisState=264 "
                     "NextState=264\r\nCannot open file."),
            std::string::npos)
      << log;
}

// A message ended half-way leaves its attachment file open; the next message
// on the channel closes it before it starts.
TEST_F(MessageTest, AFileLeftOpenByAnAbortedMessageIsClosedByTheNextOne) {
  writeFile(dir.file("f.bin"), std::string(57 * 20, 'f'));
  const std::string list = dir.file("f.bin");
  ScriptServer srv(join(
      join(greetingSteps(),
           {ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
            Send("354 go\r\n"), ReadUntil("Content-Disposition: attachment; filename=\"f.bin\""),
            ReadLine(), ExpectClosed(), Accept()}),
      join(join(greetingSteps(), messageSteps(1)), quitSteps())));
  ASSERT_EQ(connect(srv), 0);
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  ASSERT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, nullptr, list.c_str()),
            0);
  const uint32_t end = plat::tickCount() + 5000;
  while (blockOf(0)->nextState != 265 && plat::tickCount() < end) ASSERT_GE(pelDriver(0), 0);
  ASSERT_EQ(blockOf(0)->nextState, 265);
  EXPECT_GT(blockOf(0)->fileHandle, 0);
  EXPECT_EQ(pelAbort(0), 1);
  EXPECT_GT(blockOf(0)->fileHandle, 0);
  ASSERT_EQ(connect(srv), 0);
  EXPECT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, "x", nullptr), 0);
  EXPECT_EQ(blockOf(0)->fileHandle, 0);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(MessageTest, CloseClosesAFileLeftOpenByAnAbortedMessage) {
  writeFile(dir.file("f.bin"), std::string(57 * 20, 'f'));
  const std::string list = dir.file("f.bin");
  ScriptServer srv(join(greetingSteps(),
                        {ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"),
                         ReadLine(), Send("354 go\r\n"),
                         ReadUntil("Content-Disposition: attachment; filename=\"f.bin\""),
                         ReadLine(), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0);
  ASSERT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, nullptr, list.c_str()),
            0);
  const uint32_t end = plat::tickCount() + 5000;
  while (blockOf(0)->nextState != 265 && plat::tickCount() < end) ASSERT_GE(pelDriver(0), 0);
  ASSERT_GT(blockOf(0)->fileHandle, 0);
  EXPECT_EQ(pelAbort(0), 1);
  // The connection is gone, so the QUIT fails; the file is closed all the same.
  EXPECT_EQ(pelClose(0), kErrSocketWrite);
  EXPECT_EQ(blockOf(0)->fileHandle, 0);
  ASSERT_TRUE(srv.waitDone());
}

TEST_F(MessageTest, TextFromAFileLargerThanTheReadAhead) {
  std::string text;
  std::string sent;
  for (int i = 0; i < 400; ++i) {
    std::string line = (i % 50 == 0 ? "." : "") + std::string("line ") + std::to_string(i);
    text += line + "\r\n";
    sent += (line[0] == '.' ? "." : "") + line + "\r\n";
  }
  ASSERT_GT(text.size(), 2048u);
  const std::string path = dir.file("body.txt");
  writeFile(path, text);
  const std::string message = "@" + path;
  const std::string missing = "@" + dir.file("absent.txt");
  ScriptServer srv(join(join(greetingSteps(), messageSteps(1)),
                        {ReadLine(), Send("250 ok\r\n"), ReadLine(), Send("250 ok\r\n"), ReadLine(),
                         Send("354 go\r\n"), ReadUntil(""), ExpectClosed()}));
  ASSERT_EQ(connect(srv), 0);
  openLog(0, dir.file("smtp.log"));
  ASSERT_EQ(
      pelSendEmail(0, "Bob <bob@rcpt.test>", nullptr, nullptr, nullptr, message.c_str(), nullptr),
      0);
  EXPECT_EQ(pelStatistics(0, 10), static_cast<int32_t>(text.size()));
  EXPECT_EQ(blockOf(0)->fileHandle, 0) << "the file is closed at its end";
  EXPECT_EQ(pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, nullptr, missing.c_str(), nullptr),
            kErrCannotOpenFile);
  ASSERT_TRUE(srv.waitDone());
  std::vector<std::string> data = dataTexts(srv);
  ASSERT_GE(data.size(), 1u);
  EXPECT_EQ(data[0], headerStart() + from_ + "\r\n" + sent + "\r\n.\r\n");
  const std::string log = readFile(dir.file("smtp.log"));
  EXPECT_NE(log.find("Opening message file [" + path + "]\r\n"), std::string::npos);
  EXPECT_NE(log.find("Opening message file [" + missing.substr(1) + "]\r\n"), std::string::npos);
}

}  // namespace
}  // namespace pel::test
