#include "support/script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>

namespace pel::test {
namespace {

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

sockaddr_in loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  return addr;
}

// A blocking client socket whose reads give up after two seconds, so a broken
// server fails the test instead of hanging it.
class Client {
 public:
  explicit Client(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval limit{2, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in addr = loopback(port);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    connectErrno_ = connected_ ? 0 : errno;
  }
  ~Client() { ::close(fd_); }

  bool connected() const { return connected_; }
  int connectErrno() const { return connectErrno_; }
  void send(const std::string& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // One recv: whatever has arrived, "" at the end of the stream.
  std::string receiveSome() {
    char buffer[4096];
    ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    lastErrno_ = n < 0 ? errno : 0;
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }
  // Everything up to the end of the stream (or an error or time-out).
  std::string receiveAll() {
    std::string all;
    for (std::string piece = receiveSome(); !piece.empty(); piece = receiveSome()) all += piece;
    return all;
  }
  int lastErrno() const { return lastErrno_; }
  void close() {
    ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  int connectErrno_ = 0;
  int lastErrno_ = 0;
};

TEST(ScriptServer, PlaysAConversationAndRecordsExactBytes) {
  ScriptServer srv({Send("+OK ready\r\n"), ReadLine(), Send("+OK\r\n"), ReadUntil("."),
                    Send("250 done\r\n"), Close()});
  Client client(srv.port());
  ASSERT_TRUE(client.connected());
  EXPECT_EQ(client.receiveSome(), "+OK ready\r\n");
  // Command and data in one write: the line reader must keep what follows the
  // first line for the next step. "..x" and ". " are data, not the end line.
  const std::string data = "line 1\r\n..x\r\n. \r\n.\r\n";
  client.send("USER a\r\n" + data);
  EXPECT_EQ(client.receiveAll(), "+OK\r\n250 done\r\n");
  EXPECT_EQ(client.lastErrno(), 0);

  EXPECT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads(), (std::vector<std::string>{"USER a\r\n", data}));
  EXPECT_EQ(srv.received(), "USER a\r\n" + data);
  EXPECT_EQ(srv.connections(), 1);
}

TEST(ScriptServer, ReadUntilAcceptsABareLineFeed) {
  ScriptServer srv({ReadUntil(".")});
  Client client(srv.port());
  client.send("a\n.\n");
  EXPECT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.reads(), (std::vector<std::string>{"a\n.\n"}));
}

TEST(ScriptServer, SendsPiecesSeparatedByPauses) {
  ScriptServer srv({SendPieces({"+O", "K\r", "\n"}, 150), Close()});
  Client client(srv.port());
  auto start = Clock::now();
  EXPECT_EQ(client.receiveSome(), "+O");
  EXPECT_EQ(client.receiveSome(), "K\r");
  EXPECT_EQ(client.receiveSome(), "\n");
  EXPECT_GE(msSince(start), 250);
  EXPECT_EQ(client.receiveSome(), "");
  EXPECT_TRUE(srv.waitDone());
}

TEST(ScriptServer, ServesSeveralConnectionsInSequence) {
  ScriptServer srv({Send("one\r\n"), Close(), Accept(), Send("two\r\n"), ReadLine()});
  {
    Client first(srv.port());
    EXPECT_EQ(first.receiveAll(), "one\r\n");
  }
  Client second(srv.port());
  EXPECT_EQ(second.receiveSome(), "two\r\n");
  second.send("QUIT\r\n");
  EXPECT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.connections(), 2);
  EXPECT_EQ(srv.reads(), (std::vector<std::string>{"QUIT\r\n"}));
}

TEST(ScriptServer, CloseAfterUnreadBytesEndsTheStreamWithoutAReset) {
  ScriptServer srv({Wait(200), Close()});
  Client client(srv.port());
  client.send("QUIT\r\n");
  EXPECT_EQ(client.receiveSome(), "");
  EXPECT_EQ(client.lastErrno(), 0) << "the client saw a reset instead of the end of the stream";
  EXPECT_TRUE(srv.waitDone());
  EXPECT_EQ(srv.received(), "QUIT\r\n");
}

enum class ClientDoes { kNothing, kStaysSilent, kSendsALine, kSendsAPartialBlock, kCloses };

struct StepCase {
  const char* name;
  Step step;
  ClientDoes client;
  const char* failure;  // nullptr when the step must succeed
};

// Keeps ctest's test names short: the case name says it all.
void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

class ScriptStep : public ::testing::TestWithParam<StepCase> {};

// Each step ends within its time-out, and a failure names the reason.
TEST_P(ScriptStep, EndsInTimeWithTheRightVerdict) {
  const StepCase& c = GetParam();
  ScriptServer srv({c.step});
  std::unique_ptr<Client> client;
  if (c.client != ClientDoes::kNothing) client = std::make_unique<Client>(srv.port());
  if (c.client == ClientDoes::kSendsALine) client->send("NOOP\r\n");
  if (c.client == ClientDoes::kSendsAPartialBlock) client->send("a\r\n.x\r\n");
  if (c.client == ClientDoes::kCloses) client->close();

  auto start = Clock::now();
  ::testing::AssertionResult done = srv.waitDone();
  EXPECT_LT(msSince(start), 1500);
  if (c.failure == nullptr) {
    EXPECT_TRUE(done);
  } else {
    ASSERT_FALSE(done);
    EXPECT_NE(std::string(done.message()).find(c.failure), std::string::npos) << done.message();
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ScriptStep,
    ::testing::Values(
        StepCase{"ReadLineTimesOut", ReadLine(300), ClientDoes::kStaysSilent, "timed out"},
        StepCase{"ReadLineSeesTheClose", ReadLine(), ClientDoes::kCloses, "closed"},
        StepCase{"ReadUntilTimesOut", ReadUntil(".", 300), ClientDoes::kSendsAPartialBlock,
                 "read \"a\\r\\n.x\\r\\n\""},
        StepCase{"SilenceHolds", ExpectSilence(300), ClientDoes::kStaysSilent, nullptr},
        StepCase{"SilenceBroken", ExpectSilence(300), ClientDoes::kSendsALine, "expected silence"},
        StepCase{"SilenceEndedByClose", ExpectSilence(300), ClientDoes::kCloses, "closed"},
        StepCase{"CloseSeen", ExpectClosed(), ClientDoes::kCloses, nullptr},
        StepCase{"CloseNeverCame", ExpectClosed(300), ClientDoes::kStaysSilent, "did not close"},
        StepCase{"CloseExpectedGotBytes", ExpectClosed(), ClientDoes::kSendsALine, "got bytes"},
        StepCase{"NobodyConnects", Accept(300), ClientDoes::kNothing, "no client connected"}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

TEST(ScriptServer, DestructorStopsALongStepAtOnce) {
  auto start = Clock::now();
  { ScriptServer waitingForAClient({ReadLine()}); }
  {
    ScriptServer waitingForALine({ReadLine(60000)});
    Client client(waitingForALine.port());
    ASSERT_TRUE(client.connected());
  }
  EXPECT_LT(msSince(start), 1000);
}

TEST(RefusedPort, RefusesAConnect) {
  RefusedPort refused;
  Client client(refused.port());
  EXPECT_FALSE(client.connected());
  EXPECT_EQ(client.connectErrno(), ECONNREFUSED);
}

TEST(StalledListener, ANonBlockingConnectNeverCompletes) {
  StalledListener stalled;
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in addr = loopback(stalled.port());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), -1);
  EXPECT_EQ(errno, EINPROGRESS);
  pollfd p{fd, POLLOUT, 0};
  EXPECT_EQ(::poll(&p, 1, 1500), 0) << "the connect completed or failed";
  ::close(fd);
}

}  // namespace
}  // namespace pel::test
