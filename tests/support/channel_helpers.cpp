#include "support/channel_helpers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame/text.h"
#include "pel32.h"

namespace pel::test {

Attached::Attached(int32_t channels) { EXPECT_EQ(pelAttach(channels), 1); }
Attached::~Attached() { pelRelease(); }

int32_t driveUntilDone(int32_t chan, int limitMs) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  int32_t r = pelDriver(chan);
  while (r > 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::yield();
    r = pelDriver(chan);
  }
  return r;
}

int32_t connectRaw(int32_t chan, int port, char protocol) {
  ChannelBlock* b = blockOf(chan);
  copyText(b->serverName, "127.0.0.1", kTextMax);
  b->port = static_cast<int16_t>(port);
  b->protocol = protocol;
  b->resumeState = 0;
  b->nextState = 101;
  b->wakeTime = 0;
  b->deadline = 0;
  return driveUntilDone(chan);
}

void openLog(int32_t chan, const std::string& path) {
  ASSERT_GT(pelStringParam(chan, STRPARAM_OPEN_LOG, path.c_str()), 0);
}

}  // namespace pel::test
