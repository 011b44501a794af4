// Socket input and output and the SMTP and POP3 reply rules, shared by every
// protocol state.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

enum ReadyMode { kReadable = 1, kWritable = 2, kException = 3 };

// 1 ready, 0 not. A failed readiness query (closed socket, or none) reports
// ready in every mode.
int socketReady(plat::Socket s, int mode);
int waitReadable(plat::Socket s, int32_t limitMs);
int waitWritable(plat::Socket s, int32_t limitMs);

// One send of all the bytes: the count sent, or -1.
int32_t putBytes(plat::Socket s, const char* bytes, int32_t count);
// Sends the text with CR LF; the area needs three spare bytes after the text.
int32_t putLine(plat::Socket s, char* text);

// Bytes seen, 0 when nothing is there, -1 when closed or failing.
int32_t peekBytes(ChannelBlock* b, char* destination, int32_t count);
// As peekBytes, consuming the bytes; records `lastReceivedChar`.
int32_t receiveBytes(ChannelBlock* b, char* destination, int32_t count);
// At most one line, terminated: bytes consumed, 0, or -1.
int32_t receiveChunk(ChannelBlock* b, char* destination, int32_t size);
// One line within the waits: its length, 0 when nothing came, or -1.
int32_t receiveLine(ChannelBlock* b, char* destination, int32_t size, int32_t firstWait,
                    int32_t nextWait);

// One SMTP reply into `replyText`: 0 accepted, -49 error, -31 too long, -8
// when a continuation line does not come.
int32_t readSmtpReply(ChannelBlock* b);
// One POP3 status line: 0 accepted, -63 error status, -8 no reply in time.
int32_t readPop3Reply(ChannelBlock* b);

int32_t leadingNumber(const char* text);
void logReply(ChannelBlock* b, const char* text);
// Closes the channel's socket (linger, close, a 500 ms pause under the
// library lock); the channel has no socket afterwards.
void closeChannelSocket(ChannelBlock* b);

}  // namespace pel
