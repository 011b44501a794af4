// POSIX implementation of the platform services.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>

#include "frame/platform/platform.h"

namespace plat {
namespace {

thread_local int lastError = 0;
std::atomic<uint32_t> tickOffset{0};
std::atomic<int> closeCount{0};
std::mutex fixedTimeGuard;
bool fixedTimeSet = false;
FixedTime fixedTime;
std::atomic<MessageSink> messageSink{nullptr};

// errno values mapped to the Windows Sockets numbers the library reports.
struct ErrnoMapping {
  int errnoValue;
  int socketError;
};
const ErrnoMapping kErrnoTable[] = {
    {EINTR, 10004},           {EBADF, 10009},      {EACCES, 10013},       {EFAULT, 10014},
    {EINVAL, 10022},          {EMFILE, 10024},     {ENFILE, 10024},       {EWOULDBLOCK, 10035},
    {EINPROGRESS, 10035},     {EALREADY, 10037},   {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041}, {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045}, {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},   {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054}, {EPIPE, 10054},        {ENOBUFS, 10055},
    {EISCONN, 10056},         {ENOTCONN, 10057},   {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},
    {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},  {EHOSTUNREACH, 10065},
};

int socketErrorOf(int errnoValue) {
  for (const ErrnoMapping& m : kErrnoTable) {
    if (m.errnoValue == errnoValue) return m.socketError;
  }
  return 10050;  // network error: the closest general meaning
}

void recordErrno() { lastError = socketErrorOf(errno); }

int lookupErrorOf(int status) {
  switch (status) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
      return 11001;
    case EAI_AGAIN:
      return 11002;
    case EAI_FAIL:
      return 11003;
    default:
      return 11004;
  }
}

// Keeps descriptor 0 out of the handles handed out, so that 0 can mean "none".
int aboveZero(int fd) {
  if (fd != 0) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
  close(fd);
  return moved;
}

// The library composes paths with '\' between directories.
std::string nativePath(const char* path) {
  std::string p(path);
  for (char& c : p) {
    if (c == '\\') c = '/';
  }
  return p;
}

}  // namespace

// ---- Sockets -------------------------------------------------------------

int socketStartup() { return 0; }
void socketCleanup() {}

Socket createStreamSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd < 0) {
    recordErrno();
    return kNoSocket;
  }
  fd = aboveZero(fd);
  if (fd < 0) {
    recordErrno();
    return kNoSocket;
  }
  return static_cast<Socket>(fd);
}

int lastSocketError() { return lastError; }

bool blockingCallInProgress() { return false; }

void setNonBlocking(Socket s, uint32_t argument) {
  int fd = static_cast<int>(s);
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0) return;
  flags = argument ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  fcntl(fd, F_SETFL, flags);
}

int connectSocket(Socket s, uint32_t address, uint16_t port) {
  sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(address);
  if (connect(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  // An interrupted connect goes on in the background, like one in progress;
  // calling connect again would only report it as already under way.
  if (errno == EINTR) return kWouldBlock;
  recordErrno();
  return lastError;
}

int querySocket(Socket s, Readiness mode) {
  if (s == kNoSocket) return -1;
  pollfd p;
  p.fd = static_cast<int>(s);
  p.events = mode == Readiness::Read ? POLLIN : mode == Readiness::Write ? POLLOUT : POLLPRI;
  p.revents = 0;
  int r;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0 || (p.revents & POLLNVAL)) return -1;
  if (mode == Readiness::Exception) {
    // A failed connect shows as an error condition on the socket.
    if (p.revents & (POLLERR | POLLPRI)) return 1;
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0) {
      // Keep the error for the connect state that asks next.
      lastError = socketErrorOf(err);
      return 1;
    }
    return 0;
  }
  if (mode == Readiness::Write) {
    // A broken connection counts as writable, so that the next send fails at
    // once instead of the channel waiting for it.
    return (p.revents & (POLLOUT | POLLHUP | POLLERR)) ? 1 : 0;
  }
  return (p.revents & (POLLIN | POLLHUP | POLLERR)) ? 1 : 0;
}

