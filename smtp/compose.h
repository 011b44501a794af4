// Composition of a sent message: the header block, the message text and the
// end of data.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// The complete Date header line, as it would be sent now.
void formatDateLine(char* target, int32_t size);

// The line limit L of the text encoders: integer parameter 17, used within
// kMinLineLimit..kMaxLineLimit.
constexpr int32_t kMinLineLimit = 2;
constexpr int32_t kMaxLineLimit = 998;
int32_t lineLimit();

// A message is multipart when it has attachments or a text part type.
bool isMultipart(const ChannelBlock* b);
bool isPrintable(int c);

// The reader of the message text (memory or file, through `readBuffer`).
void resetBodyReader(ChannelBlock* b);
// The next source byte (1 to 255), or 0 at the end of the source.
int nextBodyChar(ChannelBlock* b);
// Composes the next output line into `target` (kLineArea bytes) and returns
// its length without a leading extra period, or -1 when the text is finished.
int32_t nextBodyLine(ChannelBlock* b, char* target);

// States.
int32_t sendMailerLine(ChannelBlock* b, uint32_t now);      // 220
int32_t sendDateLine(ChannelBlock* b, uint32_t now);        // 222
int32_t sendToLine(ChannelBlock* b, uint32_t now);          // 223
int32_t sendFromLine(ChannelBlock* b, uint32_t now);        // 224
int32_t sendReplyToLine(ChannelBlock* b, uint32_t now);     // 225
int32_t sendSubjectLines(ChannelBlock* b, uint32_t now);    // 226
int32_t sendCcLine(ChannelBlock* b, uint32_t now);          // 227
int32_t sendMimeVersion(ChannelBlock* b, uint32_t now);     // 228
int32_t sendMultipartType(ChannelBlock* b, uint32_t now);   // 229
int32_t endHeaderBlock(ChannelBlock* b, uint32_t now);      // 230
int32_t sendTextDelimiter(ChannelBlock* b, uint32_t now);   // 231
int32_t sendTextType(ChannelBlock* b, uint32_t now);        // 232
int32_t sendTextEncoding(ChannelBlock* b, uint32_t now);    // 233
int32_t startText(ChannelBlock* b, uint32_t now);           // 235
int32_t startMemoryText(ChannelBlock* b, uint32_t now);     // 240
int32_t sendMemoryTextLine(ChannelBlock* b, uint32_t now);  // 241
int32_t openMessageFile(ChannelBlock* b, uint32_t now);     // 244
int32_t sendFileTextLine(ChannelBlock* b, uint32_t now);    // 245
int32_t sendEndOfData(ChannelBlock* b, uint32_t now);       // 251
int32_t readFinalReply(ChannelBlock* b, uint32_t now);      // 252

}  // namespace pel
