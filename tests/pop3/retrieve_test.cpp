// Retrieval into a buffer ("TOP") and into a file ("RETR") from a scripted
// POP3 server: the bytes on the wire, the buffer and file contents, the end
// of the answer, and the failures.
#include "pop3/retrieve.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "fixtures/fixture_messages.h"
#include "frame/errors.h"
#include "frame/params.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

namespace pel::test {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<Step> loginSteps() {
  return {Send("+OK POP3 ready\r\n"), ReadLine(), Send("+OK\r\n"), ReadLine(),
          Send("+OK logged in\r\n")};
}

std::vector<Step> join(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A short message whose lines hold the dot cases and a status-like line.
const char kDotsMessage[] =
    "Subject: dots\r\n"
    "\r\n"
    ".\r\n"
    "..\r\n"
    ".hidden\r\n"
    "+OK in the body\r\n"
    "end\r\n";

class Retrieve : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 1000), 1);
    openLog(0, dir.file("log.txt"));
  }
  void TearDown() override { globalParams = savedParams; }

  // Logs in to the server, whose script starts with the login.
  void login(const std::vector<Step>& after) {
    server = std::make_unique<ScriptServer>(join(loginSteps(), after));
    pelIntegerParam(0, PARAM_POP3_SERVER_PORT, server->port());
    ASSERT_EQ(pelPop3Connect(0, "127.0.0.1", "alice", "secret"), 0);
  }
  std::string log() { return readFile(dir.file("log.txt")); }

  GlobalParams savedParams = globalParams;
  Attached attached{2};
  TempDir dir;
  std::unique_ptr<ScriptServer> server;
};

TEST_F(Retrieve, TopIntoCallersBuffer) {
  const std::string answer = pop3Answer(kDotsMessage);
  login({ReadLine(), Send(answer), ReadLine(), Send("+OK bye\r\n"), Close()});
  char area[400];
  std::memset(area, '#', sizeof area);
  int32_t n = pelGetEmailLines(0, 3, -5, area, 300);
  // Everything but the closing line; the doubled dot of "." arrives as ". ",
  // that of ".." and ".hidden" stays; the "+OK" body line is kept.
  const std::string expected =
      "+OK message follows\r\nSubject: dots\r\n\r\n. \r\n...\r\n..hidden\r\n"
      "+OK in the body\r\nend\r\n";
  ASSERT_EQ(n, static_cast<int32_t>(expected.size()));
  EXPECT_EQ(std::string(area, n), expected);
  EXPECT_EQ(area[n], '#');
  EXPECT_EQ(pelStatistics(0, 19), n);
  EXPECT_EQ(pelStatistics(0, 10), n);
  EXPECT_NE(log().find("[Saving to buffer]\r\nS: TOP 3 0\r\n"), std::string::npos);
  EXPECT_EQ(pelClose(0), 0);
  ASSERT_TRUE(server->waitDone());
  EXPECT_EQ(server->reads()[2], "TOP 3 0\r\n");
  EXPECT_EQ(server->reads()[3], "QUIT\r\n");
}

TEST_F(Retrieve, BufferSizes) {
  std::string body;
  while (body.size() < 480) body += "0123456789012345678901234567890123456789\r\n";
  const std::string answer = pop3Answer(body);
  login({ReadLine(), Send(answer), ReadLine(), Send(answer), Close()});
  // A caller's buffer below 128 bytes is refused before anything is sent.
  char small[100];
  EXPECT_EQ(pelGetEmailLines(0, 1, 10, small, 100), kErrBufferSmall);
  EXPECT_EQ(pelGetEmailLines(0, 0, 10, small, 200), kErrNoSuchMessage);

  // 128 bytes of a 500-byte answer: exactly 128, no terminator added.
  char area[200];
  std::memset(area, '#', sizeof area);
  ASSERT_EQ(pelGetEmailLines(0, 1, 10, area, 128), 128);
  EXPECT_EQ(std::string(area, 128), answer.substr(0, 128));
  EXPECT_EQ(area[128], '#');
  EXPECT_EQ(pelStatistics(0, 10), static_cast<int32_t>(answer.size() - 3));

  // No buffer and a size of 100: the library's own buffer takes the answer.
  ASSERT_EQ(pelGetEmailLines(0, 2, 10, nullptr, 100), 100);
  char text[200];
  EXPECT_EQ(pelDebug(0, 40, text, sizeof text), 100);
  EXPECT_EQ(std::string(text), answer.substr(0, 100));
  ASSERT_TRUE(server->waitDone());
  EXPECT_EQ(server->reads()[2], "TOP 1 10\r\n");
}

