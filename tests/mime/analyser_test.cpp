// The incoming-message analyser: its routines driven directly over lines in
// `replyText`, and whole fixture messages fetched from a scripted POP3
// server into a message file and attachment files.
#include "mime/analyser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fixtures/fixture_messages.h"
#include "frame/params.h"
#include "frame/text.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

namespace pel::test {
namespace {

// ---- The routines over single lines --------------------------------------
// The channel has no socket here, so a join finds nothing to read: the line
// keeps its text and gets its CR LF.
class AnalyserLines : public ::testing::Test {
 protected:
  void SetUp() override {
    b = blockOf(0);
    openLog(0, dir.file("log.txt"));
    attachDir = dir.file("att");
    std::filesystem::create_directory(attachDir);
    copyText(b->attachDir, attachDir.c_str(), kTextMax);
    b->analyserState = kTopHeader;
  }
  void TearDown() override {
    if (b->fileHandle != 0) plat::fileClose(b->fileHandle);
    b->fileHandle = 0;
  }
  // Places a line as the retrieval does (at most 1023 characters).
  void put(const std::string& line) { copyText(b->replyText, line.c_str(), 1023); }
  int feed(const std::string& line) {
    put(line);
    return analyseLine(b);
  }
  std::string log() { return readFile(dir.file("log.txt")); }

