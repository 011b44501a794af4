// Retrieval from a real POP3 server: fixture messages placed in its Maildir
// are read with "TOP" and fetched into files, and a message with attachments
// sent through the real SMTP server comes back with every attachment
// byte-identical.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "fixtures/fixture_messages.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/mail_servers.h"

namespace pel::test {
namespace {

std::string debugText(int32_t chan, int32_t code) {
  char text[600] = {0};
  pelDebug(chan, code, text, sizeof text);
  return text;
}

// The "Subject:" line of a header text, without its line end.
std::string subjectOf(const std::string& header) {
  size_t at = header.find("\r\nSubject: ");
  if (at == std::string::npos) return "";
  at += 11;
  return header.substr(at, header.find("\r\n", at) - at);
}

class RetrieveRealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    servers = &mailServers();
    clearMaildir();
    attachDir = dir.file("att");
    std::filesystem::create_directory(attachDir);
    ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 3000), 1);
  }
  int32_t pop3Login(int32_t chan) {
    pelIntegerParam(chan, PARAM_POP3_SERVER_PORT, servers->pop3Port);
    return pelPop3Connect(chan, "127.0.0.1", servers->user.c_str(), servers->password.c_str());
  }
  std::string saved(const std::string& name) { return readFile(attachDir + "/" + name); }

  const MailServers* servers = nullptr;
  Attached attached{2};
  TempDir dir;
  std::string attachDir;
};

TEST_F(RetrieveRealServer, FixturesFromTheMaildir) {
  // The Maildir holds messages with bare line feeds; the server sends them
  // with CR LF.
  putMessage("1.mixed", readFile(fixturePath("mixed.eml")));
  putMessage("2.alternative", readFile(fixturePath("alternative.eml")));
  putMessage("3.names", readFile(fixturePath("names.eml")));
  openLog(0, dir.file("log.txt"));
  ASSERT_EQ(pop3Login(0), 0);
  ASSERT_EQ(pelGetEmailCount(0), 3);

  // The server chooses the order: the headers tell the messages apart.
  std::map<std::string, int32_t> number;
  for (int32_t n = 1; n <= 3; ++n) {
    char header[2000];
    int32_t length = pelGetEmailLines(0, n, 0, header, sizeof header);
    ASSERT_GT(length, 0);
    const std::string text(header, length);
    EXPECT_EQ(text.substr(0, 3), "+OK");
    // "TOP n 0" gives the header and the blank line after it, nothing more.
    EXPECT_EQ(text.substr(text.size() - 4), "\r\n\r\n");
    number[subjectOf(text)] = n;
  }
  ASSERT_EQ(number.size(), 3u);

  ASSERT_EQ(pelGetEmailFile(0, number["Quarterly report"], "mixed.eml", dir.path().c_str(),
                            attachDir.c_str()),
            0);
  EXPECT_EQ(saved("notes.txt"), originalBytes("notes.txt"));
  EXPECT_EQ(saved("report.pdf"), originalBytes("report.pdf"));
  EXPECT_EQ(debugText(0, 29), "notes.txt,report.pdf");
  EXPECT_EQ(pelStatistics(0, 22), 2);
  const std::string file = readFile(dir.file("mixed.eml"));
  EXPECT_NE(file.find("the report is attached. Caf\xE9 at 10, 2+2=4.\r\n"), std::string::npos);

  ASSERT_EQ(
      pelGetEmailFile(0, number["Newsletter"], "alt.eml", dir.path().c_str(), attachDir.c_str()),
      0);
  EXPECT_EQ(saved("logo.png"), originalBytes("logo.png"));
  EXPECT_EQ(debugText(0, 29), "logo.png");

  ASSERT_EQ(pelGetEmailFile(0, number["Names"], "names.eml", dir.path().c_str(), attachDir.c_str()),
            0);
  EXPECT_EQ(saved("Caf\xE9.txt"), "b-encoded name\r\n");
  EXPECT_EQ(saved("R\xE9sum\xE9.txt"), "q-encoded name\r\n\r\n");
  EXPECT_EQ(pelStatistics(0, 22), 4);
  EXPECT_EQ(pelClose(0), 0);
}

// The round trip: sent with three attachments through the SMTP server,
// fetched from the POP3 server that serves the same Maildir.
TEST_F(RetrieveRealServer, SendThenFetch) {
  const std::string files = fixturePath("originals/notes.txt") + "," +
                            fixturePath("originals/report.pdf") + "," +
                            fixturePath("originals/logo.png");
  openLog(0, dir.file("smtp-log.txt"));
  pelIntegerParam(0, PARAM_SMTP_SERVER_PORT, servers->smtpPort);
  ASSERT_EQ(pelSmtpConnect(0, "127.0.0.1", "<alice@example.com>", nullptr), 0);
  ASSERT_EQ(pelSendEmail(0, "<pel@localhost>", nullptr, nullptr, "Round trip",
                         "Three files are attached.", files.c_str()),
            0);
  EXPECT_EQ(pelClose(0), 0);

  openLog(1, dir.file("pop3-log.txt"));
  ASSERT_EQ(pop3Login(1), 0);
  ASSERT_EQ(pelGetEmailCount(1), 1);
  ASSERT_EQ(pelGetEmailFile(1, 1, "trip.eml", dir.path().c_str(), attachDir.c_str()), 0);
  EXPECT_EQ(saved("notes.txt"), originalBytes("notes.txt"));
  EXPECT_EQ(saved("report.pdf"), originalBytes("report.pdf"));
  EXPECT_EQ(saved("logo.png"), originalBytes("logo.png"));
  EXPECT_EQ(debugText(1, 29), "notes.txt,report.pdf,logo.png");
  EXPECT_EQ(pelStatistics(1, 22), 3);
  EXPECT_NE(readFile(dir.file("trip.eml")).find("Three files are attached."), std::string::npos);
  EXPECT_EQ(pelClose(1), 0);
}

}  // namespace
}  // namespace pel::test
