// Connecting to a server and ending the connection.
#include "driver/connect.h"

#include <cstring>

#include "driver/driver.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pel32.h"
#include "pop3/retrieve.h"
#include "smtp/smtp.h"

namespace pel {
namespace {

// Byte order: network order is most significant byte first.
uint32_t toNetwork32(uint32_t v) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                            static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint32_t out;
  std::memcpy(&out, bytes, 4);
  return out;
}

uint32_t fromNetwork32(uint32_t v) {
  uint8_t bytes[4];
  std::memcpy(bytes, &v, 4);
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         bytes[3];
}

uint16_t toNetwork16(uint16_t v) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
  uint16_t out;
  std::memcpy(&out, bytes, 2);
  return out;
}

// The slot texts are freed by pelClose; the block forgets them too.
void forgetSlotTexts(ChannelBlock* b) {
  b->toList = nullptr;
  b->ccList = nullptr;
  b->bccList = nullptr;
  b->subject = nullptr;
  b->extraHeaders = nullptr;
  b->messageText = emptyText;
  b->attachList = nullptr;
  b->nextAttach = nullptr;
  b->cutPoint = nullptr;
  b->recipientCursor = nullptr;
  b->recipient = nullptr;
  b->userBuffer = nullptr;
}

}  // namespace

int validServerName(const char* text) {
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; ++p) {
    if (*p == '<' || *p == '>' || *p == '@') return 0;
    bool printable = *p >= 32 && *p <= 126;
    bool upper = *p >= 192;
    if (!printable && !upper) return 0;
  }
  return 1;
}

int isDottedQuad(const char* text) {
  const char* p = text;
  for (int field = 0; field < 4; ++field) {
    int value = 0;
    while (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      if (value > 255) return 0;
      ++p;
    }
    if (field < 3) {
      if (*p != '.') return 0;  // a non-digit, or the end before the fourth field
      ++p;
    } else if (*p != '.' && *p != 0) {
      return 0;
    }
  }
  return 1;
}

uint32_t parseDottedQuad(const char* text) {
  uint32_t address = 0;
  const char* p = text;
  for (int field = 0; field < 4; ++field) {
    uint32_t value = 0;
    while (*p >= '0' && *p <= '9') value = value * 10 + static_cast<uint32_t>(*p++ - '0');
    address = (address << 8) | (value & 0xFF);
    if (*p == '.') ++p;
  }
  return address;
}

void localHostName(char* area, int32_t size) {
  area[0] = 0;
  plat::localHostName(area, size);
}

int32_t lookupServer(ChannelBlock* b) {
  while (plat::blockingCallInProgress())
    plat::sleepMs(static_cast<uint32_t>(globalParams.pollSleep));
  uint32_t address = 0;
  int error = plat::lookupHost(b->serverName, &address);
  if (error != 0) return -error;
  b->hostEntry = address;
  // An address that merely repeats the name's first bytes is not usable.
  bool echoesName = true;
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
  for (int i = 0; i < 4; ++i) {
    if (bytes[i] != static_cast<uint8_t>(b->serverName[i])) echoesName = false;
  }
  if (address == 0 || echoesName) return 0;
  b->serverAddress = fromNetwork32(address);
  return 1;
}

int32_t startConnect(int32_t channel, uint32_t address, int16_t port) {
  ChannelEntry& entry = channelTable[channel];
  ChannelBlock* b = entry.block;
  logFormat(b, "Socket=%d, RemoteAddr=%lx, RemotePort=%d\r\n", static_cast<int32_t>(b->socket),
            address, static_cast<int32_t>(port));
  entry.remoteAddress.family = 2;
  entry.remoteAddress.port = toNetwork16(static_cast<uint16_t>(port));
  entry.remoteAddress.address = toNetwork32(address);
  for (uint8_t& z : entry.remoteAddress.zero) z = 0;
  int error = plat::connectSocket(b->socket, address, static_cast<uint16_t>(port));
  if (error != 0 && error != plat::kWouldBlock) return -error;
  return 1;
}

