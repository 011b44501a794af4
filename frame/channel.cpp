// The channel table and the library lifecycle.
#include "frame/channel.h"

#include "driver/driver.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/slots.h"
#include "pel32.h"

namespace pel {

uint16_t channelCount = 0;
ChannelEntry channelTable[kMaxChannels];
plat::Lock* libraryLock = nullptr;
char outgoingBoundary[24];
char emptyText[1] = {0};

int32_t checkChannel(int32_t chan) {
  if (channelCount == 0) return kErrNotAttached;
  if (chan < 0 || chan >= channelCount) return kErrChannelRange;
  return 0;
}

ChannelBlock* blockOf(int32_t chan) { return channelTable[chan].block; }

namespace {

int32_t createChannel(int32_t i) {
  char* area = AllocateMemory(i, kSlotBlock, static_cast<int32_t>(sizeof(ChannelBlock)));
  if (area == nullptr) return kErrNoMemory;
  ChannelBlock* b = reinterpret_cast<ChannelBlock*>(area);
  channelTable[i].block = b;
  channelTable[i].socket = plat::kNoSocket;
  b->channel = i;
  b->prevState = -2;
  b->thisState = -1;
  b->waitSocket = 0;
  b->nonBlocking = 1;
  b->autoDrive = 1;
  b->smtpPort = 25;
  b->popPort = 110;
  b->imageTypes = 1;
  return 0;
}

// A failed attach leaves nothing behind: the blocks already made are freed,
// so that a later attach starts from a clean table.
void undoAttach(int32_t made) {
  for (int32_t i = made - 1; i >= 0; --i) {
    FreeMemory(i, kSlotBlock, kSlotBlock);
    channelTable[i].block = nullptr;
  }
}

// Gives the library lock back and destroys it: the end of a release, or of
// an attach that failed and leaves the library detached.
void abandonLock() {
  plat::Lock* lock = libraryLock;
  libraryLock = nullptr;
  plat::lockRelease(lock);
  plat::lockDestroy(lock);
}

}  // namespace

ChannelBlock* openOperation(int32_t chan, const Opening& opening, int32_t* error) {
  *error = checkChannel(chan);
  if (*error != 0) return nullptr;
  ChannelBlock* b = blockOf(chan);
  if (opening.marks != 0) b->protocol = opening.marks;
  const bool wrong = opening.needs != 0 && b->protocol != opening.needs;
  if (wrong && opening.testBeforeEntry) {
    *error = opening.wrongProtocol;
    return nullptr;
  }
  logEntry(b, opening.name);
  if (wrong) {
    *error = opening.wrongProtocol;
    return nullptr;
  }
  return b;
}

int32_t armAndDrive(ChannelBlock* b, int32_t firstState, SocketWait wait, TimerReset reset,
                    const char* driveNote) {
  if (wait != SocketWait::Keep) b->waitSocket = wait == SocketWait::Set ? 1 : 0;
  b->nextState = firstState;
  b->resumeState = 0;
  b->socketError = 0;
  if (reset == TimerReset::Always) {
    b->wakeTime = 0;
    b->deadline = 0;
  }
  if (b->autoDrive == 0) return 0;
  if (driveNote != nullptr) logText(b, driveNote);
  if (reset == TimerReset::WhenDriving) {
    b->wakeTime = 0;
    b->deadline = 0;
  }
  return driveToEnd(b);
}

int32_t driveToEnd(ChannelBlock* b) {
  int32_t r = pelDriver(b->channel);
  while (r > 0) {
    plat::yieldThread();
    r = pelDriver(b->channel);
  }
  return r;
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelAttach(int32_t channels) {
  if (channelCount != 0) return kErrAlreadyAttached;
  if (channels < 0 || channels > kMaxChannels) return kErrChannelRange;
  libraryLock = plat::lockCreate();
  plat::lockTake(libraryLock);
  int started = plat::socketStartup();
  if (started != 0) {
    abandonLock();
    return -started;
  }
  resetSlotTable();
  for (int32_t i = 0; i < channels; ++i) {
    int32_t r = createChannel(i);
    if (r != 0) {
      undoAttach(i);
      if (globalParams.releaseWinsock) plat::socketCleanup();
      abandonLock();
      return r;
    }
  }
  channelCount = static_cast<uint16_t>(channels);
  plat::formatText(outgoingBoundary, sizeof outgoingBoundary,
                   "=====_%7ld_=====", static_cast<int32_t>(plat::tickCount()));
  // With no channels the library stays detached, and a detached library
  // holds no lock.
  if (channelCount == 0) {
    abandonLock();
    return 1;
  }
  plat::lockRelease(libraryLock);
  return 1;
}

int32_t PELAPI pelRelease(void) {
  if (channelCount == 0) return 1;
  plat::lockTake(libraryLock);
  for (int32_t i = channelCount - 1; i >= 0; --i) {
    ChannelBlock* b = channelTable[i].block;
    if (b == nullptr) continue;
    if (b->logFile != 0) {
      logFormat(b, "Releasing channel %d\r\n", i);
      plat::fileClose(b->logFile);
      b->logFile = 0;
    }
    FreeMemory(i, kSlotToList, kSlotRetrieval);
  }
  for (int32_t i = channelCount - 1; i >= 0; --i) {
    FreeMemory(i, kSlotBlock, kSlotBlock);
    channelTable[i].block = nullptr;
  }
  channelCount = 0;
  if (globalParams.releaseWinsock) plat::socketCleanup();
  abandonLock();
  return 1;
}
