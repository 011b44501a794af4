// POP3 login and mailbox queries against a real POP3 server sharing the test
// Maildir.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "frame/errors.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/mail_servers.h"

namespace pel::test {
namespace {

// Messages of distinct sizes, so that each size tells its message.
const std::vector<std::string> kMessages = {
    "Subject: first\r\n\r\nshort\r\n",
    "Subject: second\r\nX-Note: a longer header\r\n\r\nsecond body line one\r\nline two\r\n",
    "Subject: third\r\n\r\n" + std::string(300, 'z') + "\r\n",
};

struct Listing {
  std::string status;
  std::vector<std::string> ids;  // ids[i] is the identifier of message i + 1
};

// "+OK ...\r\n" then one "n id\r\n" line per message, numbered from 1.
Listing parseListing(const std::string& text) {
  Listing listing;
  std::istringstream in(text);
  std::getline(in, listing.status);
  std::string line;
  int expected = 1;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    int number = 0;
    std::string id;
    fields >> number >> id;
    EXPECT_EQ(number, expected++) << line;
    listing.ids.push_back(id);
  }
  return listing;
}

class Pop3RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    servers = &mailServers();
    clearMaildir();
    for (size_t i = 0; i < kMessages.size(); ++i) {
      putMessage("100000000" + std::to_string(i) + ".M1P1.test", kMessages[i]);
    }
    pelIntegerParam(0, PARAM_POP3_SERVER_PORT, servers->pop3Port);
  }

  int32_t login(const std::string& password) {
    return pelPop3Connect(0, "127.0.0.1", servers->user.c_str(), password.c_str());
  }

  Attached lib{1};
  const MailServers* servers = nullptr;
};

TEST_F(Pop3RealServer, QueriesDeletesAndSeesTheDeletionInANewSession) {
  ASSERT_EQ(login(servers->password), 0);
  EXPECT_EQ(pelGetEmailCount(0), 3);
  for (size_t i = 0; i < kMessages.size(); ++i) {
    EXPECT_EQ(pelGetEmailSize(0, static_cast<int32_t>(i + 1)),
              static_cast<int32_t>(kMessages[i].size()))
        << "message " << i + 1;
  }

  char buffer[1024];
  int32_t n = pelGetEmailUID(0, -1, buffer, sizeof buffer);
  ASSERT_GT(n, 0);
  EXPECT_EQ(n, static_cast<int32_t>(std::string(buffer).size()));
  Listing before = parseListing(buffer);
  EXPECT_EQ(before.status.rfind("+OK", 0), 0u) << before.status;
  ASSERT_EQ(before.ids.size(), 3u);
  EXPECT_EQ(std::string(buffer).find("\r\n.\r\n"), std::string::npos);

  // One message: the status line carries the number and the identifier.
  n = pelGetEmailUID(0, 2, buffer, sizeof buffer);
  EXPECT_EQ(std::string(buffer), "+OK 2 " + before.ids[1] + "\r\n");
  EXPECT_EQ(n, static_cast<int32_t>(before.ids[1].size()) + 8);

  EXPECT_EQ(pelDeleteEmail(0, 2), 0);
  EXPECT_EQ(pelStatistics(0, 3), 100);
  // The deletion takes effect when the session ends with QUIT.
  EXPECT_EQ(pelClose(0), 0);

  ASSERT_EQ(login(servers->password), 0);
  EXPECT_EQ(pelGetEmailCount(0), 2);
  EXPECT_EQ(pelGetEmailSize(0, 2), static_cast<int32_t>(kMessages[2].size()));
  ASSERT_GT(pelGetEmailUID(0, 0, buffer, sizeof buffer), 0);
  Listing after = parseListing(buffer);
  EXPECT_EQ(after.ids, (std::vector<std::string>{before.ids[0], before.ids[2]}));
  EXPECT_EQ(pelClose(0), 0);
}

TEST_F(Pop3RealServer, WrongPasswordFailsWithTheServersLine) {
  EXPECT_EQ(login("not-" + servers->password), kErrPop3Error);
  char reply[200] = {0};
  pelDebug(0, 23, reply, sizeof reply);
  EXPECT_EQ(std::string(reply).rfind("-ERR", 0), 0u) << reply;
  char text[300] = {0};
  pelErrorText(0, kErrPop3Error, text, sizeof text);
  EXPECT_EQ(std::string(text), std::string("POP3 returned error. ") + reply);
  EXPECT_EQ(pelStatistics(0, 3), 500);
}

}  // namespace
}  // namespace pel::test