  Attached attached{1};
  TempDir dir;
  std::string attachDir;
  ChannelBlock* b = nullptr;
};

TEST_F(AnalyserLines, BoundaryValues) {
  struct Row {
    const char* line;
    const char* boundary;  // null: nothing recorded
  };
  const Row rows[] = {
      {"Content-Type: multipart/mixed; boundary=\"abc\"\r\n", "--abc"},
      {"Content-Type: multipart/mixed; BOUNDARY=\"abc\"; x=1\r\n", "--abc"},
      {"Content-Type: multipart/mixed; boundary=plain-value\r\n", "--plain-value"},
      {"Content-Type: multipart/mixed; boundary=\"no-close\r\n", nullptr},
      {"Content-Type: multipart/mixed; boundary=\r\n", nullptr},
      {"Content-Type: multipart/mixed; boundary=\"", nullptr},
      {"Content-Type: text/plain\r\n", nullptr},
      {"X-Content-Type: multipart/mixed; boundary=\"abc\"\r\n", nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    b->analyserState = kMimeHeader;
    b->boundaryLength = 0;
    b->mimeBoundary[0] = 0;
    put(row.line);
    int recorded = defineBoundary(b);
    if (row.boundary == nullptr) {
      EXPECT_EQ(recorded, 0);
      EXPECT_EQ(b->boundaryLength, 0);
      EXPECT_EQ(b->analyserState, kMimeHeader);
    } else {
      EXPECT_EQ(recorded, 1);
      EXPECT_STREQ(b->mimeBoundary, row.boundary);
      EXPECT_EQ(b->boundaryLength, static_cast<int32_t>(strlen(row.boundary)));
      EXPECT_EQ(b->analyserState, kPreamble);
    }
  }
  EXPECT_NE(log().find("[MIME boundary defined 5 (--abc)]\r\n"), std::string::npos);
}

TEST_F(AnalyserLines, LongBoundaryIsCutTo126Characters) {
  const std::string value(300, 'q');
  put("Content-Type: multipart/mixed; boundary=\"" + value + "\"\r\n");
  ASSERT_EQ(defineBoundary(b), 1);
  EXPECT_EQ(b->boundaryLength, 128);
  EXPECT_EQ(std::string(b->mimeBoundary), "--" + value.substr(0, 126));
  // The line that holds the whole boundary still matches by its beginning.
  b->analyserState = kPartBody;
  put("--" + value + "\r\n");
  EXPECT_EQ(isBoundaryLine(b), 1);
}

TEST_F(AnalyserLines, BoundaryLinesMatchByBeginningIgnoringCase) {
  put("Content-Type: multipart/mixed; boundary=\"Part-X\"\r\n");
  ASSERT_EQ(defineBoundary(b), 1);
  put("Content-Type: multipart/alternative; boundary=\"alt\"\r\n");
  ASSERT_EQ(defineAltBoundary(b), 1);
  struct Row {
    const char* line;
    int match;
  };
  const Row rows[] = {
      {"--Part-X\r\n", 1}, {"--PART-x\r\n", 1}, {"--Part-X--\r\n", 1},
      {"--alt\r\n", 1},    {"--ALT--\r\n", 1},  {"--Part\r\n", 0},
      {"-Part-X\r\n", 0},  {"\r\n", 0},         {"text --Part-X", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    b->analyserState = kPartBody;
    b->partEncoding = kEncodingBase64;
    put(row.line);
    EXPECT_EQ(isBoundaryLine(b), row.match);
    if (row.match) {
      EXPECT_EQ(b->analyserState, kPartHeader);
      EXPECT_EQ(b->partEncoding, kEncodingNone);
      EXPECT_STREQ(b->attachName, "incoming.mai");
    }
  }
  // With no boundaries recorded nothing matches, not even an empty line.
  b->boundaryLength = 0;
  b->altBoundaryLength = 0;
  put("--Part-X\r\n");
  EXPECT_EQ(isBoundaryLine(b), 0);
}

TEST_F(AnalyserLines, NestedBoundaryMustBeQuoted) {
  b->analyserState = kPartHeader;
  EXPECT_EQ(feed("Content-Type: multipart/alternative; boundary=inner\r\n"), 0);
  EXPECT_EQ(b->altBoundaryLength, 0);
  EXPECT_EQ(feed("Content-Type: multipart/mixed; boundary=\"inner2\"\r\n"), 0);
  EXPECT_STREQ(b->altBoundary, "--inner2");
  EXPECT_EQ(b->altBoundaryLength, 8);
  EXPECT_EQ(b->analyserState, kPartHeader);
  EXPECT_NE(log().find("[Alternate MIME boundary defined 8 (--inner2)]\r\n"), std::string::npos);
}

TEST_F(AnalyserLines, TransferEncodingsAndDisposition) {
  struct Row {
    const char* line;
    int recognised;
    int32_t encoding;
  };
  const Row rows[] = {
      {"Content-Transfer-Encoding: base64\r\n", 1, kEncodingBase64},
      {"content-transfer-encoding: Quoted-Printable\r\n", 1, kEncodingQuoted},
      {"Content-Transfer-Encoding: 7bit\r\n", 1, kEncoding7Bit},
      {"Content-Transfer-Encoding: 8bit\r\n", 0, 99},
      {"Content-Transfer-Encoding:", 0, 99},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    b->partEncoding = 99;
    put(row.line);
    EXPECT_EQ(parseTransferEncoding(b), row.recognised);
    EXPECT_EQ(b->partEncoding, row.encoding);
  }
  put("Content-Disposition: inline\r\n");
  b->nestedHeader = 0;
  EXPECT_EQ(parseDisposition(b), 1);
  EXPECT_EQ(b->nestedHeader, 1);
  put("Content-Disposition: inline; filename=\"a.txt\"\r\n");
  b->nestedHeader = 0;
  EXPECT_EQ(parseDisposition(b), 1);
  EXPECT_EQ(b->nestedHeader, 0);
  put("Content-Disposition:");
  EXPECT_EQ(parseDisposition(b), 1);
  put("Content-Description: inline\r\n");
  EXPECT_EQ(parseDisposition(b), 0);
}

// Received names never leave the attachment directory, and a name that
// would be a directory becomes "noname".
TEST_F(AnalyserLines, FileNames) {
  const std::string longName(300, 'n');
  struct Row {
    std::string line;
    std::string name;  // empty: no name found
  };
  const std::vector<Row> rows = {
      {"Content-Type: text/plain; name=\"a.txt\"\r\n", "a.txt"},
      {"Content-Disposition: attachment; filename=\"b c.pdf\"\r\n", "b c.pdf"},
      {"Content-Type: text/plain; name=plain.txt; charset=us-ascii\r\n",
       "plain.txt; charset=us-ascii"},
      {"Content-Type: text/plain; name=\"C:\\dir\\x.txt\"\r\n", "x.txt"},
      {"Content-Type: text/plain; name=\"../../evil.txt\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"..\\..\\evil.txt\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"C:evil.txt\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"/etc/evil.txt\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"\\evil.txt\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=/evil.txt\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?=2E=2E=2F=2E=2E=2Fevil.txt?=\"\r\n",
       "evil.txt"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?=2E=2E=5C=2E=2E=5Cevil.txt?=\"\r\n",
       "evil.txt"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?b?Li4vLi4vZXZpbC50eHQ=?=\"\r\n", "evil.txt"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?R=E9sum=E9.txt?=\"\r\n",
       "R\xE9sum\xE9.txt"},
      {"Content-Type: text/plain; name=\"=?ISO-8859-1?B?Q2Fm6S50eHQ=?=\"\r\n", "Caf\xE9.txt"},
      // '/' is a base64 character: it does not cut a B-encoded name.
      {"Content-Type: text/plain; name=\"=?iso-8859-1?b?//5iLnR4dA==?=\"\r\n", "\xFF\xFE" "b.txt"},
      {"Content-Type: text/plain; name=\"..\"\r\n", "noname"},
      {"Content-Type: text/plain; name=\"../..\"\r\n", "noname"},
      {"Content-Type: text/plain; name=\".\"\r\n", "noname"},
      {"Content-Type: text/plain; name=\"dir/\"\r\n", "noname"},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?=2E=2E?=\"\r\n", "noname"},
      {"Content-Type: text/plain; name=\"" + longName + "\"\r\n", longName.substr(0, 128)},
      {"Content-Type: text/plain; name=\"=?iso-8859-1?q?" + longName + "?=\"\r\n",
       longName.substr(0, 128)},
      {"Content-Type: text/plain; name=\"unclosed\r\n", ""},
      {"Content-Type: text/plain; name=\"", ""},
      {"Content-Type: text/plain; name=", ""},
      {"Content-Type: text/plain; charset=us-ascii\r\n", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    copyText(b->attachName, "before", kTextMax);
    put(row.line);
    const std::string before = b->replyText;
    int found = parseFileName(b);
    EXPECT_EQ(found, row.name.empty() ? 0 : 1);
    EXPECT_EQ(std::string(b->attachName), row.name.empty() ? "before" : row.name);
    EXPECT_LE(strlen(b->attachName), 128u);
    if (found && before.find("=?") == std::string::npos) {
      // The line is left as received (a line end aside).
      EXPECT_EQ(std::string(b->replyText).substr(0, before.size() - 2),
                before.substr(0, before.size() - 2));
    }
  }
  EXPECT_NE(log().find("[Filename='evil.txt']\r\n"), std::string::npos);
  EXPECT_NE(log().find("[iso-8859]\r\n[r:Content-Type: text/plain; name=\"=?iso-8859-1?b?"),
            std::string::npos);
}

TEST_F(AnalyserLines, HostileNamesCreateFilesInsideTheDirectory) {
  b->analyserState = kPartHeader;
  feed("Content-Type: text/plain; name=\"../../evil.txt\"\r\n");
  ASSERT_NE(b->fileHandle, 0);
  EXPECT_EQ(std::string(b->attachPath), attachDir + "\\evil.txt");
  EXPECT_EQ(finishAttachment(b), 1);
  EXPECT_TRUE(fileExists(attachDir + "/evil.txt"));
  EXPECT_FALSE(fileExists(dir.path() + "/../evil.txt"));
  feed("Content-Type: text/plain; name=\"=?iso-8859-1?q?=2E=2E?=\"\r\n");
  EXPECT_EQ(finishAttachment(b), 1);
  EXPECT_TRUE(fileExists(attachDir + "/noname"));
}

TEST_F(AnalyserLines, AttachPathThatDoesNotFitIsRefused) {
  // 120 characters of directory, a separator, the prefix "1-" and a name of
  // six characters: 129 in all, one more than the field holds.
  ASSERT_LT(attachDir.size(), 100u);
  std::string longDir = attachDir + "/" + std::string(119 - attachDir.size(), 'd');
  ASSERT_EQ(longDir.size(), 120u);
  ASSERT_TRUE(std::filesystem::create_directory(longDir));
  copyText(b->attachDir, longDir.c_str(), kTextMax);
  b->numberAttachNames = 1;
  b->attachNumber = 0;
  copyText(b->attachName, "ab.txt", kTextMax);
  EXPECT_EQ(openAttachment(b), 0);
  EXPECT_EQ(b->fileHandle, 0);
  EXPECT_NE(log().find("[Cannot open '" + longDir + "\\1-ab.txt']\r\n"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(longDir));
  // One character less fits exactly.
  copyText(b->attachName, "a.txt", kTextMax);
  EXPECT_EQ(openAttachment(b), 1);
  EXPECT_EQ(textLength(b->attachPath), 128);
  EXPECT_TRUE(fileExists(longDir + "/1-a.txt"));
}

TEST_F(AnalyserLines, NumberPrefixAndSavedNames) {
  b->numberAttachNames = 1;
  b->attachNumber = 8;
  copyText(b->attachName, "report.pdf", kTextMax);
  char area[kTextField];
  formatAttachName(b, area, sizeof area);
  EXPECT_STREQ(area, "9-report.pdf");

  // The list stops taking names at 514 characters; the files are still
  // counted.
  b->numberAttachNames = 0;
  b->savedNames[0] = 0;
  b->attachmentsSaved = 0;
  const std::string name60(60, 'x');
  int listed = 0;
  for (int i = 0; i < 10; ++i) {
    copyText(b->attachName, (name60 + std::to_string(i)).c_str(), kTextMax);
    ASSERT_EQ(openAttachment(b), 1);
    ASSERT_EQ(finishAttachment(b), 1);
    if (i < 8) ++listed;
  }
  EXPECT_EQ(b->attachmentsSaved, 10);
  const std::string list = b->savedNames;
  EXPECT_EQ(list.size(), 8u * 61 + 7);
  EXPECT_EQ(std::count(list.begin(), list.end(), ','), listed - 1);
  EXPECT_EQ(list.substr(0, 62), name60 + "0,");

  // Integer parameter 25 chooses the separator; a long name is cut to 64.
  ASSERT_EQ(pelIntegerParam(0, PARAM_LIST_SEPARATOR, ';'), 1);
  b->savedNames[0] = 0;
  copyText(b->attachPath, "x\\a.txt", kTextMax);
  addSavedName(b);
  copyText(b->attachPath, ("x\\" + std::string(100, 'L')).c_str(), kTextMax);
  addSavedName(b);
  EXPECT_EQ(std::string(b->savedNames), "a.txt;" + std::string(64, 'L'));
  pelIntegerParam(0, PARAM_LIST_SEPARATOR, ',');
}

TEST_F(AnalyserLines, TidyAndJoinStayInsideTheLine) {
  char line[16];
  copyText(line, "ab \t\r\n", 15);
  tidyLineEnd(line, sizeof line);
  EXPECT_STREQ(line, "ab\r\n");
  copyText(line, "a \r\n", 15);
  tidyLineEnd(line, sizeof line);
  EXPECT_STREQ(line, "a \r\n");
  // A full area keeps its CR LF and terminator inside.
  std::memset(line, 'z', sizeof line);
  line[15] = 0;
  tidyLineEnd(line, sizeof line);
  EXPECT_EQ(std::string(line), std::string(13, 'z') + "\r\n");

  // A line too long to take another received line after it is not joined.
  std::string longLine = "Content-Type: text/plain;" + std::string(1100, 'p') + ";";
  copyText(b->replyText, longLine.c_str(), kLineArea - 1);
  EXPECT_EQ(joinContinuation(b, ';'), 0);
  EXPECT_EQ(std::string(b->replyText), longLine + "\r\n");
  // Without a socket a join gets nothing and the line keeps its text.
  put("Content-Type: text/plain;   \r\n");
  EXPECT_EQ(joinContinuation(b, ';'), 1);
  EXPECT_STREQ(b->replyText, "Content-Type: text/plain;\r\n");
  put("Content-Type: text/plain\r\n");
  EXPECT_EQ(joinContinuation(b, ';'), 0);
}

TEST_F(AnalyserLines, SubjectWordsBeforeAndAfterMimeVersion) {
  EXPECT_EQ(feed("Subject: =?iso-8859-1?q?Caf=E9?=\r\n"), 1);
  EXPECT_STREQ(b->replyText, "Subject: Caf\xE9\r\n");
  EXPECT_EQ(feed("From: =?iso-8859-1?b?QWxpY2U=?= <a@example.com>\r\n"), 1);
  EXPECT_STREQ(b->replyText, "From: QWxpY2U= <a@example.com>\r\n");
  EXPECT_EQ(feed("Subject: =?utf-8?q?Caf=C3=A9?=\r\n"), 1);
  EXPECT_STREQ(b->replyText, "Subject: =?utf-8?q?Caf=C3=A9?=\r\n");
  EXPECT_EQ(feed("MIME-Version: 1.0\r\n"), 1);
  EXPECT_EQ(b->analyserState, kMimeHeader);
  EXPECT_EQ(feed("Subject: =?iso-8859-1?q?Caf=E9?=\r\n"), 1);
  EXPECT_STREQ(b->replyText, "Subject: =?iso-8859-1?q?Caf=E9?=\r\n");
  EXPECT_NE(log().find("[ISO8859]\r\n"), std::string::npos);
  EXPECT_NE(log().find("[MIME version found]\r\n"), std::string::npos);
}

// Lines that are hostile in shape: the analyser reads and writes only inside
// the line (the sanitizer build runs this).
TEST_F(AnalyserLines, HostileShapes) {
  const std::string big(1023, 'A');
  copyText(b->attachName, "kept", kTextMax);
  for (int state = kTopHeader; state <= kPartBody; ++state) {
    SCOPED_TRACE(state);
    b->analyserState = state;
    b->partEncoding = kEncodingBase64;
    feed("Content-Type: multipart/mixed; boundary=\"" + big);
    b->analyserState = state;
    feed("Content-Type: text/plain; name=\"=?iso-8859-1?q?" + big);
    b->analyserState = state;
    feed("Content-Disposition: inline");
    b->analyserState = state;
    feed("Subject: =?iso-8859-1?q?=");
    b->analyserState = state;
    feed(big);
    b->analyserState = state;
    feed("=");
    b->analyserState = state;
    feed("");
  }
  // Unclosed quotes record neither a boundary nor a name.
  EXPECT_EQ(b->boundaryLength, 0);
  EXPECT_STREQ(b->attachName, "kept");
  EXPECT_EQ(b->fileHandle, 0);
  // A line with a NUL byte is a shorter text to the analyser.
  b->analyserState = kPartHeader;
  std::memcpy(b->replyText, "Content-Type: text/plain; name=\"a\0b.txt\"\r\n", 43);
  EXPECT_EQ(analyseLine(b), 0);
  EXPECT_EQ(b->fileHandle, 0);
}

// ---- Whole messages from a scripted POP3 server ------------------------------
class AnalyserMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    attachDir = dir.file("att");
    std::filesystem::create_directory(attachDir);
    ASSERT_EQ(pelIntegerParam(0, PARAM_POP3_DATA_LIMIT_MS, 2000), 1);
  }
  // Serves the answers to one "RETR" each, on one connection.
  void serve(const std::vector<std::string>& messages) {
    std::vector<Step> script;
    for (const std::string& m : messages) {
      script.push_back(ReadLine());
      script.push_back(Send(pop3Answer(m)));
    }
    script.push_back(Close());
    server = std::make_unique<ScriptServer>(script);
    openLog(0, dir.file("log.txt"));
    ASSERT_EQ(connectRaw(0, server->port(), 'P'), 0);
  }
  int32_t fetch(int32_t number, const std::string& name = "msg.eml") {
    return pelGetEmailFile(0, number, name.c_str(), dir.path().c_str(), attachDir.c_str());
  }
  std::string messageFile(const std::string& name = "msg.eml") { return readFile(dir.file(name)); }
  std::string saved(const std::string& name) { return readFile(attachDir + "/" + name); }
  std::string note(const std::string& name) {
    return "[Attachment saved to \"" + attachDir + "\\" + name + "\"]\r\n";
  }
  std::string log() { return readFile(dir.file("log.txt")); }
  std::string savedNames() {
    char names[600];
    pelDebug(0, 29, names, sizeof names);
    return names;
  }
  void TearDown() override { pelAbort(0); }

  Attached attached{1};
  TempDir dir;
  std::string attachDir;
  std::unique_ptr<ScriptServer> server;
};

TEST_F(AnalyserMessages, PlainMessageIsWrittenWhole) {
  const std::string message = fixtureMessage("plain.eml");
  serve({message});
  ASSERT_EQ(fetch(1), 0);
  std::string expected = message;
  // The two dot lines as they arrive, the status-like line dropped.
  expected.replace(expected.find("\r\n.\r\n..\r\n"), 9, "\r\n. \r\n...\r\n");
  size_t ok = expected.find("+OK, this");
  expected.erase(ok, expected.find("\r\n", ok) + 2 - ok);
  EXPECT_EQ(messageFile(), expected);
  EXPECT_NE(log().find("[Not doing MIME/2]\r\n"), std::string::npos);
  EXPECT_EQ(pelStatistics(0, 10), static_cast<int32_t>(pop3Answer(message).size() - 3));
  EXPECT_EQ(pelStatistics(0, 22), 0);
}

TEST_F(AnalyserMessages, MixedMessageSavesBothAttachments) {
  serve({fixtureMessage("mixed.eml")});
  ASSERT_EQ(fetch(1), 0);
  EXPECT_EQ(messageFile(),
            "From: Alice <alice@example.com>\r\n"
            "To: Bob <bob@example.com>\r\n"
            "Subject: Quarterly report\r\n"
            "Date: Mon, 7 Dec 2026 10:05:00 +0000\r\n"
            "MIME-Version: 1.0\r\n"
            "\r\n"
            "Dear Bob,\r\n"
            "the report is attached. Caf\xE9 at 10, 2+2=4.\r\n"
            "This sentence is long enough that it is wrapped with a soft line break.\r\n"
            "\r\n" +
                note("notes.txt") + note("report.pdf"));
  EXPECT_EQ(saved("notes.txt"), originalBytes("notes.txt"));
  EXPECT_EQ(saved("report.pdf"), originalBytes("report.pdf"));
  EXPECT_EQ(savedNames(), "notes.txt,report.pdf");
  EXPECT_EQ(pelStatistics(0, 22), 2);
  const std::string l = log();
  EXPECT_NE(l.find("[MIME boundary defined 19 (------=_Part_0_1234)]\r\n"), std::string::npos);
  EXPECT_NE(l.find("[Encoding is QUOTED]\r\n"), std::string::npos);
  EXPECT_NE(l.find("[Filename='report.pdf']\r\n"), std::string::npos);
  EXPECT_NE(l.find("[Creating '" + attachDir + "\\report.pdf']\r\n"), std::string::npos);
}

TEST_F(AnalyserMessages, NestedAlternativeAndForwardedMessage) {
  serve({fixtureMessage("alternative.eml"), fixtureMessage("forwarded.eml")});
  ASSERT_EQ(fetch(1, "alt.eml"), 0);
  EXPECT_EQ(messageFile("alt.eml"),
            "From: Carol <carol@example.com>\r\n"
            "To: Bob <bob@example.com>\r\n"
            "Subject: Newsletter\r\n"
            "MIME-Version: 1.0\r\n"
            "\r\n"
            "Plain text version.\r\n"
            "\r\n"
            "<p>HTML version.</p>\r\n"
            "\r\n" +
                note("logo.png"));
  EXPECT_EQ(saved("logo.png"), originalBytes("logo.png"));
  EXPECT_NE(log().find("[Alternate MIME boundary defined 16 (--inner-boundary)]\r\n"),
            std::string::npos);

  // The embedded message's header is read as the part's header, its body is
  // the part's body.
  ASSERT_EQ(fetch(2, "fwd.eml"), 0);
  EXPECT_EQ(messageFile("fwd.eml"),
            "From: Dave <dave@example.com>\r\n"
            "To: Bob <bob@example.com>\r\n"
            "Subject: Fwd: Quarterly report\r\n"
            "MIME-Version: 1.0\r\n"
            "\r\n"
            "See the message below.\r\n"
            "\r\n" +
                note("forwarded.txt"));
  EXPECT_EQ(saved("forwarded.txt"), "Text of the forwarded message.\r\n\r\n");
  EXPECT_EQ(savedNames(), "forwarded.txt");
}

TEST_F(AnalyserMessages, NamesQuotedUnquotedAndEncoded) {
  serve({fixtureMessage("names.eml")});
  ASSERT_EQ(fetch(1), 0);
  EXPECT_EQ(saved("plain.txt; charset=us-ascii"),
            "unquoted name that runs to the end of the line\r\n\r\n");
  EXPECT_EQ(saved("quoted.txt"), "quoted\r\n\r\n");
  EXPECT_EQ(saved("R\xE9sum\xE9.txt"), "q-encoded name\r\n\r\n");
  EXPECT_EQ(saved("Caf\xE9.txt"), "b-encoded name\r\n");
  EXPECT_EQ(savedNames(), "plain.txt; charset=us-ascii,quoted.txt,R\xE9sum\xE9.txt,Caf\xE9.txt");
  EXPECT_EQ(pelStatistics(0, 22), 4);
}

TEST_F(AnalyserMessages, MessageWithoutClosingBoundary) {
  serve({fixtureMessage("unclosed.eml")});
  ASSERT_EQ(fetch(1), 0);
  EXPECT_EQ(saved("notes.txt"), originalBytes("notes.txt"));
  const std::string file = messageFile();
  EXPECT_EQ(file.substr(file.size() - note("notes.txt").size()), note("notes.txt"));
  EXPECT_NE(log().find("[CLOSE]\r\n" + note("notes.txt")), std::string::npos);
}

TEST_F(AnalyserMessages, UnnamedSinglePartWithAndWithoutSaving) {
  const std::string message = fixtureMessage("singlepart.eml");
  serve({message, message});
  // The header lines after "MIME-Version: 1.0" other than Subject:, To: and
  // From: stay out of the message file.
  const std::string header =
      "From: Grace <grace@example.com>\r\nTo: Bob <bob@example.com>\r\nSubject: Logo\r\n"
      "MIME-Version: 1.0\r\n\r\n";
  const std::string body = message.substr(message.find("\r\n\r\n") + 4);
  ASSERT_EQ(fetch(1, "off.eml"), 0);
  // Not saved: the base64 text goes into the message file.
  EXPECT_EQ(messageFile("off.eml"), header + body);
  EXPECT_FALSE(fileExists(attachDir + "/noname"));
  ASSERT_EQ(pelIntegerParam(0, PARAM_SAVE_UNNAMED_PARTS, 1), 1);
  ASSERT_EQ(fetch(2, "on.eml"), 0);
  EXPECT_EQ(saved("noname"), originalBytes("logo.png"));
  EXPECT_EQ(messageFile("on.eml"), header + note("noname"));
  EXPECT_NE(log().find("[MIME w/o boundary]\r\n"), std::string::npos);
}

TEST_F(AnalyserMessages, UnnamedPartsOfAMultipartAreIncomingMai) {
  const std::string message = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"u\"\n"
      "\n"
      "--u\n"
      "Content-Transfer-Encoding: base64\n"
      "\n"
      "QUJD\n"
      "--u--\n");
  serve({message});
  ASSERT_EQ(pelIntegerParam(0, PARAM_SAVE_UNNAMED_PARTS, 1), 1);
  ASSERT_EQ(fetch(1), 0);
  EXPECT_EQ(saved("incoming.mai"), "ABC");
  EXPECT_EQ(messageFile(), "MIME-Version: 1.0\r\n\r\n" + note("incoming.mai"));
}

// The number prefix counts the files of the channel, across retrievals;
// integer parameter 21 keeps the notes out of the message file.
TEST_F(AnalyserMessages, NumberPrefixesContinueAndNotesCanBeLeftOut) {
  const std::string message = fixtureMessage("mixed.eml");
  serve({message, message});
  ASSERT_EQ(pelIntegerParam(0, PARAM_NUMBER_SAVED_NAMES, 1), 1);
  ASSERT_EQ(fetch(1, "one.eml"), 0);
  EXPECT_EQ(savedNames(), "1-notes.txt,2-report.pdf");
  ASSERT_EQ(pelIntegerParam(0, PARAM_NO_SAVED_NOTE, 1), 1);
  ASSERT_EQ(fetch(2, "two.eml"), 0);
  EXPECT_EQ(savedNames(), "3-notes.txt,4-report.pdf");
  EXPECT_EQ(pelStatistics(0, 22), 2);
  EXPECT_EQ(saved("4-report.pdf"), originalBytes("report.pdf"));
  EXPECT_NE(messageFile("one.eml").find(note("2-report.pdf")), std::string::npos);
  EXPECT_EQ(messageFile("two.eml").find("[Attachment saved"), std::string::npos);
  // The log has the note either way.
  EXPECT_NE(log().find(note("4-report.pdf")), std::string::npos);
  pelIntegerParam(0, PARAM_NO_SAVED_NOTE, 0);
}

TEST_F(AnalyserMessages, AttachmentDirectoryThatDoesNotExist) {
  const std::string message = fixtureMessage("unclosed.eml");
  serve({message});
  attachDir = dir.file("missing");
  ASSERT_EQ(fetch(1), 0);
  EXPECT_NE(log().find("[Cannot open '" + attachDir + "\\notes.txt']\r\n"), std::string::npos);
  // The encoded lines reach the message file; nothing is counted.
  const std::string encoded = message.substr(message.rfind("\r\n\r\n") + 4);
  const std::string file = messageFile();
  ASSERT_GT(file.size(), encoded.size());
  EXPECT_EQ(file.substr(file.size() - encoded.size()), encoded);
  EXPECT_EQ(pelStatistics(0, 22), 0);
  EXPECT_EQ(savedNames(), "");
}

// Header shapes whose blank line does not end the header, boundary lines in
// other letter case, and lines after the closing delimiter.
TEST_F(AnalyserMessages, HeaderShapes) {
  const std::string semicolon = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"s\"\n"
      "\n"
      "--s\n"
      "Content-Type: text/plain;\n"
      "\n"
      "taken as header\n"
      "\n"
      "body line\n"
      "--S--\n"
      "epilogue taken as header\n");
  const std::string inlinePart = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"i\"\n"
      "\n"
      "--i\n"
      "Content-Disposition: inline\n"
      "\n"
      "first body line taken as header\n"
      "\n"
      "second paragraph\n"
      "--i--\n");
  const std::string unquotedNested = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"o\"\n"
      "\n"
      "--o\n"
      "Content-Type: multipart/alternative; boundary=inner\n"
      "\n"
      "--inner\n"
      "Content-Type: text/plain\n"
      "\n"
      "inner text\n"
      "--o--\n");
  const std::string noBoundary = crlf(
      "From: a@example.com\n"
      "MIME-Version: 1.0\n"
      "Subject: kept\n"
      "Content-Type: text/plain\n"
      "To: b@example.com\n"
      "X-Other: dropped\n"
      "From: c@example.com\n"
      "\n"
      "body\n");
  serve({semicolon, inlinePart, unquotedNested, noBoundary});
  ASSERT_EQ(fetch(1, "1.eml"), 0);
  EXPECT_EQ(messageFile("1.eml"), "MIME-Version: 1.0\r\n\r\nbody line\r\n");
  ASSERT_EQ(fetch(2, "2.eml"), 0);
  EXPECT_EQ(messageFile("2.eml"), "MIME-Version: 1.0\r\n\r\nsecond paragraph\r\n");
  EXPECT_NE(log().find("[inline]\r\n"), std::string::npos);
  ASSERT_EQ(fetch(3, "3.eml"), 0);
  EXPECT_EQ(messageFile("3.eml"),
            "MIME-Version: 1.0\r\n\r\n--inner\r\nContent-Type: text/plain\r\n\r\ninner text\r\n");
  ASSERT_EQ(fetch(4, "4.eml"), 0);
  EXPECT_EQ(messageFile("4.eml"),
            "From: a@example.com\r\nMIME-Version: 1.0\r\nSubject: kept\r\nTo: b@example.com\r\n"
            "From: c@example.com\r\n\r\nbody\r\n");
  EXPECT_NE(log().find("[Not doing MIME]\r\n"), std::string::npos);
}

