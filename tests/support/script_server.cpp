#include "support/script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace pel::test {

namespace {

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int msUntil(long long deadline) {
  long long left = deadline - nowMs();
  return left < 0 ? 0 : static_cast<int>(left);
}

std::string errnoText(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Bytes as a C-like literal, so CR, LF and binary data show in failure messages.
std::string printable(const std::string& bytes) {
  static const size_t kLimit = 200;
  std::string out = "\"";
  for (size_t i = 0; i < bytes.size() && i < kLimit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "\"";
  if (bytes.size() > kLimit) out += "... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

const char* kindName(Step::Kind kind) {
  switch (kind) {
    case Step::Kind::kSend:
      return "Send";
    case Step::Kind::kReadLine:
      return "ReadLine";
    case Step::Kind::kReadUntil:
      return "ReadUntil";
    case Step::Kind::kExpectSilence:
      return "ExpectSilence";
    case Step::Kind::kExpectClosed:
      return "ExpectClosed";
    case Step::Kind::kWait:
      return "Wait";
    case Step::Kind::kClose:
      return "Close";
    case Step::Kind::kAccept:
      return "Accept";
  }
  return "?";
}

// A non-blocking, close-on-exec TCP socket bound to 127.0.0.1 on a port the
// kernel chooses; throws when the socket cannot be made.
int boundLoopbackSocket(int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(errnoText("socket"));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::string error = errnoText("bind");
    ::close(fd);
    throw std::runtime_error(error);
  }
  *port = ntohs(addr.sin_port);
  return fd;
}

// Starts a non-blocking connect to 127.0.0.1:port; returns the socket.
int startConnect(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) throw std::runtime_error(errnoText("socket"));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
    std::string error = errnoText("connect");
    ::close(fd);
    throw std::runtime_error(error);
  }
  return fd;
}

bool becomesReady(int fd, short events, int timeoutMs) {
  pollfd p{fd, events, 0};
  int n;
  do {
    n = ::poll(&p, 1, timeoutMs);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

}  // namespace

Step Send(std::string bytes) { return Step{Step::Kind::kSend, {std::move(bytes)}, "", 0}; }
Step SendPieces(std::vector<std::string> pieces, int pauseMs) {
  return Step{Step::Kind::kSend, std::move(pieces), "", pauseMs};
}
Step ReadLine(int timeoutMs) { return Step{Step::Kind::kReadLine, {}, "", timeoutMs}; }
Step ReadUntil(std::string line, int timeoutMs) {
  return Step{Step::Kind::kReadUntil, {}, std::move(line), timeoutMs};
}
Step ExpectSilence(int ms) { return Step{Step::Kind::kExpectSilence, {}, "", ms}; }
Step ExpectClosed(int timeoutMs) { return Step{Step::Kind::kExpectClosed, {}, "", timeoutMs}; }
Step Wait(int ms) { return Step{Step::Kind::kWait, {}, "", ms}; }
Step Close() { return Step{Step::Kind::kClose, {}, "", 0}; }
Step Accept(int timeoutMs) { return Step{Step::Kind::kAccept, {}, "", timeoutMs}; }

ScriptServer::ScriptServer(std::vector<Step> script) : script_(std::move(script)) {
  listenFd_ = boundLoopbackSocket(&port_);
  auto fail = [this](const char* what) {
    std::string error = errnoText(what);
    ::close(listenFd_);
    throw std::runtime_error(error);
  };
  if (::listen(listenFd_, 8) != 0) fail("listen");
  if (::pipe2(stopPipe_, O_CLOEXEC) != 0) fail("pipe2");
  thread_ = std::thread([this] { run(); });
}

ScriptServer::~ScriptServer() {
  char c = 's';
  if (::write(stopPipe_[1], &c, 1) < 0) {
    // The pipe is ours and empty; a failed write leaves nothing better to do.
  }
  thread_.join();
  closeConnection();
  ::close(listenFd_);
  ::close(stopPipe_[0]);
  ::close(stopPipe_[1]);
}

::testing::AssertionResult ScriptServer::waitDone(int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!doneCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; })) {
    return ::testing::AssertionFailure() << "script still running after " << timeoutMs
                                         << " ms; received so far " << printable(received_);
  }
  if (!error_.empty()) return ::testing::AssertionFailure() << error_;
  return ::testing::AssertionSuccess();
}

