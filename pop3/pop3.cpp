// POP3 login and mailbox queries, and the raw command of both protocols.
#include "pop3/pop3.h"

#include "driver/connect.h"
#include "driver/driver.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/text.h"
#include "pel32.h"

namespace pel {
namespace {

constexpr int32_t kCommandMax = 32;
// Servers commonly slow down a login on purpose, so the reply to "PASS" is
// not looked for sooner than this, whatever integer parameter 1 says.
constexpr uint32_t kPasswordWait = 500;
constexpr int32_t kLineRoom = 1024;

// Message numbers below 1 ask for the whole identifier listing. Message 0
// reads as the listing both when "UIDL" is sent and when its lines are
// read, so that the command and the reading of its answer always agree.
bool wantsListing(const ChannelBlock* b) { return b->messageNumber < 1; }

void pollSleep() { plat::sleepMs(static_cast<uint32_t>(globalParams.pollSleep)); }

// The login replies: while the server is silent each driver call costs one
// poll and a short sleep; a refusal ends the session.
int32_t pollLoginReply(ChannelBlock* b) {
  int32_t r = pollPop3Reply(b);
  if (r == kReplyPending) pollSleep();
  return r;
}

// The mailbox queries whose refusal is an answer, not a failure: the state
// stays while nothing has arrived; an accepted reply runs `accepted`; the
// work ends either way, the connection kept.
template <typename Accepted>
int32_t onAnswer(ChannelBlock* b, Accepted accepted) {
  int32_t r = pollPop3Reply(b);
  if (r == kReplyPending) return 0;
  if (r == 0) accepted();
  goTo(b, 0);
  return 0;
}

// Appends received bytes to the caller's buffer while there is room and keeps
// it terminated; bytes beyond the room are dropped.
void appendToUserBuffer(ChannelBlock* b, const char* bytes, int32_t count) {
  for (int32_t i = 0; i < count && b->userBufferLength < b->userBufferSize; ++i) {
    b->userBuffer[b->userBufferLength++] = bytes[i];
  }
  b->userBuffer[b->userBufferLength] = 0;
}

// The end of a mailbox operation that returns a value of its own: a failure,
// or 0 when the application drives the channel, or the value.
int32_t resultOf(const ChannelBlock* b, int32_t driven, int32_t value) {
  if (driven < 0) return driven;
  return b->autoDrive ? value : 0;
}

}  // namespace

int32_t statCount(const char* reply) {
  if (textLength(reply) < 4) return 0;
  return leadingNumber(reply + 4);
}

int32_t listedSize(const char* reply) {
  const char* first = findChar(reply, ' ');
  if (first == nullptr) return 0;
  const char* second = findChar(first + 1, ' ');
  if (second == nullptr) return 0;
  return leadingNumber(second + 1);
}

int32_t pop3StartConnection(ChannelBlock* b, uint32_t) {
  writeBanner(b);
  b->resumeState = 301;
  goTo(b, 101);
  return 0;
}

int32_t readPop3Greeting(ChannelBlock* b, uint32_t now) {
  return onReply(b, pollPop3Reply(b), [&] {
    paceReply(b, now);
    goTo(b, 302);
  });
}

int32_t sendUser(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 303, kErrSocketRead, "USER %s", b->userName);
}

int32_t readUserReply(ChannelBlock* b, uint32_t) {
  return onReply(b, pollLoginReply(b), [&] {
    b->waitSocket = 1;
    goTo(b, 304);
  });
}

int32_t sendPassword(ChannelBlock* b, uint32_t now) {
  int32_t r = sendCommand(b, now, 305, kErrSocketRead, "PASS %s", b->password);
  if (r < 0) return r;
  pace(b, now, kPasswordWait, static_cast<uint32_t>(globalParams.replyLimit));
  return 0;
}

int32_t readPasswordReply(ChannelBlock* b, uint32_t) {
  return onReply(b, pollLoginReply(b), [&] { goTo(b, 0); });
}

int32_t sendStat(ChannelBlock* b, uint32_t now) {
  int32_t r = sendCommand(b, now, 307, kErrSocketRead, "STAT");
  if (r < 0) return r;
  b->mailboxCount = 0;
  return 0;
}

// A refused "STAT" is an answer, not a failure: the count stays 0.
int32_t readStatReply(ChannelBlock* b, uint32_t) {
  return onAnswer(b, [&] { b->mailboxCount = statCount(b->replyText); });
}

int32_t sendDelete(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 316, kErrSocketRead, "DELE %d", b->messageNumber);
}

// A refused "DELE" is reported through the reply line only.
int32_t readDeleteReply(ChannelBlock* b, uint32_t) {
  return onAnswer(b, [] {});
}

int32_t sendList(ChannelBlock* b, uint32_t now) {
  int32_t r = sendCommand(b, now, 318, kErrSocketRead, "LIST %d", b->messageNumber);
  if (r < 0) return r;
  b->messageSize = 0;
  return 0;
}

// A refused "LIST" is an answer, not a failure: the size stays 0.
int32_t readListReply(ChannelBlock* b, uint32_t) {
  return onAnswer(b, [&] { b->messageSize = listedSize(b->replyText); });
}