TEST_F(Retrieve, RetrievalBufferIsMadeOnce) {
  const std::string answer = pop3Answer(kDotsMessage);
  login({ReadLine(), Send(answer), Close()});
  // A negative size without a buffer is refused like a small buffer.
  EXPECT_EQ(pelGetEmailLines(0, 1, 0, const_cast<char*>("*"), -1), kErrBufferSmall);
  char star[] = "*";
  int32_t n = pelGetEmailLines(0, 1, 0, star, 600);
  const std::string expected =
      "+OK message follows\r\nSubject: dots\r\n\r\n. \r\n...\r\n..hidden\r\n"
      "+OK in the body\r\nend\r\n";
  ASSERT_EQ(n, static_cast<int32_t>(expected.size()));
  char text[700];
  EXPECT_EQ(pelDebug(0, 40, text, sizeof text), n);
  EXPECT_EQ(std::string(text), expected);
  const std::string dump = dir.file("dump.txt");
  EXPECT_EQ(pelStringParam(0, STRPARAM_SAVE_RETRIEVAL, dump.c_str()), n);
  EXPECT_EQ(readFile(dump), expected);
  // The buffer stays until the channel's slots are freed.
  EXPECT_EQ(pelGetEmailLines(0, 1, 0, star, 600), kErrNoMemory);
  EXPECT_EQ(pelGetEmailLines(0, 1, 0, nullptr, 600), kErrNoMemory);
  ASSERT_TRUE(server->waitDone());
}

TEST_F(Retrieve, ArgumentChecks) {
  // Channel 1 has not logged in to a POP3 server.
  char area[200];
  EXPECT_EQ(pelGetEmailLines(1, 1, 0, area, 200), kErrPop3Only);
  EXPECT_EQ(pelGetEmailFile(1, 1, "a", "b", "c"), kErrPop3Only);
  EXPECT_EQ(pelGetEmailLines(5, 1, 0, area, 200), kErrChannelRange);
  ChannelBlock* b = blockOf(1);
  b->protocol = 'P';
  EXPECT_EQ(pelGetEmailFile(1, 0, "a", "b", "c"), kErrNoSuchMessage);
  EXPECT_EQ(pelGetEmailFile(1, 1, nullptr, "b", "c"), kErrNoFileName);
  EXPECT_EQ(pelGetEmailFile(1, 1, "a", nullptr, "c"), kErrNoEmailPath);
  EXPECT_EQ(pelGetEmailFile(1, 1, "a", "b", nullptr), kErrNoAttachPath);
  b->protocol = 0;
  EXPECT_EQ(pelRelease(), 1);
  EXPECT_EQ(pelGetEmailFile(0, 1, "a", "b", "c"), kErrNotAttached);
  EXPECT_EQ(pelAttach(2), 1);
}

TEST_F(Retrieve, MessageFilePath) {
  ChannelBlock* b = blockOf(1);
  struct Row {
    std::string dir, name, path;  // empty path: refused
  };
  const std::vector<Row> rows = {
      {"C:\\MAIL", "1.eml", "C:\\MAIL\\1.eml"},
      {"C:\\MAIL\\", "1.eml", "C:\\MAIL\\1.eml"},
      {"", "1.eml", "\\1.eml"},
      {"mail/", "1.eml", "mail/\\1.eml"},
      {"C:", "1.eml", "C:\\1.eml"},
      {std::string(120, 'd'), "1234567", std::string(120, 'd') + "\\1234567"},
      {std::string(120, 'd'), "12345678", ""},
      {std::string(126, 'd') + "\\", "x", std::string(126, 'd') + "\\x"},
      {std::string(128, 'd'), "", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.dir + " + " + row.name);
    copyText(b->emailDir, row.dir.c_str(), kTextMax);
    copyText(b->emailFileName, row.name.c_str(), kTextMax);
    copyText(b->emailPath, "untouched", kTextMax);
    EXPECT_EQ(buildEmailPath(b), row.path.empty() ? 0 : 1);
    EXPECT_EQ(std::string(b->emailPath), row.path.empty() ? "untouched" : row.path);
  }
}

TEST_F(Retrieve, FileOfAMessageWithDots) {
  login({ReadLine(), Send(pop3Answer(kDotsMessage)), Close()});
  const std::string name = "dots.eml";
  ASSERT_EQ(pelGetEmailFile(0, 2, name.c_str(), (dir.path() + "\\").c_str(), dir.path().c_str()),
            0);
  EXPECT_EQ(readFile(dir.file(name)), "Subject: dots\r\n\r\n. \r\n...\r\n..hidden\r\nend\r\n");
  EXPECT_NE(log().find("Saving email to '" + dir.path() + "\\" + name + "'\r\nS: RETR 2\r\n"),
            std::string::npos);
  EXPECT_EQ(blockOf(0)->saveFile, 0);
  ASSERT_TRUE(server->waitDone());
  EXPECT_EQ(server->reads()[2], "RETR 2\r\n");
}