int32_t smtpStartConnection(ChannelBlock* b, uint32_t) {
  writeBanner(b);
  b->resumeState = 201;
  goTo(b, 101);
  return 0;
}

int32_t getLocalHostName(ChannelBlock* b, uint32_t) {
  localHostName(b->replyText, 2048);
  logFormat(b, "LocalHost = '%s'\r\n", b->replyText);
  goTo(b, 104);
  return 0;
}

int32_t findServerAddress(ChannelBlock* b, uint32_t) {
  logFormat(b, "Server = '%s'\r\n", b->serverName);
  if (isDottedQuad(b->serverName)) {
    b->serverAddress = parseDottedQuad(b->serverName);
  } else {
    int32_t r = lookupServer(b);
    if (r < 1) return failStep(b, r, kErrServerNotFound);
  }
  goTo(b, 105);
  if (logOpen(b)) {
    char dotted[18];
    formatDottedQuad(b->serverAddress, dotted, sizeof dotted);
    logFormat(b, "ServerIP = %s\r\n", dotted);
  }
  return 0;
}

int32_t createSocketAndConnect(ChannelBlock* b, uint32_t now) {
  plat::lockTake(libraryLock);
  plat::Socket s = plat::createStreamSocket();
  plat::lockRelease(libraryLock);
  // No error exit: the state stays, and the next call tries again.
  if (s == plat::kNoSocket) return kErrInvalidSocket;
  if (b->nonBlocking == 1) {
    b->ioctlArg = 1;
    plat::setNonBlocking(s, b->ioctlArg);
  }
  b->socket = s;
  channelTable[b->channel].socket = s;
  int32_t r = startConnect(b->channel, b->serverAddress, b->port);
  if (r < 0) return failStep(b, r, kErrConnect);
  b->waitSocket = 0;
  pace(b, now, static_cast<uint32_t>(globalParams.afterSendPause),
       static_cast<uint32_t>(globalParams.connectLimit));
  goTo(b, 106);
  return 0;
}

int32_t awaitConnect(ChannelBlock* b, uint32_t now) {
  plat::Socket s = channelTable[b->channel].socket;
  if (socketReady(s, kException)) return failStep(b, 0, kErrConnect);
  if (!socketReady(s, kWritable)) return 0;
  if (b->nonBlocking == 1) {
    b->ioctlArg = 0;
    plat::setNonBlocking(s, b->ioctlArg);
  }
  paceReply(b, now);
  goTo(b, b->resumeState);
  return 0;
}

int32_t sendQuit(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 259, kErrSocketWrite, "QUIT");
}

int32_t readQuitReply(ChannelBlock* b, uint32_t) {
  int32_t polled = b->protocol == 'S' ? pollSmtpReply(b) : pollPop3Reply(b);
  return onReply(b, polled, [&] {
    closeChannelSocket(b);
    goTo(b, 0);
  });
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelClose(int32_t chan) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelClose"}, &r);
  if (b == nullptr) return r;
  // Files that a failed step left open are closed with the channel: the
  // file being sent, or the files of a retrieval.
  if (b->protocol == 'S') {
    closeLeftoverFile(b);
  } else {
    endUnfinishedRetrieval(b);
  }
  r = armAndDrive(b, 258, SocketWait::Set);
  if (b->autoDrive == 0) return r;
  FreeMemory(chan, kSlotToList, kSlotRetrieval);
  forgetSlotTexts(b);
  b->protocol = 0;
  return r;
}

int32_t PELAPI pelAbort(int32_t chan) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelAbort"}, &r);
  if (b == nullptr) return r;
  b->resumeState = 0;
  b->socketError = 0;
  b->autoDrive = 1;
  b->nextState = 0;
  closeChannelSocket(b);
  return 1;
}
