// The POSIX platform layer: what every user of the library meets.
#include "frame/platform/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "pel32.h"
#include "smtp/compose.h"
#include "support/script_server.h"

using namespace pel;
using namespace pel::test;

namespace {

// Sets TZ for the test and puts the old value back.
class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string dateLineNow() {
  char line[80];
  formatDateLine(line, sizeof line);
  return line;
}

}  // namespace

// A send on a connection the peer has closed fails with an error code and
// never raises SIGPIPE (which would end the test program).
TEST(Platform, SendAfterThePeerClosedFailsQuietly) {
  ScriptServer server({Close()});
  plat::Socket s = plat::createStreamSocket();
  ASSERT_NE(s, plat::kNoSocket);
  int r = plat::connectSocket(s, (127u << 24) + 1, static_cast<uint16_t>(server.port()));
  ASSERT_EQ(r, 0);
  ASSERT_TRUE(server.waitDone());
  plat::sleepMs(50);
  int sent = 0;
  for (int i = 0; i < 50 && sent >= 0; ++i) {
    sent = plat::sendBytes(s, "data\r\n", 6);
    plat::sleepMs(5);
  }
  EXPECT_EQ(sent, -1);
  EXPECT_EQ(plat::lastSocketError(), 10054);
  plat::lingerAndClose(s);
}

TEST(Platform, ReadinessOfAClosedDescriptorIsAFailedQuery) {
  EXPECT_EQ(plat::querySocket(plat::kNoSocket, plat::Readiness::Read), -1);
  plat::Socket s = plat::createStreamSocket();
  ASSERT_NE(s, plat::kNoSocket);
  plat::lingerAndClose(s);
  EXPECT_EQ(plat::querySocket(s, plat::Readiness::Write), -1);
}

TEST(Platform, RefusedBlockingConnectReportsTheSocketsNumber) {
  RefusedPort refused;
  plat::Socket s = plat::createStreamSocket();
  EXPECT_EQ(plat::connectSocket(s, (127u << 24) + 1, static_cast<uint16_t>(refused.port())),
            plat::kConnectionRefused);
  plat::lingerAndClose(s);
}

TEST(Platform, LookupOfAnUnknownName) {
  uint32_t address = 0;
  int r = plat::lookupHost("no-such-host.invalid", &address);
  EXPECT_GE(r, 11001);
  EXPECT_LE(r, 11004);
  EXPECT_EQ(plat::lookupHost("localhost", &address), 0);
  EXPECT_EQ(address, 0x0100007Fu);  // 127.0.0.1 in network byte order
}

// The zone comes from TZ: its bias in whole hours, the minutes dropped.
TEST(Platform, DateLineZoneFromTheEnvironment) {
  {
    ZoneGuard zone("UTC0");
    EXPECT_TRUE(std::regex_match(
        dateLineNow(), std::regex(R"(Date: [A-Z][a-z]{2}, [1-9][0-9]? [A-Z][a-z]{2} 2[0-9]{3} )"
                                  R"([12]?[0-9]:[0-5][0-9]:[0-5][0-9] \+0000)")))
        << dateLineNow();
  }
  {
    ZoneGuard zone("<+0530>-5:30");
    EXPECT_NE(dateLineNow().find(" +0500"), std::string::npos) << dateLineNow();
  }
  {
    ZoneGuard zone("<-03>3");
    EXPECT_NE(dateLineNow().find(" -0300"), std::string::npos) << dateLineNow();
  }
}

TEST(Platform, FormattedPrintStaysInItsArea) {
  char area[2050];
  std::string longText(3000, 'x');
  EXPECT_EQ(plat::formatText(area, sizeof area, "%s", longText.c_str()), 1023);
  EXPECT_EQ(std::string(area), longText.substr(0, 1023));
  char small[8];
  memset(small, '#', sizeof small);
  EXPECT_EQ(plat::formatText(small, 4, "%ld-%lx", static_cast<int32_t>(-5), 255u), 3);
  EXPECT_STREQ(small, "-5-");
  EXPECT_EQ(small[4], '#');
  EXPECT_EQ(plat::formatText(area, sizeof area, "<%3d:%ld> %7ld|%1s|%c", 7, -1, 12345, "a", 'z'),
            20);
  EXPECT_STREQ(area, "<  7:-1>   12345|a|z");
}

TEST(Platform, FilesGetHandlesAboveZeroAndBackslashPaths) {
  char dir[] = "/tmp/pel32-platform-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "\\a.txt";
  int h = plat::fileCreate(path.c_str());
  ASSERT_GT(h, 0);
  EXPECT_EQ(plat::fileWrite(h, "hello", 5), 5);
  plat::fileClose(h);
  int r = plat::fileOpenRead((std::string(dir) + "/a.txt").c_str());
  ASSERT_GT(r, 0);
  char area[8] = {0};
  EXPECT_EQ(plat::fileRead(r, area, sizeof area), 5);
  EXPECT_EQ(plat::fileRead(r, area, sizeof area), 0);
  plat::fileClose(r);
  EXPECT_EQ(plat::fileOpenRead(dir), -1);  // a directory is not a file to read
  EXPECT_EQ(plat::fileCreate((std::string(dir) + "/no/such/file").c_str()), -1);
  std::string cleanup = std::string("rm -rf ") + dir;
  EXPECT_EQ(system(cleanup.c_str()), 0);
}
