// POP3 login and mailbox queries, and the raw command of both protocols.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// Size in a "LIST" reply ('+OK 3 120' gives 120): the leading number after
// the second blank, 0 when there are fewer than two blanks.
int32_t listedSize(const char* reply);
// Count in a "STAT" reply ('+OK 12 345' gives 12): the leading number right
// after the status word and its blank, 0 for a shorter line.
int32_t statCount(const char* reply);

// Login.
int32_t pop3StartConnection(ChannelBlock* b, uint32_t now);  // 300
int32_t readPop3Greeting(ChannelBlock* b, uint32_t now);     // 301
int32_t sendUser(ChannelBlock* b, uint32_t now);             // 302
int32_t readUserReply(ChannelBlock* b, uint32_t now);        // 303
int32_t sendPassword(ChannelBlock* b, uint32_t now);         // 304
int32_t readPasswordReply(ChannelBlock* b, uint32_t now);    // 305
// Mailbox queries.
int32_t sendStat(ChannelBlock* b, uint32_t now);         // 306
int32_t readStatReply(ChannelBlock* b, uint32_t now);    // 307
int32_t sendDelete(ChannelBlock* b, uint32_t now);       // 315
int32_t readDeleteReply(ChannelBlock* b, uint32_t now);  // 316
int32_t sendList(ChannelBlock* b, uint32_t now);         // 317
int32_t readListReply(ChannelBlock* b, uint32_t now);    // 318
int32_t sendUidl(ChannelBlock* b, uint32_t now);         // 320
int32_t readUidlLine(ChannelBlock* b, uint32_t now);     // 321
// Raw command of pelCommand.
int32_t sendPop3Command(ChannelBlock* b, uint32_t now);       // 398
int32_t readPop3CommandReply(ChannelBlock* b, uint32_t now);  // 399
int32_t sendSmtpCommand(ChannelBlock* b, uint32_t now);       // 298
int32_t readSmtpCommandReply(ChannelBlock* b, uint32_t now);  // 299

}  // namespace pel
