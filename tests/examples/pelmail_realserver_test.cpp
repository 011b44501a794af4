// End-to-end tests of the pelmail tool: the built binary, run as a user runs
// it, against the real SMTP and POP3 servers on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/mail_servers.h"

namespace pel::test {
namespace {

namespace fs = std::filesystem;

// pelmail is built next to the shared library, in the top build directory.
std::string pelmailPath() {
  return (fs::path(PEL32_LIBRARY_PATH).parent_path() / "pelmail").string();
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct ToolRun {
  int status = -1;
  std::string out, err;
};

// Runs pelmail with the arguments; a run that takes longer than a minute is
// killed, so a hanging tool fails the test instead of stalling the suite.
ToolRun pelmail(const std::vector<std::string>& args, const TempDir& scratch) {
  std::string command = "timeout 60 " + quoted(pelmailPath());
  for (const std::string& a : args) command += " " + quoted(a);
  command += " >" + quoted(scratch.file("stdout")) + " 2>" + quoted(scratch.file("stderr"));
  int raw = std::system(command.c_str());
  ToolRun run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  run.out = readFile(scratch.file("stdout"));
  run.err = readFile(scratch.file("stderr"));
  return run;
}

std::string describe(const ToolRun& run) {
  return "exit " + std::to_string(run.status) + "\n--- stdout\n" + run.out + "--- stderr\n" +
         run.err;
}

std::string server(int port) { return "127.0.0.1:" + std::to_string(port); }

// A few hundred kilobytes holding every byte value, in an order that is not
// a plain repetition.
std::string binaryBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x = x * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(i < 256 ? i : (x >> 24));
  }
  return bytes;
}

// A loopback port on which nothing listens: bound once and released.
int closedPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

class PelmailRealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs::exists(pelmailPath())) << pelmailPath();
    servers_ = &mailServers();
    clearMaildir();
    ASSERT_FALSE(dir_.path().empty());
  }

  // Sends one message with a text and the given attachments; the attachment
  // files are made in the scratch directory under their names.
  void sendWithAttachments(const std::string& subject,
                           const std::map<std::string, std::string>& files) {
    std::string list;
    for (const auto& [name, bytes] : files) {
      writeFile(dir_.file(name), bytes);
      if (!list.empty()) list += ",";
      list += dir_.file(name);
    }
    ToolRun run =
        pelmail({"send", "--server", server(servers_->smtpPort), "--from",
                 "Sender <sender@example.org>", "--to", "Reader <reader@example.org>", "--subject",
                 subject, "--text", "Hello,\nthe files are attached.\n", "--attach", list},
                dir_);
    ASSERT_EQ(run.status, 0) << describe(run);
  }

  ToolRun pop3(const std::string& command, std::vector<std::string> more) {
    std::vector<std::string> args = {command,           "--server",     server(servers_->pop3Port),
                                     "--user",          servers_->user, "--password",
                                     servers_->password};
    args.insert(args.end(), more.begin(), more.end());
    return pelmail(args, dir_);
  }

  const MailServers* servers_ = nullptr;
  TempDir dir_;
};

TEST_F(PelmailRealServer, SendDeliversTextAndBothAttachments) {
  std::string data = binaryBytes(300000, 1);
  sendWithAttachments("pelmail send test", {{"data.bin", data}, {"notes.txt", "one\r\ntwo\r\n"}});

  std::vector<std::string> got = capturedMessages();
  ASSERT_EQ(got.size(), 1u);
  const std::string& message = got[0];
  EXPECT_NE(message.find("Subject: pelmail send test\r\n"), std::string::npos);
  EXPECT_NE(message.find("To: Reader <reader@example.org>\r\n"), std::string::npos);
  EXPECT_NE(message.find("filename=\"data.bin\""), std::string::npos);
  EXPECT_NE(message.find("filename=\"notes.txt\""), std::string::npos);
  EXPECT_NE(message.find("the files are attached."), std::string::npos);
  // 300000 bytes in base64 lines of 76 characters and CR LF.
  size_t lines = (data.size() + 56) / 57;
  EXPECT_GT(message.size(), lines * 78);
}

