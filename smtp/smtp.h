// SMTP exchange and addressing: greeting and HELO, the envelope, address
// verification and the address-form test.
#pragma once

#include <cstdint>

#include "driver/driver.h"
#include "frame/channel.h"

namespace pel {

// ---- Step shapes shared by the SMTP states ---------------------------------
// Formats a line into `sendLine` and sends it with its line end; a line of
// the formatted text that begins with '.' gets a second one. 0 when sent; a
// failed send is -52 through failStep, with the send result as socket code.
int32_t putFormatted(ChannelBlock* b, const char* format, ...);
// Sends what `sendLine` holds with its line end, as putFormatted does.
int32_t putSendLine(ChannelBlock* b);
// A line state without pacing: putFormatted, then on to `next`.
int32_t sendLineThen(ChannelBlock* b, int32_t next, const char* format, ...);

// A reply state of SMTP (onReply over the SMTP reply check).
template <typename Accepted>
int32_t onSmtpReply(ChannelBlock* b, Accepted accepted) {
  return onReply(b, pollSmtpReply(b), accepted);
}

// Closes the message or attachment file that a failed message left open.
void closeLeftoverFile(ChannelBlock* b);

// The HELO argument of a sender text without '@'.
constexpr const char* kDefaultHeloDomain = "localhost.localdomain";

// First occurrence of `c` in the first item of a list: the search stops at
// the recipient separator or the end of the text. Null when not found.
char* findInItem(const char* text, char c);
// The recipient separator after `text`, or null (also when the separator is
// set to the terminator itself).
char* findRecipientSeparator(const char* text);

// Where the brackets of an address are looked for.
enum class BracketScope { WholeText, FirstItem };
// 0, or -37 (empty), -41 (no '<', through failStep) or -43 (no '>' after it).
int32_t checkAddressBrackets(ChannelBlock* b, const char* text, BracketScope scope);
// -32 when the text holds a CR or LF byte, else 0.
int32_t checkNoLineBreak(const char* text);
// The domain HELO announces, from `fromAddress`, into an area of kTextField.
void heloArgument(const ChannelBlock* b, char* domain);

// States.
int32_t readGreeting(ChannelBlock* b, uint32_t now);       // 201
int32_t sendHelo(ChannelBlock* b, uint32_t now);           // 202
int32_t readHeloReply(ChannelBlock* b, uint32_t now);      // 203
int32_t sendMailFrom(ChannelBlock* b, uint32_t now);       // 204
int32_t readMailFromReply(ChannelBlock* b, uint32_t now);  // 205
int32_t takeRecipient(ChannelBlock* b, uint32_t now);      // 206
int32_t sendRcptTo(ChannelBlock* b, uint32_t now);         // 207
int32_t readRcptToReply(ChannelBlock* b, uint32_t now);    // 208
int32_t sendData(ChannelBlock* b, uint32_t now);           // 209
int32_t readDataReply(ChannelBlock* b, uint32_t now);      // 210
int32_t takeVerifyAddress(ChannelBlock* b, uint32_t now);  // 270
int32_t sendVrfy(ChannelBlock* b, uint32_t now);           // 271
int32_t readVrfyReply(ChannelBlock* b, uint32_t now);      // 272

}  // namespace pel