std::string ScriptServer::received() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

std::vector<std::string> ScriptServer::reads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reads_;
}

int ScriptServer::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void ScriptServer::run() {
  std::string error;
  if (script_.empty() || script_.front().kind != Step::Kind::kAccept) {
    error = acceptNext(kStepTimeoutMs);
    if (!error.empty()) error = "first connection: " + error;
  }
  for (size_t i = 0; error.empty() && i < script_.size(); ++i) {
    error = runStep(script_[i]);
    if (!error.empty()) {
      error = "step " + std::to_string(i) + " (" + kindName(script_[i].kind) + "): " + error;
    }
  }
  if (!error.empty() && !pending_.empty()) error += "; unread bytes " + printable(pending_);
  closeConnection();
  std::lock_guard<std::mutex> lock(mutex_);
  error_ = error;
  done_ = true;
  doneCv_.notify_all();
}

std::string ScriptServer::runStep(const Step& step) {
  if (step.kind == Step::Kind::kAccept) return acceptNext(step.ms);
  if (step.kind == Step::Kind::kWait) return pause(step.ms) ? "" : "stopped";
  if (step.kind == Step::Kind::kClose) {
    closeConnection();
    return "";
  }
  if (conn_ < 0) return "no connection is open";

  switch (step.kind) {
    case Step::Kind::kSend:
      for (size_t i = 0; i < step.pieces.size(); ++i) {
        if (i > 0 && !pause(step.ms)) return "stopped";
        std::string error = sendAll(step.pieces[i], nowMs() + kStepTimeoutMs);
        if (!error.empty()) return error;
      }
      return "";
    case Step::Kind::kReadLine: {
      std::string line;
      std::string error = readLineInto(line, nowMs() + step.ms);
      if (!error.empty()) return error + " waiting for a line";
      std::lock_guard<std::mutex> lock(mutex_);
      reads_.push_back(line);
      return "";
    }
    case Step::Kind::kReadUntil: {
      long long deadline = nowMs() + step.ms;
      std::string block;
      for (;;) {
        std::string line;
        std::string error = readLineInto(line, deadline);
        if (!error.empty()) {
          return error + " waiting for the line " + printable(step.text) + "; read " +
                 printable(block);
        }
        block += line;
        line.pop_back();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == step.text) break;
      }
      std::lock_guard<std::mutex> lock(mutex_);
      reads_.push_back(block);
      return "";
    }
    case Step::Kind::kExpectSilence:
    case Step::Kind::kExpectClosed: {
      bool silence = step.kind == Step::Kind::kExpectSilence;
      long long deadline = nowMs() + step.ms;
      while (pending_.empty()) {
        Fill got = fill(deadline);
        if (got == Fill::kTimeout) {
          return silence ? ""
                         : "the client did not close within " + std::to_string(step.ms) + " ms";
        }
        if (got == Fill::kClosed) {
          if (!silence) closeConnection();
          return silence ? "the client closed the connection" : "";
        }
        if (got != Fill::kData) return fillError_;
      }
      return silence ? "expected silence, got bytes" : "expected the client to close, got bytes";
    }
    default:
      return "unknown step";
  }
}

std::string ScriptServer::acceptNext(int timeoutMs) {
  closeConnection();
  long long deadline = nowMs() + timeoutMs;
  for (;;) {
    Wake wake = waitFor(listenFd_, POLLIN, deadline);
    if (wake == Wake::kStopped) return "stopped";
    if (wake == Wake::kTimeout) {
      return "no client connected within " + std::to_string(timeoutMs) + " ms";
    }
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      return errnoText("accept");
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    conn_ = fd;
    pending_.clear();
    std::lock_guard<std::mutex> lock(mutex_);
    ++connections_;
    return "";
  }
}

