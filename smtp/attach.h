// Attachments of a sent message and the base64 encoder.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// Bytes of one base64 line: 57 in, 76 characters out.
constexpr int32_t kBase64LineBytes = 57;

// Four base64 characters for three bytes.
void encodeBase64Group(const unsigned char* in, char* out);
// One base64 line of `count` (1 to 57) bytes followed by CR LF; returns the
// characters before the CR LF. Reads nothing beyond `count`.
int32_t encodeBase64Block(const unsigned char* in, int32_t count, char* out);
// The name an attachment entry is announced under.
const char* announcedName(const char* entry);
// The image Content-type line for the name, or null when it has none.
const char* imageTypeLine(const ChannelBlock* b, const char* name);

// States.
int32_t sendPartDelimiter(ChannelBlock* b, uint32_t now);    // 260
int32_t sendPartType(ChannelBlock* b, uint32_t now);         // 261
int32_t sendPartEncoding(ChannelBlock* b, uint32_t now);     // 262
int32_t sendPartDisposition(ChannelBlock* b, uint32_t now);  // 263
int32_t openAttachment(ChannelBlock* b, uint32_t now);       // 264
int32_t sendAttachmentLine(ChannelBlock* b, uint32_t now);   // 265

}  // namespace pel
