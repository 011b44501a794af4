#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

#include "support/mail_servers.h"

namespace pel::test {
namespace {

// A plain line-oriented client; reads give up after five seconds, so a stuck
// server fails the test instead of hanging it.
class LineClient {
 public:
  explicit LineClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::string error = std::strerror(errno);
      ::close(fd_);
      throw std::runtime_error("connect to port " + std::to_string(port) + ": " + error);
    }
  }
  ~LineClient() { ::close(fd_); }

  void send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // One line with its CR LF, or what came before the end of the stream.
  std::string line() {
    std::string text;
    char c;
    while (::recv(fd_, &c, 1, 0) == 1) {
      text += c;
      if (c == '\n') break;
    }
    return text;
  }
  std::string command(const std::string& text) {
    send(text + "\r\n");
    return line();
  }
  // A POP3 multi-line answer after its status line, final "." line excluded.
  std::string multiLine() {
    std::string text;
    for (std::string l = line(); !l.empty() && l != ".\r\n"; l = line()) text += l;
    return text;
  }

 private:
  int fd_ = -1;
};

bool startsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

std::string pop3Stat() {
  const MailServers& servers = mailServers();
  LineClient pop3(servers.pop3Port);
  EXPECT_TRUE(startsWith(pop3.line(), "+OK"));
  EXPECT_TRUE(startsWith(pop3.command("USER " + servers.user), "+OK"));
  EXPECT_TRUE(startsWith(pop3.command("PASS " + servers.password), "+OK"));
  std::string stat = pop3.command("STAT");
  pop3.command("QUIT");
  return stat;
}

TEST(MailServersRealServer, BothServersGreetAndThePop3UserLogsIn) {
  const MailServers& servers = mailServers();
  clearMaildir();

  LineClient smtp(servers.smtpPort);
  EXPECT_TRUE(startsWith(smtp.line(), "220"));
  EXPECT_TRUE(startsWith(smtp.command("QUIT"), "221"));

  EXPECT_EQ(pop3Stat(), "+OK 0 0\r\n");

  // Wrong passwords are refused, and neither they nor the next good login are
  // held back by a growing per-address penalty.
  auto start = std::chrono::steady_clock::now();
  for (int attempt = 0; attempt < 2; ++attempt) {
    LineClient pop3(servers.pop3Port);
    EXPECT_TRUE(startsWith(pop3.line(), "+OK"));
    EXPECT_TRUE(startsWith(pop3.command("USER " + servers.user), "+OK"));
    EXPECT_TRUE(startsWith(pop3.command("PASS wrong-" + servers.password), "-ERR"));
  }
  EXPECT_EQ(pop3Stat(), "+OK 0 0\r\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

TEST(MailServersRealServer, MessageSentOverSmtpIsCapturedAndFetchedOverPop3) {
  const MailServers& servers = mailServers();
  clearMaildir();
  // The second body line is dot-stuffed on the wire and arrives as ".dot".
  const std::string message = "Subject: smoke\r\n\r\nhello\r\n.dot\r\n";

  LineClient smtp(servers.smtpPort);
  EXPECT_TRUE(startsWith(smtp.line(), "220"));
  EXPECT_TRUE(startsWith(smtp.command("HELO pel32.test"), "250"));
  EXPECT_TRUE(startsWith(smtp.command("MAIL FROM:<sender@pel32.test>"), "250"));
  EXPECT_TRUE(startsWith(smtp.command("RCPT TO:<" + servers.user + "@pel32.test>"), "250"));
  EXPECT_TRUE(startsWith(smtp.command("DATA"), "354"));
  EXPECT_TRUE(startsWith(smtp.command("Subject: smoke\r\n\r\nhello\r\n..dot\r\n."), "250"));
  EXPECT_TRUE(startsWith(smtp.command("QUIT"), "221"));

  EXPECT_EQ(capturedMessages(), std::vector<std::string>{message});
  EXPECT_EQ(pop3Stat(), "+OK 1 " + std::to_string(message.size()) + "\r\n");

  LineClient pop3(servers.pop3Port);
  pop3.line();
  pop3.command("USER " + servers.user);
  pop3.command("PASS " + servers.password);
  EXPECT_TRUE(startsWith(pop3.command("RETR 1"), "+OK"));
  EXPECT_EQ(pop3.multiLine(), "Subject: smoke\r\n\r\nhello\r\n..dot\r\n");
}

TEST(MailServersRealServer, PutMessageIsServedAndClearMaildirEmptiesTheMailbox) {
  clearMaildir();
  const std::string message = "Subject: put\r\n\r\nbody\r\n";
  putMessage("put-1", message);
  EXPECT_EQ(pop3Stat(), "+OK 1 " + std::to_string(message.size()) + "\r\n");

  // The login has moved the message to cur/; clearing must find it there too.
  clearMaildir();
  EXPECT_EQ(pop3Stat(), "+OK 0 0\r\n");
  EXPECT_TRUE(capturedMessages().empty());
}

}  // namespace
}  // namespace pel::test
