// Messages sent through a real SMTP server and checked with an independent
// MIME parser (tests/smtp/check_mime.py, Python's email package): headers,
// the quoted-printable text, and every attachment byte for byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/mail_servers.h"

namespace pel::test {
namespace {

std::string quoted(const std::string& text) { return "'" + text + "'"; }

// Runs the checker; returns its output, with `status` its exit status.
std::string runChecker(const std::string& arguments, const std::string& outputPath, int* status) {
  const std::string command = std::string("/usr/bin/python3 ") +
                              quoted(std::string(PEL32_SOURCE_DIR) + "/tests/smtp/check_mime.py") +
                              " " + arguments + " >" + quoted(outputPath) + " 2>&1";
  *status = std::system(command.c_str());
  return readFile(outputPath);
}

// A few hundred kilobytes holding every byte value: all 256 in order first,
// then a pattern that keeps cycling through them.
std::string binaryFile() {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  uint32_t x = 12345;
  while (bytes.size() < 300 * 1024 + 17) {
    x = x * 1103515245u + 12345u;
    bytes += static_cast<char>((x >> 16) & 0xFF);
  }
  return bytes;
}

// The text of the quoted-printable message: escapes, long lines with and
// without blanks, the period rule, lines that are or begin with a period.
std::string qpText() {
  std::string text =
      "Dear Bob,\n\nthe sum = 3 + 4, caf\xE9 cr\xE8me, a\ttab.\n.\n.starts with a period\n";
  for (int i = 0; i < 30; ++i) text += "word" + std::to_string(i) + " ";
  text += "end\n" + std::string(100, 'n') + "\n" + std::string(77, 's') + "\n" +
          std::string(77, 'p') + ".after the period\n" + std::string(76, 'e') + "=equals\n";
  text += "last line without a line end";
  return text;
}

std::string plainText() {
  std::string text;
  for (int i = 0; i < 300; ++i) {
    text += (i % 40 == 0 ? "." : "") + std::string("plain line ") + std::to_string(i) + "\n";
  }
  return text;
}

TEST(SmtpRealServer, MessagesArriveIntactAndParseWithAnIndependentParser) {
  const MailServers& servers = mailServers();
  clearMaildir();
  Attached lib{1};
  TempDir dir;
  const std::string binary = dir.file("binary.dat");
  const std::string empty = dir.file("empty.dat");
  const std::string f57 = dir.file("f57.dat");
  const std::string f58 = dir.file("f58.dat");
  writeFile(binary, binaryFile());
  writeFile(empty, "");
  writeFile(f57, binaryFile().substr(100, 57));
  writeFile(f58, binaryFile().substr(1000, 58));
  const std::string qpPath = dir.file("qp.txt");
  const std::string plainPath = dir.file("plain.txt");
  writeFile(qpPath, qpText());
  writeFile(plainPath, plainText());

  pelIntegerParam(0, PARAM_SMTP_SERVER_PORT, servers.smtpPort);
  ASSERT_EQ(
      pelSmtpConnect(0, "127.0.0.1", "Ann Sender <ann@sender.test>", "Desk <desk@sender.test>"), 0)
      << "the SMTP server on port " << servers.smtpPort << " did not take the connection";
  pelIntegerParam(0, PARAM_BODY_KIND, 1);
  const std::string attachments = binary + "|all bytes.bin," + empty + "," + f57 + "," + f58;
  const std::string text = qpText();
  ASSERT_EQ(pelSendEmail(0, "Bob <bob@rcpt.test>, <bob2@rcpt.test>", "<carol@rcpt.test>",
                         "<hidden@rcpt.test>", "Figures for Q3", text.c_str(), attachments.c_str()),
            0);
  EXPECT_EQ(pelStatistics(0, 11), static_cast<int32_t>(300 * 1024 + 17 + 57 + 58));
  pelIntegerParam(0, PARAM_BODY_KIND, 0);
  const std::string fromFile = "@" + plainPath;
  ASSERT_EQ(
      pelSendEmail(0, "<bob@rcpt.test>", nullptr, nullptr, "Plain", fromFile.c_str(), nullptr), 0);
  EXPECT_EQ(pelClose(0), 0);

  std::vector<std::string> messages = capturedMessages();
  ASSERT_EQ(messages.size(), 2u);
  writeFile(dir.file("m1.eml"), messages[0]);
  writeFile(dir.file("m2.eml"), messages[1]);

  int status = 0;
  std::string output = runChecker(
      quoted(dir.file("m1.eml")) + " --text " + quoted(qpPath) +
          " --header 'X-Mailer: Korvane Version 3.3'"
          " --header 'To: Bob <bob@rcpt.test>, <bob2@rcpt.test>'"
          " --header 'From: Ann Sender <ann@sender.test>'"
          " --header 'Reply-To: Desk <desk@sender.test>'"
          " --header 'Subject: Figures for Q3'"
          " --header 'CC: <carol@rcpt.test>'"
          " --absent Bcc --attach " +
          quoted("all bytes.bin=" + binary) + " --attach " + quoted("empty.dat=" + empty) +
          " --attach " + quoted("f57.dat=" + f57) + " --attach " + quoted("f58.dat=" + f58),
      dir.file("check1.txt"), &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(messages[0].find("hidden@"), std::string::npos);

  output = runChecker(quoted(dir.file("m2.eml")) + " --plain --text " + quoted(plainPath) +
                          " --header 'To: <bob@rcpt.test>' --header 'Subject: Plain'"
                          " --absent MIME-Version",
                      dir.file("check2.txt"), &status);
  EXPECT_EQ(status, 0) << output;
}

// The checker itself must see a difference: a message whose attachment and
// text were changed on the way fails it.
TEST(SmtpRealServer, TheCheckerRefusesAChangedMessage) {
  TempDir dir;
  writeFile(dir.file("file.bin"), "abc");
  writeFile(dir.file("text.txt"), "Hello\n");
  const std::string message =
      "To: <a@x.test>\r\nDate: Sat, 1 Jan 2000 0:00:09 +0500\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: text/plain\r\n"
      "Content-Transfer-Encoding: quoted-printable\r\n\r\nHullo\r\n\r\n--b\r\n"
      "Content-Type: application/octet-stream; name=\"file.bin\"\r\n"
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; "
      "filename=\"file.bin\"\r\n\r\nYWJk\r\n--b--\r\n";
  writeFile(dir.file("m.eml"), message);
  int status = 0;
  std::string output = runChecker(
      quoted(dir.file("m.eml")) + " --text " + quoted(dir.file("text.txt")) +
          " --header 'To: <a@x.test>' --attach " + quoted("file.bin=" + dir.file("file.bin")),
      dir.file("out.txt"), &status);
  EXPECT_NE(status, 0);
  EXPECT_NE(output.find("text differs"), std::string::npos) << output;
  EXPECT_NE(output.find("file.bin: 3 bytes decoded"), std::string::npos) << output;
}

}  // namespace
}  // namespace pel::test