TEST_F(Retrieve, MessageFileThatCannotBeCreated) {
  login({ExpectClosed()});
  EXPECT_EQ(pelGetEmailFile(0, 1, "1.eml", dir.file("missing").c_str(), dir.path().c_str()),
            kErrCannotCreate);
  ASSERT_TRUE(server->waitDone());
  // Nothing was sent after the login, and the socket is closed.
  EXPECT_EQ(server->reads().size(), 2u);
  EXPECT_EQ(blockOf(0)->socket, plat::kNoSocket);
  EXPECT_EQ(blockOf(0)->saveFile, 0);
  EXPECT_NE(log().find("PelCode=-67"), std::string::npos);
}

// A refused message: the '-ERR' line goes into the file, the retrieval times
// out, and the open file is closed by pelClose.
TEST_F(Retrieve, RefusedMessageTimesOut) {
  login({ReadLine(), Send("-ERR no such message\r\n"), ExpectClosed()});
  ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 200), 1);
  ASSERT_EQ(pelIntegerParam(0, PARAM_REPLY_LIMIT_MS, 800), 1);
  const auto start = Clock::now();
  EXPECT_EQ(pelGetEmailFile(0, 9, "refused.eml", dir.path().c_str(), dir.path().c_str()),
            kErrTimedOut);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(700));
  EXPECT_NE(blockOf(0)->saveFile, 0);
  EXPECT_EQ(readFile(dir.file("refused.eml")), "-ERR no such message\r\n");
  pelClose(0);
  EXPECT_EQ(blockOf(0)->saveFile, 0);
  ASSERT_TRUE(server->waitDone());
}

// The server closes the connection in the middle of an attachment: the
// retrieval ends normally, and the attachment is finished with what came.
TEST_F(Retrieve, ConnectionClosingMidMessage) {
  const std::string message = fixtureMessage("mixed.eml");
  const std::string cut = message.substr(0, message.find("Content-Type: application/pdf"));
  login({ReadLine(), Send("+OK\r\n" + cut), Close()});
  std::filesystem::create_directory(dir.file("att"));
  EXPECT_EQ(pelGetEmailFile(0, 1, "cut.eml", dir.path().c_str(), dir.file("att").c_str()), 0);
  EXPECT_EQ(readFile(dir.file("att/notes.txt")), originalBytes("notes.txt"));
  EXPECT_EQ(pelStatistics(0, 22), 1);
  const std::string file = readFile(dir.file("cut.eml"));
  EXPECT_EQ(file.substr(0, 33), "From: Alice <alice@example.com>\r\n");
  EXPECT_NE(file.find("[Attachment saved to \"" + dir.file("att") + "\\notes.txt\"]\r\n"),
            std::string::npos);
  ASSERT_TRUE(server->waitDone());
}

// A retrieval that fails in the middle of an attachment leaves both files
// open; pelClose finishes the attachment and closes the message file.
TEST_F(Retrieve, CloseFinishesAnUnfinishedRetrieval) {
  const std::string message = fixtureMessage("unclosed.eml");
  login({ReadLine(), Send("+OK\r\n" + message), ExpectClosed()});
  ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 200), 1);
  ASSERT_EQ(pelIntegerParam(0, PARAM_REPLY_LIMIT_MS, 600), 1);
  std::filesystem::create_directory(dir.file("att"));
  EXPECT_EQ(pelGetEmailFile(0, 1, "open.eml", dir.path().c_str(), dir.file("att").c_str()),
            kErrTimedOut);
  ChannelBlock* b = blockOf(0);
  EXPECT_NE(b->fileHandle, 0);
  EXPECT_NE(b->saveFile, 0);
  EXPECT_EQ(pelStatistics(0, 22), 0);
  pelClose(0);
  EXPECT_EQ(b->fileHandle, 0);
  EXPECT_EQ(b->saveFile, 0);
  EXPECT_EQ(pelStatistics(0, 22), 1);
  EXPECT_EQ(readFile(dir.file("att/notes.txt")), originalBytes("notes.txt"));
  const std::string file = readFile(dir.file("open.eml"));
  const std::string note = "[Attachment saved to \"" + dir.file("att") + "\\notes.txt\"]\r\n";
  ASSERT_GE(file.size(), note.size());
  EXPECT_EQ(file.substr(file.size() - note.size()), note);
  ASSERT_TRUE(server->waitDone());
}