// Two names for one part; a name without a transfer encoding in a single
// part message.
TEST_F(AnalyserMessages, NamesThatOpenFilesEarly) {
  const std::string twoNames = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"t\"\n"
      "\n"
      "--t\n"
      "Content-Type: text/plain; name=\"first.txt\"\n"
      "Content-Disposition: attachment; filename=\"second.txt\"\n"
      "\n"
      "text\n"
      "--t--\n");
  const std::string namedSingle = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: text/plain; name=\"single.txt\"\n"
      "\n"
      "single body\n");
  serve({twoNames, namedSingle});
  ASSERT_EQ(fetch(1, "1.eml"), 0);
  EXPECT_EQ(saved("second.txt"), "text\r\n");
  EXPECT_TRUE(fileExists(attachDir + "/first.txt"));
  EXPECT_EQ(saved("first.txt"), "");
  EXPECT_EQ(savedNames(), "second.txt");
  ASSERT_EQ(fetch(2, "2.eml"), 0);
  EXPECT_EQ(saved("single.txt"), "");
  EXPECT_EQ(messageFile("2.eml"), "MIME-Version: 1.0\r\n\r\nsingle body\r\n" + note("single.txt"));
}

// The log of one short retrieval, byte for byte.
TEST_F(AnalyserMessages, LogOfARetrieval) {
  const std::string message = crlf(
      "MIME-Version: 1.0\n"
      "Content-Type: multipart/mixed; boundary=\"b\"\n"
      "\n"
      "--b\n"
      "Content-Type: text/plain; name=\"a.txt\"\n"
      "Content-Transfer-Encoding: base64\n"
      "\n"
      "QUJD\n"
      "--b--\n");
  serve({message});
  ASSERT_EQ(fetch(1), 0);
  const std::string path = dir.path() + "\\msg.eml";
  const std::string att = attachDir + "\\a.txt";
  const std::string log = maskTicks(this->log());
  const std::string expected =
      "*** pelGetEmailFile\r\n"
      "<310:T>\r\n"
      "Saving email to '" +
      path +
      "'\r\n"
      "S: RETR 1\r\n"
      "<312:T>\r\n"
      "R: +OK message follows\r\n\r\n"
      "[MIME version found]\r\n"
      "R: MIME-Version: 1.0\r\n\r\n"
      "[MIME boundary defined 3 (--b)]\r\n"
      "R: Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
      "R: \r\n\r\n"
      "[Boundary line found]\r\n"
      "R: --b\r\n\r\n"
      "[Looking for encoding]\r\n"
      "[Filename='a.txt']\r\n"
      "[AttachDir = '" +
      attachDir +
      "']\r\n"
      "[Filename = 'a.txt']\r\n"
      "[Creating '" +
      att +
      "']\r\n"
      "R: Content-Type: text/plain; name=\"a.txt\"\r\n\r\n"
      "[Looking for encoding]\r\n"
      "[Encoding is BASE64]\r\n"
      "R: Content-Transfer-Encoding: base64\r\n\r\n"
      "[Looking for encoding]\r\n"
      "R: \r\n\r\n"
      "[...decode...]\r\n"
      "R: QUJD\r\n\r\n"
      "[Boundary line found]\r\n"
      "[Attachment saved to \"" +
      att +
      "\"]\r\n"
      "R: --b--\r\n\r\n"
      "R: .\r\n\r\n"
      "<313:T>\r\n"
      "[CLOSE]\r\n";
  const size_t start = log.find("*** pelGetEmailFile");
  ASSERT_NE(start, std::string::npos);
  EXPECT_EQ(log.substr(start), expected);
}

}  // namespace
}  // namespace pel::test
