// Writing to a channel's log file. Every line goes out at once, unbuffered;
// nothing is written while the channel has no log.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

inline bool logOpen(const ChannelBlock* b) { return b->logFile != 0; }
// Writes the text as it stands.
void logText(ChannelBlock* b, const char* text);
// Writes `count` bytes.
void logBytes(ChannelBlock* b, const char* bytes, int32_t count);
// Formats into `logLine` (at most 1024 bytes) and writes the result.
void logFormat(ChannelBlock* b, const char* format, ...);
// "*** <operation>\r\n", the entry line of a channel operation.
void logEntry(ChannelBlock* b, const char* operation);

}  // namespace pel
