// Composition of a sent message: the header block, the message text and the
// end of data.
#include "smtp/compose.h"

#include <cstring>

#include "driver/driver.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/text.h"
#include "smtp/smtp.h"

namespace pel {
namespace {

constexpr int32_t kReadAhead = 2048;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// The Content-Type lines of the text part types 1 to 4.
const char* const kTextTypeLines[] = {
    "Content-Type: text/plain",
    "Content-Type: text/html",
    "Content-Type: text/enriched",
    "Content-Type: text/plain; charset=iso-8859-1",
};

// The optional header states in their order: Reply-To (225), Subject (226),
// CC (227), then the MIME headings (228) or the end of the block (230). The
// first one after `after` that applies comes next.
int32_t headerStateAfter(const ChannelBlock* b, int32_t after) {
  if (after < 225 && b->replyToAddress[0] != 0) return 225;
  if (after < 226 && b->subject != nullptr) return 226;
  if (after < 227 && b->ccList != nullptr) return 227;
  return isMultipart(b) ? 228 : 230;
}

const char* textOrEmpty(const char* text) { return text != nullptr ? text : emptyText; }

// Moves the unread bytes to the front and loads more behind them.
void refillBody(ChannelBlock* b, int32_t available) {
  std::memmove(b->readBuffer, b->readBuffer + b->readPos, static_cast<size_t>(available));
  b->readPos = 0;
  char* area = b->readBuffer + available;
  const int32_t room = kReadAhead - available;
  int32_t count = 0;
  if (b->bodyFromMemory) {
    while (count < room && b->messageText[count] != 0) {
      area[count] = b->messageText[count];
      ++count;
    }
    b->messageText += count;
  } else {
    count = plat::fileRead(b->fileHandle, area, room);
  }
  // A failed read ends the text as the end of the file does.
  if (count <= 0) {
    b->readEof = 1;
    count = 0;
  }
  b->dataBytes += count;
  b->readLimit = available + count;
  b->readBuffer[b->readLimit] = 0;
}

// Writes a quoted-printable character; returns the characters written.
int32_t putQuoted(char* out, int c) {
  if (isPrintable(c) && c != '=') {
    out[0] = static_cast<char>(c);
    return 1;
  }
  out[0] = '=';
  out[1] = kHexDigits[(c >> 4) & 0x0F];
  out[2] = kHexDigits[c & 0x0F];
  return 3;
}

// One text line per step, from memory or from the file.
int32_t sendTextLine(ChannelBlock* b, uint32_t now, int32_t limit) {
  int32_t length = nextBodyLine(b, b->sendLine);
  if (length < 0) {
    if (!b->bodyFromMemory) {
      plat::fileClose(b->fileHandle);
      b->fileHandle = 0;
    }
    goTo(b, b->attachList != nullptr ? 260 : 251);
    return 0;
  }
  b->textBytesSent += length + 2;
  int32_t r = putSendLine(b);
  if (r != 0) return r;
  pace(b, now, static_cast<uint32_t>(globalParams.linePause), static_cast<uint32_t>(limit));
  b->waitSocket = 1;
  return 0;
}

}  // namespace

// The longest line the mail standards allow is 998 characters; with that
// bound a quoted-printable line (at most L + 2 characters, an extra leading
// period and CR LF) always fits `sendLine`, and the read-ahead keeps more than
// L bytes of its 2048. Below 2 a soft-broken line could hold no character.
int32_t lineLimit() {
  const int32_t limit = globalParams.wrapLength;
  if (limit < kMinLineLimit) return kMinLineLimit;
  return limit > kMaxLineLimit ? kMaxLineLimit : limit;
}

bool isMultipart(const ChannelBlock* b) { return b->attachList != nullptr || b->bodyType != 0; }

bool isPrintable(int c) { return c >= 0x20 && c <= 0x7E; }

// ---- The text reader ----------------------------------------------------------

void resetBodyReader(ChannelBlock* b) {
  b->readEof = 0;
  b->readPos = 0;
  b->readLimit = 0;
}

int nextBodyChar(ChannelBlock* b) {
  // The buffer is refilled while more than L bytes are still unread, so a
  // line never waits on a read in the middle of its look-ahead.
  if (!b->readEof) {
    const int32_t available = b->readLimit - b->readPos;
    if (available <= lineLimit()) refillBody(b, available);
  }
  if (b->readPos >= b->readLimit) return 0;
  return static_cast<unsigned char>(b->readBuffer[b->readPos++]);
}

int32_t nextBodyLine(ChannelBlock* b, char* target) {
  const int32_t limit = lineLimit();
  const bool quoted = b->bodyType != 0;
  int32_t length = 0;
  int32_t taken = 0;
  int c;
  for (;;) {
    if (b->pendingChar != 0) {
      c = static_cast<unsigned char>(b->pendingChar);
      b->pendingChar = 0;
    } else {
      c = nextBodyChar(b);
    }
    if (c == 0) break;
    ++taken;
    if (c == '\r') continue;
    if (c == '\n') break;
    if (quoted) {
      length += putQuoted(target + length, c);
      // A zero byte read ahead is no character: it is dropped here.
      b->pendingChar = static_cast<char>(nextBodyChar(b));
      // A period goes at the end of this piece rather than at the start of
      // the next, where it could read as the end of the data.
      if (length >= limit || (length == limit - 1 && b->pendingChar != '.')) {
        target[length++] = '=';
        break;
      }
    } else {
      target[length++] =
          globalParams.keepControlChars || isPrintable(c) ? static_cast<char>(c) : '~';
      if (length >= globalParams.wrapColumn && c == ' ') break;
      if (length >= limit) break;
    }
  }
  target[length] = 0;
  if (taken == 0 && c == 0) return -1;
  // SMTP transparency: a line that begins with a period gets a second one.
  if (target[0] == '.') {
    std::memmove(target + 1, target, static_cast<size_t>(length) + 1);
    target[0] = '.';
  }
  return length;
}

// ---- Header block -------------------------------------------------------------

int32_t sendMailerLine(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 222, "X-Mailer: Korvane Version 3.3");
}

