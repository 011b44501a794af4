// Socket input and output and the reply rules of both protocols.
#include "driver/transport.h"

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/text.h"

namespace pel {
namespace {

constexpr int32_t kReplyRoom = 1024;

// The socket library's descriptor sets are shared by every channel, so the
// query runs under the library lock.
int query(plat::Socket s, int mode) {
  if (libraryLock != nullptr) plat::lockTake(libraryLock);
  int r = plat::querySocket(s, static_cast<plat::Readiness>(mode));
  if (libraryLock != nullptr) plat::lockRelease(libraryLock);
  return r;
}

void pollSleep() { plat::sleepMs(static_cast<uint32_t>(globalParams.pollSleep)); }

void waitForBlockingCall() {
  while (plat::blockingCallInProgress()) pollSleep();
}

int32_t takeBytes(ChannelBlock* b, char* destination, int32_t count, bool peek) {
  if (!socketReady(b->socket, kWritable)) return -1;
  if (!waitReadable(b->socket, 0)) return 0;
  if (count <= 0) return 0;
  int r = plat::receive(b->socket, destination, count, peek);
  return r > 0 ? r : -1;
}

// Copies a reply line into `lastReplyLine`.
void keepReplyLine(ChannelBlock* b, const char* line, int32_t limit) {
  copyText(b->lastReplyLine, line, limit);
}

// A reply line is final when its fourth character is a blank, or when it ends
// there: a bare three-digit code is a whole reply.
bool finalReplyLine(const char* line, int32_t length) {
  if (length <= 3) return true;
  return line[3] == ' ' || line[3] == '\r' || line[3] == '\n';
}

}  // namespace

int socketReady(plat::Socket s, int mode) { return query(s, mode) != 0 ? 1 : 0; }

// The wait loop of both waits: looks again every integer parameter 13 ms
// until `look` answers 1 (ready) or 0 (give up), or the limit has passed.
template <typename Look>
int waitFor(int32_t limitMs, Look look) {
  uint32_t end = 0;
  for (bool first = true;; first = false) {
    int answer = look();
    if (answer >= 0) return answer;
    uint32_t now = plat::tickCount();
    if (first) end = now + static_cast<uint32_t>(limitMs);
    if (!tickBefore(now, end)) return 0;
    pollSleep();
  }
}

int waitReadable(plat::Socket s, int32_t limitMs) {
  return waitFor(limitMs, [s] { return socketReady(s, kReadable) ? 1 : -1; });
}

int waitWritable(plat::Socket s, int32_t limitMs) {
  return waitFor(limitMs, [s] {
    if (socketReady(s, kException)) return 0;
    return socketReady(s, kWritable) ? 1 : -1;
  });
}

int32_t putBytes(plat::Socket s, const char* bytes, int32_t count) {
  int r = plat::sendBytes(s, bytes, count);
  return r < 0 ? -1 : r;
}

int32_t putLine(plat::Socket s, char* text) {
  int32_t length = textLength(text);
  text[length] = '\r';
  text[length + 1] = '\n';
  text[length + 2] = 0;
  int32_t r = putBytes(s, text, length + 2);
  text[length] = 0;
  return r;
}

int32_t peekBytes(ChannelBlock* b, char* destination, int32_t count) {
  return takeBytes(b, destination, count, true);
}

int32_t receiveBytes(ChannelBlock* b, char* destination, int32_t count) {
  int32_t r = takeBytes(b, destination, count, false);
  if (r > 0) b->lastReceivedChar = destination[r];
  return r;
}

int32_t receiveChunk(ChannelBlock* b, char* destination, int32_t size) {
  if (size < 2) return 0;
  int32_t seen = peekBytes(b, destination, size - 1);
  if (seen <= 0) return seen;
  // The line feed is looked for over every byte seen, NUL bytes included, so
  // that a chunk never takes more than one line out of the socket.
  int32_t take = seen;
  for (int32_t i = 0; i < seen; ++i) {
    if (destination[i] == '\n') {
      take = i + 1;
      break;
    }
  }
  int32_t r = receiveBytes(b, destination, take);
  if (r > 0) destination[r] = 0;
  return r;
}

int32_t receiveLine(ChannelBlock* b, char* destination, int32_t size, int32_t firstWait,
                    int32_t nextWait) {
  if (!waitReadable(b->socket, firstWait)) return 0;
  int32_t r = receiveChunk(b, destination, size);
  if (r <= 0) return r;
  int32_t total = r;
  for (;;) {
    if (total >= size - 1 || destination[total - 1] == '\n') return total;
    if (!waitReadable(b->socket, nextWait)) return total;
    r = receiveChunk(b, destination + total, size - total);
    if (r <= 0) return r;
    total += r;
  }
}

int32_t readSmtpReply(ChannelBlock* b) {
  b->replyCode = 0;
  char* position = b->replyText;
  int32_t room = kReplyRoom;
  const int32_t lineWait = 4 * globalParams.smtpDataLimit;
  for (bool firstLine = true;; firstLine = false) {
    // The first line is already there; a later one may still be on its way.
    int32_t n = receiveLine(b, position, room, firstLine ? 0 : lineWait, lineWait);
    if (n == -1) return 0;
    // Nothing arrived to judge: the rest of the reply never came.
    if (n <= 0) return kErrTimedOut;
    keepReplyLine(b, position, 127);
    if (b->replyCode == 0) b->replyCode = leadingNumber(position);
    if (b->replyCode >= 500) {
      logReply(b, position);
      return kErrSmtpError;
    }
    if (finalReplyLine(position, n)) return 0;
    logReply(b, position);
    position += n;
    room -= n;
    if (room <= 1) return kErrResponseOverflow;
  }
}

int32_t readPop3Reply(ChannelBlock* b) {
  b->deadline = 0;
  const int32_t wait = globalParams.pop3DataLimit;
  if (!waitReadable(b->socket, wait)) return kErrTimedOut;
  int32_t n = receiveLine(b, b->replyText, kReplyRoom, 0, 4 * wait);
  if (n == -1) return 0;
  if (n <= 0) return kErrTimedOut;
  keepReplyLine(b, b->replyText, kTextMax);
  if (b->replyText[0] == '+') {
    b->replyCode = 100;
    return 0;
  }
  b->replyCode = 500;
  logReply(b, b->replyText);
  return kErrPop3Error;
}

int32_t leadingNumber(const char* text) {
  uint32_t value = 0;
  for (int i = 0; i < 10 && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + static_cast<uint32_t>(text[i] - '0');
  }
  return static_cast<int32_t>(value);
}

void logReply(ChannelBlock* b, const char* text) {
  if (!logOpen(b)) return;
  logText(b, "R: ");
  logText(b, text);
  logText(b, "\r\n");
}

void closeChannelSocket(ChannelBlock* b) {
  logText(b, "Closing socket\r\n");
  if (b->socket == plat::kNoSocket) return;
  waitForBlockingCall();
  plat::lockTake(libraryLock);
  plat::lingerAndClose(b->socket);
  plat::sleepMs(500);
  plat::lockRelease(libraryLock);
  b->socket = plat::kNoSocket;
  channelTable[b->channel].socket = plat::kNoSocket;
}

}  // namespace pel
