// Retrieval of message text into a buffer or a file.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// Ends a retrieval into a file that a failed step left unfinished: finishes
// an attachment being saved and closes the message file.
void endUnfinishedRetrieval(ChannelBlock* b);

// Writes one line of a fetched message. A line that begins with "+OK" (the
// status line of the answer) is not written and gives 0; otherwise the
// bytes written, or -1.
int32_t writeMessageLine(int32_t file, const char* text, int32_t count);

// Builds `emailPath` from `emailDir` and `emailFileName`. 0 when the path
// does not fit the field (nothing is built then), else 1.
int buildEmailPath(ChannelBlock* b);

// Retrieval states.
int32_t startFileRetrieval(ChannelBlock* b, uint32_t now);    // 310
int32_t startBufferRetrieval(ChannelBlock* b, uint32_t now);  // 311
int32_t receiveFileLine(ChannelBlock* b, uint32_t now);       // 312
int32_t endRetrieval(ChannelBlock* b, uint32_t now);          // 313
int32_t receiveBufferLine(ChannelBlock* b, uint32_t now);     // 314

}  // namespace pel
