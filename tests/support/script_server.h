// Loopback peers for protocol tests.
//
// ScriptServer listens on 127.0.0.1 on an ephemeral port and plays a fixed
// script against the client that connects to it:
//
//   ScriptServer srv({Send("+OK ready\r\n"), ReadLine(), Send("+OK\r\n"),
//                     ReadUntil("."), Close()});
//   ... let the code under test connect to srv.port() and talk ...
//   EXPECT_TRUE(srv.waitDone());             // the script ran to its end
//   EXPECT_EQ(srv.reads()[0], "USER a\r\n");  // one entry per Read step
//   EXPECT_EQ(srv.received(), "...");         // every byte, in order
//
// The first connection is accepted before the first step; Accept() ends the
// current connection and takes the next one. Every step gives up after its
// time-out and fails the script, so a test whose client misbehaves fails
// instead of hanging. The destructor stops the script wherever it is.
//
// RefusedPort is a port on which a connect is refused at once; StalledListener
// is a port on which a connect never completes (the accept queue is full).
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace pel::test {

constexpr int kStepTimeoutMs = 5000;

struct Step {
  enum class Kind {
    kSend,
    kReadLine,
    kReadUntil,
    kExpectSilence,
    kExpectClosed,
    kWait,
    kClose,
    kAccept
  };
  Kind kind;
  std::vector<std::string> pieces;  // kSend: sent one after another
  std::string text;                 // kReadUntil: the line that ends the read
  int ms = 0;                       // pause between pieces, silence, wait or time-out
};

// Sends the bytes in one piece.
Step Send(std::string bytes);
// Sends the pieces one by one, pausing between them (TCP_NODELAY is set, so
// each piece leaves in a segment of its own).
Step SendPieces(std::vector<std::string> pieces, int pauseMs);
// Reads one line, through its LF, and records it as one entry of reads().
Step ReadLine(int timeoutMs = kStepTimeoutMs);
// Reads lines until one equals `line` once its LF (and a CR before it) is
// removed; records all the bytes read, end line included, as one entry.
Step ReadUntil(std::string line, int timeoutMs = kStepTimeoutMs);
// Fails if the client sends anything, or closes, within the given time.
Step ExpectSilence(int ms);
// Waits for the client to close the connection; fails if it sends anything.
Step ExpectClosed(int timeoutMs = kStepTimeoutMs);
// Pauses without reading.
Step Wait(int ms);
// Closes the connection (bytes already waiting are read first and recorded,
// so the client sees an orderly end rather than a reset).
Step Close();
// Closes the current connection, if any, and accepts the next one.
Step Accept(int timeoutMs = kStepTimeoutMs);

class ScriptServer {
 public:
  explicit ScriptServer(std::vector<Step> script);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  int port() const { return port_; }
  // Waits for the script to end. Fails with the step that went wrong, or when
  // the script is still running after `timeoutMs`.
  ::testing::AssertionResult waitDone(int timeoutMs = 4 * kStepTimeoutMs);
  // Every byte received on every connection so far.
  std::string received() const;
  // One entry per completed ReadLine / ReadUntil step.
  std::vector<std::string> reads() const;
  int connections() const;

 private:
  enum class Wake { kReady, kTimeout, kStopped };
  enum class Fill { kData, kTimeout, kClosed, kStopped, kError };

  void run();
  // Returns an empty string on success, else what went wrong.
  std::string runStep(const Step& step);
  std::string acceptNext(int timeoutMs);
  std::string readLineInto(std::string& line, long long deadline);
  // Waits for bytes and moves them into pending_; on anything but kData,
  // fillError_ says what happened.
  Fill fill(long long deadline);
  std::string sendAll(const std::string& bytes, long long deadline);
  Wake waitFor(int fd, short events, long long deadline);
  bool pause(int ms);
  void closeConnection();

  std::vector<Step> script_;
  int listenFd_ = -1;
  int conn_ = -1;
  int stopPipe_[2] = {-1, -1};
  int port_ = 0;
  std::string pending_;  // received but not yet taken by a Read step
  std::string fillError_;

  mutable std::mutex mutex_;
  std::condition_variable doneCv_;
  bool done_ = false;
  std::string error_;
  std::string received_;
  std::vector<std::string> reads_;
  int connections_ = 0;
  std::thread thread_;
};

// A loopback port with a socket bound to it but not listening: a connect is
// refused, and no other program can take the port while this object lives.
class RefusedPort {
 public:
  RefusedPort();
  ~RefusedPort();
  RefusedPort(const RefusedPort&) = delete;
  RefusedPort& operator=(const RefusedPort&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// A loopback listener that never accepts, with its accept queue filled by
// connects of its own: the kernel drops further SYNs, so a connect to port()
// neither completes nor fails until the client gives up.
class StalledListener {
 public:
  StalledListener();
  ~StalledListener();
  StalledListener(const StalledListener&) = delete;
  StalledListener& operator=(const StalledListener&) = delete;
  int port() const { return port_; }

 private:
  int listenFd_ = -1;
  std::vector<int> fillers_;
  int port_ = 0;
};

}  // namespace pel::test