TEST_F(PelmailRealServer, ListPrintsCountSizesAndUniqueIds) {
  std::string first = "Subject: one\r\n\r\nfirst body\r\n";
  std::string second = "Subject: two\r\n\r\nthe second body is longer\r\n";
  putMessage("1000000001.M1P1.test", first);
  putMessage("1000000002.M1P1.test", second);

  ToolRun run = pop3("list", {});
  ASSERT_EQ(run.status, 0) << describe(run);
  std::vector<std::string> out = lines(run.out);
  ASSERT_EQ(out.size(), 3u) << run.out;
  EXPECT_EQ(out[0], "2 messages");
  std::map<int, std::string> uidBySize;
  for (int i = 1; i <= 2; ++i) {
    std::istringstream fields(out[i]);
    int number = 0, size = 0;
    std::string uid, rest;
    fields >> number >> size >> uid;
    EXPECT_EQ(number, i) << out[i];
    EXPECT_FALSE(uid.empty() || uid == "-") << out[i];
    EXPECT_FALSE(fields >> rest) << out[i];
    uidBySize[size] = uid;
  }
  ASSERT_EQ(uidBySize.size(), 2u) << run.out;
  EXPECT_EQ(uidBySize.count(static_cast<int>(first.size())), 1u) << run.out;
  EXPECT_EQ(uidBySize.count(static_cast<int>(second.size())), 1u) << run.out;
  EXPECT_NE(uidBySize.begin()->second, uidBySize.rbegin()->second);
}

TEST_F(PelmailRealServer, FetchInParallelSavesEveryMessageAndItsAttachments) {
  std::map<std::string, std::string> originals;
  for (int m = 1; m <= 3; ++m) {
    std::string tag = std::to_string(m);
    std::map<std::string, std::string> files = {
        {"part" + tag + ".bin", binaryBytes(50000 + 1000 * m, m)},
        {"text" + tag + ".txt", "attachment " + tag + "\r\n"}};
    sendWithAttachments("parallel " + tag, files);
    originals.insert(files.begin(), files.end());
  }

  std::string out = dir_.file("mail");
  ToolRun run = pop3("fetch", {"--dir", out, "--parallel", "2"});
  ASSERT_EQ(run.status, 0) << describe(run);
  EXPECT_NE(run.out.find("fetched 3 messages"), std::string::npos) << run.out;

  // Each message in DIR/N.eml, its attachments under DIR/N/, each saved
  // file named in the output.
  std::map<std::string, std::string> saved;
  for (int n = 1; n <= 3; ++n) {
    std::string message = readFile(out + "/" + std::to_string(n) + ".eml");
    EXPECT_NE(message.find("Subject: parallel "), std::string::npos) << n;
    fs::path attachments = fs::path(out) / std::to_string(n);
    ASSERT_TRUE(fs::is_directory(attachments)) << attachments;
    for (const auto& entry : fs::directory_iterator(attachments)) {
      std::string name = entry.path().filename().string();
      EXPECT_NE(run.out.find("attachment: " + entry.path().string()), std::string::npos) << name;
      saved[name] = readFile(entry.path().string());
    }
  }
  ASSERT_EQ(saved.size(), originals.size()) << run.out;
  for (const auto& [name, bytes] : originals) {
    ASSERT_EQ(saved.count(name), 1u) << name;
    EXPECT_TRUE(saved[name] == bytes) << name << " differs";
  }
}

TEST_F(PelmailRealServer, FetchWithDeleteEmptiesTheMailbox) {
  putMessage("1000000001.M1P1.test", "Subject: a\r\n\r\nbody a\r\n");
  putMessage("1000000002.M1P1.test", "Subject: b\r\n\r\nbody b\r\n");

  ToolRun fetch = pop3("fetch", {"--dir", dir_.file("mail"), "--delete", "--parallel", "2"});
  ASSERT_EQ(fetch.status, 0) << describe(fetch);
  EXPECT_NE(readFile(dir_.file("mail/1.eml")).find("body "), std::string::npos);
  EXPECT_NE(readFile(dir_.file("mail/2.eml")).find("body "), std::string::npos);

  ToolRun list = pop3("list", {});
  ASSERT_EQ(list.status, 0) << describe(list);
  EXPECT_EQ(list.out, "0 messages\n");
}