int sendBytes(Socket s, const void* bytes, int count) {
  if (s == kNoSocket) return -1;
  ssize_t r;
  do {
    r = send(static_cast<int>(s), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    recordErrno();
    return -1;
  }
  return static_cast<int>(r);
}

int receive(Socket s, void* area, int size, bool peek) {
  if (s == kNoSocket) return -1;
  ssize_t r;
  do {
    r = recv(static_cast<int>(s), area, static_cast<size_t>(size), peek ? MSG_PEEK : 0);
  } while (r < 0 && errno == EINTR);
  if (r < 0) {
    recordErrno();
    return -1;
  }
  return static_cast<int>(r);
}

int lookupHost(const char* name, uint32_t* address) {
  addrinfo hints;
  memset(&hints, 0, sizeof hints);
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* result = nullptr;
  int status;
  do {
    status = getaddrinfo(name, nullptr, &hints, &result);
  } while (status == EAI_SYSTEM && errno == EINTR);
  if (status != 0 || result == nullptr) {
    lastError = status == 0 ? 11004 : lookupErrorOf(status);
    return lastError;
  }
  *address = reinterpret_cast<sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
  freeaddrinfo(result);
  return 0;
}

int localHostName(char* area, int size) {
  if (size < 1) return -1;
  if (gethostname(area, static_cast<size_t>(size)) != 0) {
    area[0] = 0;
    return -1;
  }
  area[size - 1] = 0;
  return 0;
}

void lingerAndClose(Socket s) {
  if (s == kNoSocket) return;
  int fd = static_cast<int>(s);
  linger l;
  l.l_onoff = 1;
  l.l_linger = 500;
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close(fd);  // not retried on EINTR: the descriptor is released either way
  closeCount.fetch_add(1);
}

int localAddress(Socket s, uint32_t* address) {
  if (s == kNoSocket) return -1;
  sockaddr_in sa;
  socklen_t len = sizeof sa;
  if (getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) return -1;
  if (sa.sin_family != AF_INET) return -1;
  *address = ntohl(sa.sin_addr.s_addr);
  return 0;
}

// ---- Files -------------------------------------------------------------------

int fileCreate(const char* path) {
  int fd;
  do {
    fd = open(nativePath(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  fd = aboveZero(fd);
  return fd < 0 ? -1 : fd;
}

int fileOpenRead(const char* path) {
  int fd;
  do {
    fd = open(nativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return -1;
  }
  fd = aboveZero(fd);
  return fd < 0 ? -1 : fd;
}

int fileRead(int handle, void* area, int count) {
  if (handle <= 0 || count < 0) return -1;
  ssize_t r;
  do {
    r = read(handle, area, static_cast<size_t>(count));
  } while (r < 0 && errno == EINTR);
  return r < 0 ? -1 : static_cast<int>(r);
}

int fileWrite(int handle, const void* bytes, int count) {
  if (handle <= 0 || count < 0) return -1;
  const char* p = static_cast<const char*>(bytes);
  int written = 0;
  // A regular file may take a write in parts; the caller sees one whole write.
  while (written < count) {
    ssize_t r = write(handle, p + written, static_cast<size_t>(count - written));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    written += static_cast<int>(r);
  }
  return written;
}

void fileClose(int handle) {
  if (handle > 0) close(handle);
}

// ---- Memory ----------------------------------------------------------------

void* allocateZeroed(size_t size) { return calloc(1, size); }
void freeBlock(void* block) { free(block); }

// ---- Lock --------------------------------------------------------------------

struct Lock {
  std::recursive_mutex mutex;
};
Lock* lockCreate() { return new Lock; }
void lockTake(Lock* lock) { lock->mutex.lock(); }
void lockRelease(Lock* lock) { lock->mutex.unlock(); }
void lockDestroy(Lock* lock) { delete lock; }

// ---- Time ------------------------------------------------------------------

uint32_t tickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms) + tickOffset.load();
}

void sleepMs(uint32_t ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

void yieldThread() { sched_yield(); }

int localTime(LocalTime* out, int32_t* biasMinutes) {
  {
    std::lock_guard<std::mutex> g(fixedTimeGuard);
    if (fixedTimeSet) {
      *out = fixedTime.time;
      *biasMinutes = fixedTime.biasMinutes;
      return fixedTime.daylight ? 2 : 1;
    }
  }
  tzset();
  time_t now = time(nullptr);
  tm t;
  localtime_r(&now, &t);
  out->year = t.tm_year + 1900;
  out->month = t.tm_mon + 1;
  out->dayOfWeek = t.tm_wday;
  out->day = t.tm_mday;
  out->hour = t.tm_hour;
  out->minute = t.tm_min;
  out->second = t.tm_sec;
  // `timezone` is seconds west of UTC in standard time, the sign of the bias.
  *biasMinutes = static_cast<int32_t>(timezone / 60);
  return t.tm_isdst > 0 ? 2 : 1;
}

// ---- Formatted print ------------------------------------------------------

int formatText(char* area, size_t size, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = formatTextV(area, size, format, args);
  va_end(args);
  return n;
}

int formatTextV(char* area, size_t size, const char* format, va_list args) {
  if (area == nullptr || size == 0) return 0;
  if (size > 1024) size = 1024;
  // The library passes 32-bit values for every integer conversion, "%ld" and
  // "%lx" included; drop the length modifier so that they are read as such.
  char pattern[1024];
  size_t o = 0;
  for (const char* p = format; *p != 0 && o + 1 < sizeof pattern; ++p) {
    if (*p == 'l' && o > 0) {
      // Only inside a conversion: look back for an unclosed '%'.
      size_t k = o;
      while (k > 0 && strchr("0123456789-+ #.", pattern[k - 1]) != nullptr) --k;
      if (k > 0 && pattern[k - 1] == '%') continue;
    }
    pattern[o++] = *p;
  }
  pattern[o] = 0;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = vsnprintf(area, size, pattern, args);
#pragma GCC diagnostic pop
  if (n < 0) {
    area[0] = 0;
    return 0;
  }
  return static_cast<size_t>(n) >= size ? static_cast<int>(size - 1) : n;
}

// ---- Message box ----------------------------------------------------------

void messageBox(const char* text, const char* title) {
  MessageSink sink = messageSink.load();
  if (sink != nullptr) {
    sink(text, title);
    return;
  }
  fprintf(stderr, "[%s] %s\n", title, text);
}

// ---- Test hooks ----------------------------------------------------------

void setTickOffset(uint32_t offset) { tickOffset.store(offset); }

void setFixedTime(const FixedTime* fixed) {
  std::lock_guard<std::mutex> g(fixedTimeGuard);
  fixedTimeSet = fixed != nullptr;
  if (fixed != nullptr) fixedTime = *fixed;
}

void setMessageSink(MessageSink sink) { messageSink.store(sink); }

int socketCloseCount() { return closeCount.load(); }

}  // namespace plat