std::string ScriptServer::readLineInto(std::string& line, long long deadline) {
  for (;;) {
    size_t lf = pending_.find('\n');
    if (lf != std::string::npos) {
      line = pending_.substr(0, lf + 1);
      pending_.erase(0, lf + 1);
      return "";
    }
    if (fill(deadline) != Fill::kData) return fillError_;
  }
}

ScriptServer::Fill ScriptServer::fill(long long deadline) {
  for (;;) {
    Wake wake = waitFor(conn_, POLLIN, deadline);
    if (wake == Wake::kStopped) {
      fillError_ = "stopped";
      return Fill::kStopped;
    }
    if (wake == Wake::kTimeout) {
      fillError_ = "timed out";
      return Fill::kTimeout;
    }
    char buffer[4096];
    ssize_t n = ::recv(conn_, buffer, sizeof buffer, 0);
    if (n > 0) {
      pending_.append(buffer, static_cast<size_t>(n));
      std::lock_guard<std::mutex> lock(mutex_);
      received_.append(buffer, static_cast<size_t>(n));
      return Fill::kData;
    }
    if (n == 0) {
      fillError_ = "the client closed the connection";
      return Fill::kClosed;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      fillError_ = errnoText("recv");
      return Fill::kError;
    }
  }
}

std::string ScriptServer::sendAll(const std::string& bytes, long long deadline) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(conn_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n >= 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return errnoText("send");
    Wake wake = waitFor(conn_, POLLOUT, deadline);
    if (wake == Wake::kStopped) return "stopped";
    if (wake == Wake::kTimeout) {
      return "timed out with " + std::to_string(bytes.size() - sent) + " bytes unsent";
    }
  }
  return "";
}

ScriptServer::Wake ScriptServer::waitFor(int fd, short events, long long deadline) {
  for (;;) {
    pollfd p[2] = {{fd, events, 0}, {stopPipe_[0], POLLIN, 0}};
    int n = ::poll(p, 2, msUntil(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || p[1].revents != 0) return Wake::kStopped;
    if (p[0].revents != 0) return Wake::kReady;
    if (n == 0) return Wake::kTimeout;
  }
}

bool ScriptServer::pause(int ms) {
  pollfd p{stopPipe_[0], POLLIN, 0};
  long long deadline = nowMs() + ms;
  for (;;) {
    int n = ::poll(&p, 1, msUntil(deadline));
    if (n == 0) return true;
    if (n > 0 || errno != EINTR) return false;
  }
}

void ScriptServer::closeConnection() {
  if (conn_ < 0) return;
  // Closing with unread data makes the kernel send a reset; reading what has
  // already arrived keeps the end orderly and records those bytes too.
  char buffer[4096];
  ssize_t n;
  while ((n = ::recv(conn_, buffer, sizeof buffer, 0)) > 0) {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.append(buffer, static_cast<size_t>(n));
  }
  ::close(conn_);
  conn_ = -1;
}

RefusedPort::RefusedPort() { fd_ = boundLoopbackSocket(&port_); }

RefusedPort::~RefusedPort() { ::close(fd_); }

StalledListener::StalledListener() {
  listenFd_ = boundLoopbackSocket(&port_);
  if (::listen(listenFd_, 0) != 0) {
    std::string error = errnoText("listen");
    ::close(listenFd_);
    throw std::runtime_error(error);
  }
  // Connect until one connect stalls: from then on the queue is full and the
  // kernel drops every new SYN, so any later connect stalls as well.
  for (int i = 0; i < 4; ++i) {
    int fd = startConnect(port_);
    fillers_.push_back(fd);
    if (!becomesReady(fd, POLLOUT, 100)) return;
  }
  for (int fd : fillers_) ::close(fd);
  ::close(listenFd_);
  throw std::runtime_error("the accept queue of a listen(fd, 0) socket never filled up");
}

StalledListener::~StalledListener() {
  for (int fd : fillers_) ::close(fd);
  ::close(listenFd_);
}

}  // namespace pel::test
