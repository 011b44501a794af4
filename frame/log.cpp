// The channel's log file.
#include "frame/log.h"

#include <cstdarg>

#include "frame/text.h"

namespace pel {

void logBytes(ChannelBlock* b, const char* bytes, int32_t count) {
  if (b->logFile == 0 || count <= 0) return;
  plat::fileWrite(b->logFile, bytes, count);
}

void logText(ChannelBlock* b, const char* text) { logBytes(b, text, textLength(text)); }

void logFormat(ChannelBlock* b, const char* format, ...) {
  if (b->logFile == 0) return;
  va_list args;
  va_start(args, format);
  plat::formatTextV(b->logLine, sizeof b->logLine, format, args);
  va_end(args);
  logText(b, b->logLine);
}

void logEntry(ChannelBlock* b, const char* operation) {
  if (b->logFile == 0) return;
  logText(b, "*** ");
  logText(b, operation);
  logText(b, "\r\n");
}

}  // namespace pel
