// Shortcuts for tests that work on a channel's internals.
#pragma once

#include <cstdint>
#include <string>

#include "frame/channel.h"

namespace pel::test {

// Attaches the library for `channels` channels on construction and releases
// it on destruction, so that every test leaves the library detached.
class Attached {
 public:
  explicit Attached(int32_t channels = 4);
  ~Attached();
  Attached(const Attached&) = delete;
  Attached& operator=(const Attached&) = delete;
};

// Drives the channel until the driver returns 0 or a negative code, or until
// `limitMs` has passed (then returns 9999).
int32_t driveUntilDone(int32_t chan, int limitMs = 10000);

// Connects the channel to 127.0.0.1:port through the connect states alone,
// leaving it idle and connected (no protocol dialogue). Returns the driver's
// last result.
int32_t connectRaw(int32_t chan, int port, char protocol);

// Opens a log file for the channel at `path`.
void openLog(int32_t chan, const std::string& path);

}  // namespace pel::test