// A new retrieval after a failed one first finishes what the failed one left
// open, instead of dropping the open files' handles.
TEST_F(Retrieve, NextRetrievalFinishesAnUnfinishedOne) {
  const std::string message = fixtureMessage("unclosed.eml");
  login({ReadLine(), Send("+OK\r\n" + message), ExpectClosed()});
  ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 200), 1);
  ASSERT_EQ(pelIntegerParam(0, PARAM_REPLY_LIMIT_MS, 600), 1);
  std::filesystem::create_directory(dir.file("att"));
  EXPECT_EQ(pelGetEmailFile(0, 1, "open.eml", dir.path().c_str(), dir.file("att").c_str()),
            kErrTimedOut);
  ASSERT_TRUE(server->waitDone());
  // The connection is gone, so the next retrieval fails to send RETR.
  EXPECT_EQ(pelGetEmailFile(0, 2, "next.eml", dir.path().c_str(), dir.file("att").c_str()),
            kErrSocketRead);
  EXPECT_EQ(blockOf(0)->fileHandle, 0);
  EXPECT_EQ(readFile(dir.file("att/notes.txt")), originalBytes("notes.txt"));
  const std::string file = readFile(dir.file("open.eml"));
  const std::string note = "[Attachment saved to \"" + dir.file("att") + "\\notes.txt\"]\r\n";
  ASSERT_GE(file.size(), note.size());
  EXPECT_EQ(file.substr(file.size() - note.size()), note);
  EXPECT_TRUE(fileExists(dir.file("next.eml")));
  pelClose(0);
}

// With auto-drive off the operation only arms the channel; the application
// drives it and reads the count from statistic 19.
TEST_F(Retrieve, DrivenByTheApplication) {
  const std::string answer = pop3Answer(kDotsMessage);
  login({ReadLine(), Send(answer), Close()});
  ASSERT_EQ(pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 0), 1);
  char area[300];
  EXPECT_EQ(pelGetEmailLines(0, 1, 2, area, sizeof area), 0);
  EXPECT_EQ(driveUntilDone(0), 0);
  EXPECT_EQ(pelStatistics(0, 19), static_cast<int32_t>(answer.size() - 3));
  ASSERT_TRUE(server->waitDone());
  EXPECT_EQ(server->reads()[2], "TOP 1 2\r\n");
}

// Hostile shapes through the whole retrieval (the sanitizer build runs
// this): a header continuing on 20 long lines, a line of 5000 characters,
// NUL bytes in a line, a boundary and a file name of 300 characters.
TEST_F(Retrieve, HostileMessages) {
  std::string folded = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed;\r\n";
  for (int i = 0; i < 20; ++i)
    folded += " p" + std::to_string(i) + "=" + std::string(990, 'v') + ";\r\n";
  folded += " boundary=\"never-seen\"\r\n\r\n";
  const std::string longLine(5000, 'L');
  folded += longLine + "\r\n";
  folded += std::string("ab\0cd\r\n", 7);
  folded += "end\r\n";

  const std::string boundary(300, 'b');
  const std::string name(300, 'n');
  std::string parts = "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                      "\"\r\n\r\n--" + boundary + "\r\n" + "Content-Type: text/plain; name=\"" +
                      name + "\"\r\n" + "Content-Transfer-Encoding: base64\r\n\r\nQUJD\r\n--" +
                      boundary + "\r\nContent-Type: text/plain; name=\"=?iso-8859-1?q?" + name +
                      "?=\"\r\n\r\nx\r\n--" + boundary + "--\r\n";
  login({ReadLine(), Send(pop3Answer(folded)), ReadLine(), Send(pop3Answer(parts)), Close()});
  const std::string att = dir.file("att");
  std::filesystem::create_directory(att);

  ASSERT_EQ(pelGetEmailFile(0, 1, "folded.eml", dir.path().c_str(), att.c_str()), 0);
  const std::string file = readFile(dir.file("folded.eml"));
  // The boundary was never found: the analysis stopped at the blank line and
  // the body came through whole, the NUL line up to its NUL.
  EXPECT_EQ(file, "MIME-Version: 1.0\r\n\r\n" + longLine + "\r\nabend\r\n");
  EXPECT_NE(log().find("[Not doing MIME]\r\n"), std::string::npos);

  // The long name is cut to 128 characters, and the path with it does not
  // fit: no file is created, and the part goes into the message file.
  ASSERT_EQ(pelGetEmailFile(0, 2, "parts.eml", dir.path().c_str(), att.c_str()), 0);
  EXPECT_TRUE(std::filesystem::is_empty(att));
  EXPECT_NE(log().find("[MIME boundary defined 128 (--" + boundary.substr(0, 126) + ")]\r\n"),
            std::string::npos);
  EXPECT_NE(log().find("[Filename='" + name.substr(0, 128) + "']\r\n"), std::string::npos);
  EXPECT_NE(log().find("[Cannot open '" + att + "\\" + name.substr(0, 128) + "']\r\n"),
            std::string::npos);
  EXPECT_EQ(readFile(dir.file("parts.eml")), "MIME-Version: 1.0\r\n\r\nQUJD\r\nx\r\n");
  EXPECT_EQ(pelStatistics(0, 22), 0);
  ASSERT_TRUE(server->waitDone());
}

}  // namespace
}  // namespace pel::test
