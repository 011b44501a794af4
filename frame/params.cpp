// Integer and string parameters.
#include "frame/params.h"

#include "frame/channel.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pel32.h"

namespace pel {

GlobalParams globalParams = {
    20,     // after-send pause
    25000,  // reply limit
    0,      // line pause
    60000,  // connect limit
    25000,  // SMTP data limit
    25000,  // POP3 data limit
    100,    // poll sleep
    61,     // wrap column
    78,     // wrap length
    1,      // release the socket library
    0,      // keep control characters
    0,      // no saved note
    0,      // omit To line
    ',',    // recipient separator
    ',',    // list separator
    '|',    // path/name separator
};

char bodyTypeLine[130];
char bodyEncodingLine[130];
uint8_t bodyEncodingLength = 0;

namespace {

char low8(int32_t value) { return static_cast<char>(value & 0xFF); }

// Stores a per-channel or process-wide value; false for a code that sets nothing.
bool storeIntegerParam(ChannelBlock* b, uint32_t code, int32_t value) {
  GlobalParams& g = globalParams;
  switch (code) {
    case 1:
      g.afterSendPause = value;
      return true;
    case 2:
      g.replyLimit = value;
      return true;
    case 3:
      g.connectLimit = value;
      return true;
    case 5:
      g.linePause = value;
      return true;
    case 6:
      g.smtpDataLimit = value;
      g.pop3DataLimit = value;
      return true;
    case 8:
      b->bodyType = value & 0x0F;
      return true;
    case 9:
      b->autoDrive = value & 1;
      b->wakeTime = 0;
      b->deadline = 0;
      return true;
    case 10:
      b->numberAttachNames = value;
      return true;
    case 11:
      g.smtpDataLimit = value;
      return true;
    case 12:
      g.pop3DataLimit = value;
      return true;
    case 13:
      g.pollSleep = value;
      return true;
    case 14:
      b->saveUnnamedParts = value;
      return true;
    case 15:
      b->smtpPort = static_cast<int16_t>(value & 0xFFFF);
      return true;
    case 16:
      b->popPort = static_cast<int16_t>(value & 0xFFFF);
      return true;
    case 17:
      g.wrapLength = value;
      return true;
    case 18:
      b->nonBlocking = value == 0 ? 1 : 0;
      return true;
    case 19:
      g.keepControlChars = low8(value);
      return true;
    case 21:
      g.noSavedNote = low8(value);
      return true;
    case 22:
      g.omitToLine = low8(value);
      return true;
    case 23:
      g.recipientSeparator = low8(value);
      return true;
    case 24:
      g.releaseWinsock = low8(value);
      return true;
    case 25:
      g.listSeparator = low8(value);
      return true;
    case 26:
      g.pathNameSeparator = low8(value);
      return true;
    case 27:
      b->imageTypes = low8(value);
      return true;
    default:
      return false;
  }
}

// Ends the stored header text at its line end, looking from its third-last
// character on. Returns 1 + the characters looked at before the line end.
int32_t trimHeaderText(char* text) {
  int32_t length = textLength(text);
  int32_t start = length < 3 ? 0 : length - 3;
  int32_t looked = 0;
  for (int32_t i = start; i < length; ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      text[i] = 0;
      break;
    }
    ++looked;
  }
  return 1 + looked;
}

int32_t storeHeaderText(ChannelBlock* b, const char* text) {
  b->extraHeaders = AllocAndCopy(b->channel, kSlotHeaders, text);
  if (b->extraHeaders == nullptr) {
    FreeMemory(b->channel, kSlotHeaders, kSlotHeaders);
    return 0;
  }
  return trimHeaderText(b->extraHeaders);
}

int32_t appendHeaderLine(ChannelBlock* b, const char* text) {
  if (b->extraHeaders == nullptr) return storeHeaderText(b, text);
  // The combined text is composed in `logLine`. One that would not fit there
  // is refused, and the header lines already set stay as they are.
  int32_t combined = textLength(b->extraHeaders) + 2 + textLength(text);
  if (combined > kLineArea - 2) return -1;
  copyText(b->logLine, b->extraHeaders, kLineArea - 2);
  appendText(b->logLine, "\r\n", 2);
  appendText(b->logLine, text, kLineArea - 2 - textLength(b->logLine));
  FreeMemory(b->channel, kSlotHeaders, kSlotHeaders);
  b->extraHeaders = nullptr;
  return storeHeaderText(b, b->logLine);
}

int32_t openLog(ChannelBlock* b, const char* path) {
  int handle = plat::fileCreate(path);
  b->logFile = handle > 0 ? handle : 0;
  return handle > 0 ? handle : -1;
}

int32_t saveRetrievalBuffer(ChannelBlock* b, const char* path) {
  int32_t id = b->channel * kSlotKinds + kSlotRetrieval;
  const char* buffer = slotAddress(id);
  if (buffer == nullptr) return kErrNullPointer;
  int handle = plat::fileCreate(path);
  if (handle <= 0) return kErrCannotCreate;
  int32_t length = 0;
  int32_t size = slotSize(id);
  while (length < size && buffer[length] != 0) ++length;
  int written = plat::fileWrite(handle, buffer, length);
  plat::fileClose(handle);
  return written;
}

int32_t storeProcessText(char* area, const char* text) { return copyText(area, text, kTextMax); }

}  // namespace
}  // namespace pel

using namespace pel;

int32_t PELAPI pelIntegerParam(int32_t chan, int32_t code, int32_t value) {
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  ChannelBlock* b = blockOf(chan);
  logFormat(b, "*** pelIntegerParam(%d,%d,%ld)\r\n", chan, code, value);
  return storeIntegerParam(b, static_cast<uint32_t>(code), value) ? 1 : -1;
}

int32_t PELAPI pelStringParam(int32_t chan, int32_t code, const char* text) {
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  if (text == nullptr) return kErrNullPointer;
  ChannelBlock* b = blockOf(chan);
  logFormat(b, "*** pelStringParam(%d,%d,%s)\r\n", chan, code, text);
  switch (code) {
    case STRPARAM_OPEN_LOG:
      return openLog(b, text);
    case STRPARAM_SAVE_RETRIEVAL:
      return saveRetrievalBuffer(b, text);
    case STRPARAM_REPLY_ADDRESS:
      return copyText(b->replyToAddress, text, kTextMax);
    case STRPARAM_HEADER_LINES:
      if (text[0] == 0) {
        FreeMemory(b->channel, kSlotHeaders, kSlotHeaders);
        b->extraHeaders = nullptr;
        return 0;
      }
      return storeHeaderText(b, text);
    case STRPARAM_LOG_NOTE:
      if (b->logFile == 0) return 0;
      logFormat(b, "%s\r\n", text);
      return b->logFile;
    case STRPARAM_SENDER_ADDRESS:
      return copyText(b->fromAddress, text, kTextMax);
    case STRPARAM_BODY_TYPE_LINE:
      return storeProcessText(bodyTypeLine, text);
    case STRPARAM_BODY_ENCODING_LINE: {
      int32_t n = storeProcessText(bodyEncodingLine, text);
      bodyEncodingLength = static_cast<uint8_t>(n & 0xFF);
      return n;
    }
    case STRPARAM_APPEND_HEADER:
      return appendHeaderLine(b, text);
    default:
      return -1;
  }
}
