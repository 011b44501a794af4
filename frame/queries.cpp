// Statistics and debug queries: read-only views of a channel.
#include "driver/transport.h"
#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/slots.h"
#include "pel32.h"
#include "smtp/compose.h"

namespace pel {
namespace {

// Copies at most size - 1 characters of a text of at most `limit` bytes and
// terminates it; returns the characters placed.
int32_t placeText(char* buffer, int32_t size, const char* text, int32_t limit) {
  int32_t n = 0;
  while (n < size - 1 && n < limit && text[n] != 0) {
    buffer[n] = text[n];
    ++n;
  }
  buffer[n] = 0;
  return n;
}

int32_t lastReplyLineQuery(ChannelBlock* b, char* buffer, int32_t size) {
  int32_t n = placeText(buffer, size, b->lastReplyLine, kTextField);
  // The length leaves out the line end, the text keeps it.
  if (n > 2 && buffer[n - 2] == '\r') return n - 2;
  return n;
}

int32_t localAddressQuery(ChannelBlock* b, char* buffer, int32_t size) {
  uint32_t address = 0;
  if (size <= 16 || plat::localAddress(b->socket, &address) != 0) return 0;
  return formatDottedQuad(address, buffer, size);
}

int32_t retrievalBufferQuery(ChannelBlock* b, char* buffer, int32_t size) {
  int32_t id = b->channel * kSlotKinds + kSlotRetrieval;
  const char* text = slotAddress(id);
  if (text == nullptr) return kErrNullPointer;
  return placeText(buffer, size, text, slotSize(id));
}

// The Date line query reports 0, whatever it placed.
int32_t dateLineQuery(ChannelBlock* b, char* buffer, int32_t size) {
  formatDateLine(b->logLine, kLineArea);
  placeText(buffer, size, b->logLine, kLineArea);
  return 0;
}

}  // namespace
}  // namespace pel

using namespace pel;

int32_t PELAPI pelStatistics(int32_t chan, int32_t code) {
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  const ChannelBlock* b = blockOf(chan);
  switch (code) {
    case 2:
      return b->stepCount;
    case 3:
      return b->replyCode;
    case 4:
      return b->socketError;
    case 10:
      return b->dataBytes;
    case 11:
      return b->fileBytes;
    case 12:
      return b->dataBytes + b->fileBytes;
    case 13:
      return b->textBytesSent;
    case 14:
      return b->encodedBytesSent;
    case 15:
      return b->textBytesSent + b->encodedBytesSent;
    case 16:
      return kVersion;
    case 17:
      return b->mailboxCount;
    case 18:
      return b->messageSize;
    case 19:
      return b->userBufferLength;
    case 20:
      if (socketReady(b->socket, kException)) return kErrConnect;
      return socketReady(b->socket, kWritable);
    case 22:
      return b->attachmentsSaved;
    case 24:
      return b->verifyResult;
    case 26:
      return kBuild;
    case 27:
      return static_cast<int32_t>(b->socket);
    default:
      return -1;
  }
}

// Every code writes at most `size` bytes, terminator included.
int32_t PELAPI pelDebug(int32_t chan, int32_t code, char* buffer, int32_t size) {
  if (chan == -2) {
    checkAllSlots("pelDebug");
    return 0;
  }
  if (buffer == nullptr || size < 1) return 0;
  buffer[0] = 0;
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  ChannelBlock* b = blockOf(chan);
  switch (code) {
    case -12:
      return dateLineQuery(b, buffer, size);
    case 23:
      return lastReplyLineQuery(b, buffer, size);
    case 25:
      return formatDottedQuad(b->serverAddress, buffer, size);
    case 28:
      return localAddressQuery(b, buffer, size);
    case 29:
      return placeText(buffer, size, b->savedNames, sizeof b->savedNames);
    case 30:
      return placeText(buffer, size, b->lastRecipient, sizeof b->lastRecipient);
    case 40:
      return retrievalBufferQuery(b, buffer, size);
    default:
      placeText(buffer, size, "?", 1);
      return 0;
  }
}