int32_t sendUidl(ChannelBlock* b, uint32_t now) {
  if (wantsListing(b)) return sendCommand(b, now, 321, kErrSocketWrite, "UIDL");
  return sendCommand(b, now, 321, kErrSocketWrite, "UIDL %d", b->messageNumber);
}

// One line of the identifier answer per step. The status line is kept as it
// came, like every line after it; the closing '.' line is not kept.
int32_t readUidlLine(ChannelBlock* b, uint32_t now) {
  const int32_t wait = globalParams.pop3DataLimit;
  if (!waitReadable(b->socket, wait)) return 0;
  int32_t n = receiveLine(b, b->replyText, kLineRoom, wait, 4 * wait);
  // -1, a closed or failing connection, is the only negative result of
  // receiveLine: the answer ends with what has arrived.
  if (n < 0) {
    goTo(b, 0);
    return 0;
  }
  // Nothing taken although data was announced: look again next step.
  if (n == 0) return 0;
  b->replyText[n] = 0;
  if (b->replyText[0] == '.' && b->replyText[1] != '.') {
    if (b->userBufferLength < b->userBufferSize) b->userBuffer[b->userBufferLength] = 0;
    goTo(b, 0);
    return 0;
  }
  appendToUserBuffer(b, b->replyText, n);
  if (!wantsListing(b)) {
    goTo(b, 0);
    return 0;
  }
  // The rest of the listing is read to its end even when the buffer is full.
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  return 0;
}

// The raw command goes out as the application wrote it, cut to its field.
int32_t sendPop3Command(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 399, kErrSocketWrite, "%s", b->commandText);
}

// Only the first line of the answer is read; a multi-line answer leaves the
// rest on the connection.
int32_t readPop3CommandReply(ChannelBlock* b, uint32_t) {
  return onReply(b, pollPop3Reply(b), [&] { goTo(b, 0); });
}

int32_t sendSmtpCommand(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 299, kErrSocketWrite, "%s", b->commandText);
}

int32_t readSmtpCommandReply(ChannelBlock* b, uint32_t) {
  return onReply(b, pollSmtpReply(b), [&] { goTo(b, 0); });
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelPop3Connect(int32_t chan, const char* server, const char* user,
                              const char* password) {
  // Marked before any argument is tested: a refused call still leaves a
  // POP3 channel behind.
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelPop3Connect", 0, 0, false, 'P'}, &r);
  if (b == nullptr) return r;
  if (server == nullptr) return kErrNoServer;
  if (user == nullptr) return kErrNoUser;
  if (password == nullptr) return kErrNoPassword;
  if (!validServerName(server)) return kErrIllegalServer;
  copyText(b->serverName, server, kTextMax);
  copyText(b->userName, user, kTextMax);
  copyText(b->password, password, kTextMax);
  b->port = b->popPort;
  b->mailboxCount = 0;
  b->attachmentsSaved = 0;
  return armAndDrive(b, 300, SocketWait::Clear);
}

int32_t PELAPI pelGetEmailCount(int32_t chan) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelGetEmailCount", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  r = armAndDrive(b, 306, SocketWait::Set);
  return resultOf(b, r, b->mailboxCount);
}

int32_t PELAPI pelGetEmailSize(int32_t chan, int32_t message) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelGetEmailSize", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  if (message < 1) return kErrNoSuchMessage;
  b->messageNumber = message;
  r = armAndDrive(b, 317, SocketWait::Set);
  return resultOf(b, r, b->messageSize);
}

int32_t PELAPI pelDeleteEmail(int32_t chan, int32_t message) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelDelete", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  if (message < 1) return kErrNoSuchMessage;
  b->messageNumber = message;
  return armAndDrive(b, 315, SocketWait::Set);
}

int32_t PELAPI pelGetEmailUID(int32_t chan, int32_t message, char* buffer, int32_t size) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelGetEmailUID", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  if (buffer == nullptr) return kErrBufferNull;
  if (size < 128) return kErrBufferSmall;
  b->messageNumber = message;
  b->userBuffer = buffer;
  b->userBufferSize = size - 1;
  b->userBufferLength = 0;
  // Emptied now, so that a connection closed before the first identifier
  // line leaves an empty text and the result 0, not the caller's old bytes.
  buffer[0] = 0;
  r = armAndDrive(b, 320, SocketWait::Set);
  return resultOf(b, r, textLength(buffer));
}

int32_t PELAPI pelCommand(int32_t chan, const char* text) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelCommand"}, &r);
  if (b == nullptr) return r;
  if (text == nullptr) return kErrNullPointer;
  copyText(b->commandText, text, kCommandMax);
  b->resumeState = 0;
  b->socketError = 0;
  int32_t first = 0;
  if (b->protocol == 'P') {
    first = 398;
  } else if (b->protocol == 'S') {
    first = 298;
  } else {
    // No session on the channel: the code is the one of an unusable server.
    return kErrIllegalServer;
  }
  return armAndDrive(b, first, SocketWait::Keep, TimerReset::WhenDriving);
}