TEST_F(PelmailRealServer, WrongPasswordExitsWithTheServersRefusal) {
  putMessage("1000000001.M1P1.test", "Subject: a\r\n\r\nbody\r\n");
  ToolRun run = pelmail({"list", "--server", server(servers_->pop3Port), "--user", servers_->user,
                         "--password", servers_->password + "-wrong"},
                        dir_);
  EXPECT_EQ(run.status, 1) << describe(run);
  EXPECT_EQ(run.out, "");
  // The library's text for -63 carries the server's line.
  EXPECT_NE(run.err.find("POP3 returned error. -ERR"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("(-63)"), std::string::npos) << run.err;

  ToolRun fetch = pelmail({"fetch", "--server", server(servers_->pop3Port), "--user",
                           servers_->user, "--password", "nope", "--dir", dir_.file("mail")},
                          dir_);
  EXPECT_EQ(fetch.status, 1) << describe(fetch);
  EXPECT_NE(fetch.err.find("(-63)"), std::string::npos) << fetch.err;
  EXPECT_FALSE(fileExists(dir_.file("mail/1.eml")));
}

TEST_F(PelmailRealServer, ServerThatIsNotRunningIsReported) {
  int port = closedPort();
  ToolRun send = pelmail({"send", "--server", server(port), "--from", "<a@example.org>", "--to",
                          "<b@example.org>", "--text", "x"},
                         dir_);
  EXPECT_EQ(send.status, 1) << describe(send);
  EXPECT_NE(send.err.find("Error attempting to connect. (-36)"), std::string::npos) << send.err;

  ToolRun list =
      pelmail({"list", "--server", server(port), "--user", "u", "--password", "p"}, dir_);
  EXPECT_EQ(list.status, 1) << describe(list);
  EXPECT_NE(list.err.find("Error attempting to connect. (-36)"), std::string::npos) << list.err;
}

TEST_F(PelmailRealServer, MissingAttachmentFailsWithTheLibrarysText) {
  ToolRun run =
      pelmail({"send", "--server", server(servers_->smtpPort), "--from", "<a@example.org>", "--to",
               "<b@example.org>", "--text", "x", "--attach", dir_.file("no-such-file")},
              dir_);
  EXPECT_EQ(run.status, 1) << describe(run);
  EXPECT_NE(run.err.find("Cannot open file. (-35)"), std::string::npos) << run.err;
  EXPECT_TRUE(capturedMessages().empty());
}

TEST(PelmailCommandLine, HelpDocumentsEveryOptionAndBadUseExitsTwo) {
  TempDir dir;
  ToolRun help = pelmail({"--help"}, dir);
  ASSERT_EQ(help.status, 0) << describe(help);
  for (const char* command : {"send", "list", "fetch"}) {
    EXPECT_NE(help.out.find(std::string("\n  pelmail ") + command + " "), std::string::npos)
        << command;
  }
  // Every option on a line of its own that explains it.
  for (const char* option :
       {"--server",   "--from",      "--to",          "--cc",     "--bcc",      "--subject",
        "--text",     "--text-file", "--attach",      "--html",   "--log",      "--user",
        "--password", "--dir",       "--attachments", "--delete", "--parallel", "--message",
        "--quiet",    "--stats",     "--poll-ms",     "--help"}) {
    EXPECT_NE(help.out.find(std::string("\n  ") + option + " "), std::string::npos) << option;
  }

  ToolRun unknown = pelmail({"fetch", "--server", "127.0.0.1", "--user", "u", "--password", "p",
                             "--dir", dir.path(), "--bogus"},
                            dir);
  EXPECT_EQ(unknown.status, 2) << describe(unknown);
  EXPECT_NE(unknown.err.find("--bogus"), std::string::npos);
  ToolRun badPort =
      pelmail({"list", "--server", "127.0.0.1:99999", "--user", "u", "--password", "p"}, dir);
  EXPECT_EQ(badPort.status, 2) << describe(badPort);
}

}  // namespace
}  // namespace pel::test
