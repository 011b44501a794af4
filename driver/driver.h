// The driver step of a channel: pacing, time limits, dispatch by the state
// plan, the trace and the common error exit.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// A state's work. Returns 0 when the state ended normally (having set
// `nextState` with goTo, or left it unchanged to run again), or a negative
// code that the driver returns at once (the result of failStep).
using StateFn = int32_t (*)(ChannelBlock* b, uint32_t now);

struct StateEntry {
  int32_t state;
  const char* name;
  StateFn run;
};

// The state plan: the entry of a state number, or null for a number the plan
// does not list.
const StateEntry* findState(int32_t state);

// The one place that chooses the next state.
inline void goTo(ChannelBlock* b, int32_t state) { b->nextState = state; }

// Tick comparisons by signed 32-bit difference, so that a time across the
// wrap of the tick count is neither early nor late.
inline bool tickBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

// Pacing after a step: no step before now + wakeAfter, fail with -8 after
// now + limit.
inline void pace(ChannelBlock* b, uint32_t now, uint32_t wakeAfter, uint32_t limit) {
  b->wakeTime = now + wakeAfter;
  b->deadline = now + limit;
}
// The common pacing after a command: integer parameters 1 and 2.
void paceReply(ChannelBlock* b, uint32_t now);

// The error exit of every state. Logs the error, makes the channel idle,
// closes its socket and returns the error code.
int32_t failStep(ChannelBlock* b, int32_t socketCode, int32_t errorCode);
// The version line of the log.
void writeBanner(ChannelBlock* b);

// Formats a command into `sendLine` and sends it with its line end. On a send
// failure returns failStep(b, send result, failCode); otherwise paces the
// reply (integer parameters 1 and 2), goes to `next` and returns 0.
int32_t sendCommand(ChannelBlock* b, uint32_t now, int32_t next, int32_t failCode,
                    const char* format, ...);

// Poll-then-read: kReplyPending while nothing has arrived; otherwise the
// reply reader's result (0 accepted, or its negative code).
constexpr int32_t kReplyPending = 1;
int32_t pollSmtpReply(ChannelBlock* b);
int32_t pollPop3Reply(ChannelBlock* b);

// A reply state, given what the poll answered: while the reply has not
// arrived the state stays; a rejected or unreadable reply is the error exit;
// an accepted one runs `accepted`.
template <typename Accepted>
int32_t onReply(ChannelBlock* b, int32_t polled, Accepted accepted) {
  if (polled == kReplyPending) return 0;
  if (polled < 0) return failStep(b, 0, polled);
  accepted();
  return 0;
}

}  // namespace pel
