// The real SMTP and POP3 servers that scripts/servers/start.sh runs on
// loopback for the *_realserver_test programs (ctest starts them once per run
// through the real_servers fixture).
//
//   TEST(Pop3RealServer, CountsMessages) {
//     const MailServers& servers = mailServers();
//     clearMaildir();
//     putMessage("one", "Subject: a\r\n\r\nbody\r\n");
//     ... connect to servers.pop3Port as servers.user / servers.password ...
//   }
//
// Both servers share one Maildir: a message sent to smtpPort can be fetched
// from pop3Port; capturedMessages() has the DATA of each message exactly as
// the SMTP server received it (after dot unstuffing).
//
// The POP3 server answers a failed PASS after about half a second; there is
// no penalty for later logins.
//
// mailServers() throws when the servers are not running (PEL32_SERVERS_ENV
// unset, or its file unreadable), so the test fails rather than skips. Call
// it from a test body or a fixture's SetUp, never during static
// initialisation.
#pragma once

#include <string>
#include <vector>

namespace pel::test {

struct MailServers {
  int smtpPort;
  int pop3Port;
  std::string user, password, maildir, captureDir;
};

const MailServers& mailServers();

// Removes every message from the Maildir (new/, cur/, tmp/) and every capture.
void clearMaildir();
// Places a message in the Maildir's new/, readable by the POP3 server's
// unprivileged mail user. `name` is the file name.
void putMessage(const std::string& name, const std::string& bytes);
// The captured DATA of the messages received over SMTP, oldest first.
std::vector<std::string> capturedMessages();

}  // namespace pel::test