int32_t sendDateLine(ChannelBlock* b, uint32_t) {
  formatDateLine(b->sendLine, kLineArea);
  int32_t r = putSendLine(b);
  if (r != 0) return r;
  goTo(b, 223);
  return 0;
}

int32_t sendToLine(ChannelBlock* b, uint32_t) {
  if (globalParams.omitToLine) {
    goTo(b, 224);
    return 0;
  }
  return sendLineThen(b, 224, "To: %s", textOrEmpty(b->toList));
}

int32_t sendFromLine(ChannelBlock* b, uint32_t) {
  const int32_t next = headerStateAfter(b, 224);
  if (b->fromAddress[0] == 0) {
    goTo(b, next);
    return 0;
  }
  return sendLineThen(b, next, "From: %s", b->fromAddress);
}

int32_t sendReplyToLine(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, headerStateAfter(b, 225), "Reply-To: %s", b->replyToAddress);
}

// The extra header lines travel with the subject: without a subject they are
// not sent.
int32_t sendSubjectLines(ChannelBlock* b, uint32_t) {
  const int32_t next = headerStateAfter(b, 226);
  if (b->extraHeaders == nullptr) return sendLineThen(b, next, "Subject: %s", b->subject);
  int32_t r = putFormatted(b, "Subject: %s", b->subject);
  if (r != 0) return r;
  return sendLineThen(b, next, "%s", b->extraHeaders);
}

// No header ever names the BCC list.
int32_t sendCcLine(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, isMultipart(b) ? 228 : 230, "CC: %s", b->ccList);
}

int32_t sendMimeVersion(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 229, "MIME-Version: 1.0");
}

int32_t sendMultipartType(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 230, "%s%c%s%c", "Content-Type: multipart/mixed; boundary=", quoteChar,
                      outgoingBoundary, quoteChar);
}

// The empty line goes out as bare bytes: `sendLine` stays empty, so the log
// shows no line for it.
int32_t endHeaderBlock(ChannelBlock* b, uint32_t) {
  int32_t sent = putBytes(b->socket, "\r\n", 2);
  if (sent < 0) return failStep(b, sent, kErrSocketWrite);
  goTo(b, isMultipart(b) ? 231 : 235);
  return 0;
}

int32_t sendTextDelimiter(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 232, "--%s", outgoingBoundary);
}

int32_t sendTextType(ChannelBlock* b, uint32_t) {
  if (b->bodyType >= 1 && b->bodyType <= 4) {
    return sendLineThen(b, 233, "%s", kTextTypeLines[b->bodyType - 1]);
  }
  if (b->bodyType == 9) return sendLineThen(b, 233, "%s", bodyTypeLine);
  // Type 0 (and any unknown type) has no transfer-encoding line: its empty
  // line follows at once.
  return sendLineThen(b, 235, "%s\r\n", "Content-Type: text/plain");
}

int32_t sendTextEncoding(ChannelBlock* b, uint32_t) {
  const char* line =
      bodyEncodingLength != 0 ? bodyEncodingLine : "Content-Transfer-Encoding: quoted-printable";
  return sendLineThen(b, 235, "%s\r\n", line);
}

// ---- Message text -------------------------------------------------------------

// A message text that begins with '@' names the file that holds the text.
int32_t startText(ChannelBlock* b, uint32_t) {
  resetBodyReader(b);
  goTo(b, b->messageText[0] == '@' ? 244 : 240);
  return 0;
}

int32_t startMemoryText(ChannelBlock* b, uint32_t) {
  b->pendingChar = 0;
  b->bodyFromMemory = 1;
  goTo(b, 241);
  return 0;
}

int32_t sendMemoryTextLine(ChannelBlock* b, uint32_t now) {
  return sendTextLine(b, now, globalParams.smtpDataLimit);
}

int32_t openMessageFile(ChannelBlock* b, uint32_t) {
  const char* name = b->messageText + 1;
  b->pendingChar = 0;
  b->bodyFromMemory = 0;
  logFormat(b, "Opening message file [%s]\r\n", name);
  int handle = plat::fileOpenRead(name);
  if (handle <= 0) return failStep(b, handle, kErrCannotOpenFile);
  b->fileHandle = handle;
  goTo(b, 245);
  return 0;
}

int32_t sendFileTextLine(ChannelBlock* b, uint32_t now) {
  return sendTextLine(b, now, globalParams.replyLimit);
}

// ---- End of data ----------------------------------------------------------------

int32_t sendEndOfData(ChannelBlock* b, uint32_t now) {
  int32_t r = 0;
  if (isMultipart(b)) r = putFormatted(b, "--%s--\r\n", outgoingBoundary);
  if (r != 0) return r;
  // The end-of-data line is the one line whose period after a line break
  // must reach the server as it stands, so it is not formatted.
  copyText(b->sendLine, "\r\n.", 3);
  r = putSendLine(b);
  if (r != 0) return r;
  paceReply(b, now);
  goTo(b, 252);
  return 0;
}

int32_t readFinalReply(ChannelBlock* b, uint32_t) {
  if (!waitReadable(b->socket, 100)) return 0;
  int32_t r = readSmtpReply(b);
  if (r < 0) return failStep(b, 0, r);
  goTo(b, 0);
  return 0;
}

}  // namespace pel
