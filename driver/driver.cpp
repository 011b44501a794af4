// The driver step: one paced, time-limited step of a channel per call.
#include "driver/driver.h"

#include <cstdarg>

#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "pel32.h"

namespace pel {

constexpr int32_t kNothingDue = 9999;

void paceReply(ChannelBlock* b, uint32_t now) {
  pace(b, now, static_cast<uint32_t>(globalParams.afterSendPause),
       static_cast<uint32_t>(globalParams.replyLimit));
}

namespace {

void logErrorText(ChannelBlock* b, int32_t code) {
  char text[128];
  pelErrorText(b->channel, code, text, sizeof text);
  logText(b, text);
}

// The trace of the step just performed: the line sent and the reply read.
void logStepEnd(ChannelBlock* b) {
  if (!logOpen(b)) return;
  if (b->sendLine[0] != 0) {
    logText(b, "S: ");
    logText(b, b->sendLine);
    logText(b, "\r\n");
  }
  if (b->replyText[0] != 0) logReply(b, b->replyText);
}

// The idle state ends the work; it leaves `prevState` alone.
int32_t performIdle(ChannelBlock* b) {
  b->thisState = -1;
  b->wakeTime = 0;
  b->deadline = 0;
  return 0;
}

}  // namespace

int32_t failStep(ChannelBlock* b, int32_t socketCode, int32_t errorCode) {
  if (logOpen(b)) {
    logFormat(b, "ERROR(%ld): SockCode=%d PelCode=%d PrevState=%d ThisState=%d NextState=%d\r\n",
              static_cast<int32_t>(plat::tickCount()), socketCode, errorCode, b->prevState,
              b->thisState, b->nextState);
    if (errorCode < 0) logErrorText(b, errorCode);
    if (socketCode < 0) logErrorText(b, socketCode);
  }
  if (errorCode < 0) {
    b->nextState = 0;
    b->prevState = b->thisState;
    b->thisState = -1;
    b->socketError = socketCode;
    closeChannelSocket(b);
  }
  plat::yieldThread();
  return errorCode;
}

void writeBanner(ChannelBlock* b) {
  logFormat(b, "PEL Win32 Version %d.%d.%d Build %d\r\n", (kVersion >> 8) & 0xFF,
            (kVersion >> 4) & 0x0F, kVersion & 0x0F, kBuild);
}

int32_t sendCommand(ChannelBlock* b, uint32_t now, int32_t next, int32_t failCode,
                    const char* format, ...) {
  va_list args;
  va_start(args, format);
  plat::formatTextV(b->sendLine, sizeof b->sendLine, format, args);
  va_end(args);
  int32_t sent = putLine(b->socket, b->sendLine);
  if (sent < 0) return failStep(b, sent, failCode);
  paceReply(b, now);
  goTo(b, next);
  return 0;
}

int32_t pollSmtpReply(ChannelBlock* b) {
  if (!waitReadable(b->socket, 0)) return kReplyPending;
  return readSmtpReply(b);
}

int32_t pollPop3Reply(ChannelBlock* b) {
  if (!waitReadable(b->socket, 0)) return kReplyPending;
  return readPop3Reply(b);
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelDriver(int32_t chan) {
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  ChannelBlock* b = blockOf(chan);
  b->sendLine[0] = 0;
  b->replyText[0] = 0;
  const uint32_t now = plat::tickCount();
  // A wake time or deadline of 0 means none.
  if (b->wakeTime != 0 && tickBefore(now, b->wakeTime)) {
    plat::yieldThread();
    return kNothingDue;
  }
  if (b->deadline != 0 && tickBefore(b->deadline, now)) return failStep(b, 0, kErrTimedOut);
  if (b->waitSocket && !socketReady(b->socket, kWritable)) {
    plat::yieldThread();
    return kNothingDue;
  }
  b->waitSocket = 0;
  b->thisState = b->nextState;
  if (b->thisState > 0) ++b->stepCount;
  if (logOpen(b) && b->prevState != b->thisState) {
    logFormat(b, "<%3d:%ld>\r\n", b->thisState, static_cast<int32_t>(now));
  }
  if (b->thisState == 0) return performIdle(b);
  const StateEntry* state = findState(b->thisState);
  if (state == nullptr) {
    logFormat(b, "ERROR! Unknown state %d\r\n", b->thisState);
  } else {
    r = state->run(b, now);
    if (r < 0) return r;
  }
  logStepEnd(b);
  b->prevState = b->thisState;
  b->thisState = -1;
  return b->nextState;
}
