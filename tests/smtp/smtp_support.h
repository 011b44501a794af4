// Shared pieces of the SMTP tests: server scripts for the common exchanges,
// a fixed clock, and a channel connected to a scripted server.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"
#include "support/script_server.h"

namespace pel::test {

inline std::vector<Step> join(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Greeting, HELO and its reply.
inline std::vector<Step> greetingSteps() {
  return {Send("220 mail.test ready\r\n"), ReadLine(), Send("250 mail.test\r\n")};
}

// MAIL FROM, `recipients` RCPT TO lines, DATA, the data up to its final "."
// line, and the final reply.
inline std::vector<Step> messageSteps(int recipients) {
  std::vector<Step> steps = {ReadLine(), Send("250 sender ok\r\n")};
  for (int i = 0; i < recipients; ++i) {
    steps.push_back(ReadLine());
    steps.push_back(Send("250 recipient ok\r\n"));
  }
  for (const Step& s :
       {ReadLine(), Send("354 go ahead\r\n"), ReadUntil("."), Send("250 queued\r\n")}) {
    steps.push_back(s);
  }
  return steps;
}

inline std::vector<Step> quitSteps() { return {ReadLine(), Send("221 bye\r\n"), Close()}; }

// Saturday 1 January 2000, 0:00:09, 5 hours 30 minutes ahead of UTC.
constexpr const char* kFixedDateLine = "Date: Sat, 1 Jan 2000 0:00:09 +0500";
inline void fixTheClock() {
  plat::FixedTime fixed{{2000, 1, 6, 1, 0, 0, 9}, -330, false};
  plat::setFixedTime(&fixed);
}

// A library attached for two channels with the clock fixed; channel 0 talks
// to the scripted server through connect().
class SmtpTest : public ::testing::Test {
 protected:
  void SetUp() override { fixTheClock(); }
  void TearDown() override { plat::setFixedTime(nullptr); }

  int32_t connect(const ScriptServer& srv, const char* from = "Ann <ann@sender.test>",
                  const char* replyTo = nullptr, int32_t chan = 0) {
    pelIntegerParam(chan, PARAM_SMTP_SERVER_PORT, srv.port());
    return pelSmtpConnect(chan, "127.0.0.1", from, replyTo);
  }

  // The whole DATA text as the server read it (the entry after DATA).
  static std::string dataOf(const ScriptServer& srv, size_t recipients) {
    std::vector<std::string> reads = srv.reads();
    size_t index = 1 + 1 + recipients + 1;  // HELO, MAIL FROM, RCPT TO..., DATA
    return index < reads.size() ? reads[index] : std::string();
  }

  std::string headerStart(const std::string& to = "Bob <bob@rcpt.test>") const {
    return std::string("X-Mailer: Korvane Version 3.3\r\n") + kFixedDateLine + "\r\nTo: " + to +
           "\r\n";
  }

  Attached lib{2};
  TempDir dir;
};

}  // namespace pel::test
