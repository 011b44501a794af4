// Retrieval of message text into a buffer ("TOP") or a file ("RETR"), one
// received line per driver step.
#include "pop3/retrieve.h"

#include "driver/driver.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/platform/platform.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "mime/analyser.h"
#include "mime/decoders.h"
#include "pel32.h"

namespace pel {
namespace {

constexpr int32_t kReceiveArea = 1024;
constexpr int32_t kMinBuffer = 128;

// Receives one line of the answer and handles its end and its doubled dot.
// Returns 1 with the line terminated in `replyText` and its length in
// `length`, 0 when the step is over (nothing came, or the answer ended),
// or a negative code from failStep.
int32_t receiveAnswerLine(ChannelBlock* b, int32_t* length) {
  const int32_t wait = globalParams.pop3DataLimit;
  if (!waitReadable(b->socket, wait)) return 0;
  int32_t n = receiveLine(b, b->replyText, kReceiveArea, wait, 4 * wait);
  if (n == -1) {
    // The server closed the connection: what has arrived is the message.
    goTo(b, 313);
    return 0;
  }
  if (n < 0) return failStep(b, 0, n);
  // Nothing was taken after all: the next step looks again.
  if (n == 0) return 0;
  b->replyText[n] = 0;
  if (n <= 4 && b->replyText[0] == '.') {
    if (b->replyText[1] != '.') {
      goTo(b, 313);
      return 0;
    }
    b->replyText[1] = ' ';
  }
  *length = n;
  return 1;
}

}  // namespace

void endUnfinishedRetrieval(ChannelBlock* b) {
  // The attachment file handle is the file being sent on an SMTP channel;
  // only a POP3 channel has an attachment being saved.
  if (b->protocol == 'P') finishAttachment(b);
  if (b->saveFile != 0) {
    plat::fileClose(b->saveFile);
    b->saveFile = 0;
  }
}

int32_t writeMessageLine(int32_t file, const char* text, int32_t count) {
  if (text[0] == '+' && text[1] == 'O' && text[2] == 'K') return 0;
  if (file <= 0) return -1;
  return plat::fileWrite(file, text, count);
}

int buildEmailPath(ChannelBlock* b) {
  int32_t dirLength = textLength(b->emailDir);
  bool separator = dirLength == 0 || b->emailDir[dirLength - 1] != '\\';
  // A path that does not fit is refused rather than cut: a cut path would
  // name another file, possibly the directory itself.
  if (dirLength + (separator ? 1 : 0) + textLength(b->emailFileName) > kTextMax) return 0;
  copyText(b->emailPath, b->emailDir, kTextMax);
  if (separator) appendText(b->emailPath, "\\", 1);
  appendText(b->emailPath, b->emailFileName, kTextMax);
  return 1;
}

int32_t startFileRetrieval(ChannelBlock* b, uint32_t now) {
  if (!buildEmailPath(b)) {
    b->saveFile = 0;
    return failStep(b, 0, kErrCannotCreate);
  }
  if (logOpen(b)) logFormat(b, "Saving email to '%s'\r\n", b->emailPath);
  int handle = plat::fileCreate(b->emailPath);
  if (handle <= 0) {
    b->saveFile = 0;
    return failStep(b, 0, kErrCannotCreate);
  }
  b->saveFile = handle;
  return sendCommand(b, now, 312, kErrSocketRead, "RETR %d", b->messageNumber);
}

int32_t startBufferRetrieval(ChannelBlock* b, uint32_t now) {
  if (logOpen(b)) logText(b, "[Saving to buffer]\r\n");
  return sendCommand(b, now, 314, kErrSocketRead, "TOP %d %d", b->messageNumber, b->topLines);
}

int32_t receiveFileLine(ChannelBlock* b, uint32_t now) {
  int32_t n = 0;
  int32_t r = receiveAnswerLine(b, &n);
  if (r <= 0) return r;
  int write = 1;
  if (b->analyserState >= 1 && b->analyserState <= 8) write = analyseLine(b);
  if (write != 0) {
    b->dataBytes += n;
    int32_t written;
    if (b->partEncoding == kEncodingQuoted) {
      int32_t count = decodeQuoted(b->replyText, b->logLine);
      written = writeMessageLine(b->saveFile, b->logLine, count);
    } else {
      written = writeMessageLine(b->saveFile, b->replyText, textLength(b->replyText));
    }
    if (written < 0) return failStep(b, 0, written);
  }
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  return 0;
}

int32_t endRetrieval(ChannelBlock* b, uint32_t) {
  if (logOpen(b)) logText(b, "[CLOSE]\r\n");
  finishAttachment(b);
  if (b->saveFile != 0) {
    plat::fileClose(b->saveFile);
    b->saveFile = 0;
  }
  goTo(b, 0);
  return 0;
}

int32_t receiveBufferLine(ChannelBlock* b, uint32_t now) {
  int32_t n = 0;
  int32_t r = receiveAnswerLine(b, &n);
  if (r <= 0) return r;
  b->dataBytes += n;
  if (b->userBufferSize != 0 && b->userBuffer != nullptr) {
    for (int32_t i = 0; i < n && b->userBufferLength < b->userBufferSize; ++i) {
      b->userBuffer[b->userBufferLength++] = b->replyText[i];
    }
  }
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  return 0;
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelGetEmailLines(int32_t chan, int32_t message, int32_t lines, char* buffer,
                                int32_t size) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelGetEmailLines", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  if (message < 1) return kErrNoSuchMessage;
  if (buffer == nullptr || (buffer[0] == '*' && buffer[1] == 0)) {
    // The retrieval buffer holds the size plus two zero bytes; a negative
    // size would leave it smaller than those two bytes, so it is refused
    // like a caller's buffer that is too small.
    if (size < 0) return kErrBufferSmall;
    if (size > INT32_MAX - 2) return kErrNoMemory;
    buffer = AllocateMemory(chan, kSlotRetrieval, size + 2);
    if (buffer == nullptr) return kErrNoMemory;
  } else if (size < kMinBuffer) {
    return kErrBufferSmall;
  }
  b->topLines = lines < 0 ? 0 : lines;
  b->messageNumber = message;
  b->userBuffer = buffer;
  b->userBufferSize = size;
  b->userBufferLength = 0;
  b->dataBytes = 0;
  b->fileBytes = 0;
  r = armAndDrive(b, 311, SocketWait::Set);
  if (r < 0) return r;
  if (b->autoDrive == 0) return 0;
  return b->userBufferLength;
}

int32_t PELAPI pelGetEmailFile(int32_t chan, int32_t message, const char* fileName,
                               const char* emailDir, const char* attachDir) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelGetEmailFile", 'P', kErrPop3Only}, &r);
  if (b == nullptr) return r;
  if (message < 1) return kErrNoSuchMessage;
  if (fileName == nullptr) return kErrNoFileName;
  if (emailDir == nullptr) return kErrNoEmailPath;
  if (attachDir == nullptr) return kErrNoAttachPath;
  // Files that a failed retrieval left open are finished and closed before
  // the new retrieval takes their handles' places, so none of them leaks.
  endUnfinishedRetrieval(b);
  b->messageNumber = message;
  copyText(b->emailFileName, fileName, kTextMax);
  copyText(b->emailDir, emailDir, kTextMax);
  copyText(b->attachDir, attachDir, kTextMax);
  b->savedNames[0] = 0;
  b->userBuffer = nullptr;
  b->userBufferSize = 0;
  b->userBufferLength = 0;
  b->dataBytes = 0;
  b->fileBytes = 0;
  b->boundaryLength = 0;
  b->attachmentsSaved = 0;
  b->partEncoding = kEncodingNone;
  b->analyserState = kTopHeader;
  b->headerEnded = 0;
  return armAndDrive(b, 310, SocketWait::Set);
}
