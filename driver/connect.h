// Connecting to a server and ending a connection.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

int validServerName(const char* text);
int isDottedQuad(const char* text);
uint32_t parseDottedQuad(const char* text);
void localHostName(char* area, int32_t size);
int32_t lookupServer(ChannelBlock* b);
int32_t startConnect(int32_t channel, uint32_t address, int16_t port);

// Connect and QUIT states.
int32_t smtpStartConnection(ChannelBlock* b, uint32_t now);     // 200
int32_t getLocalHostName(ChannelBlock* b, uint32_t now);        // 101-103
int32_t findServerAddress(ChannelBlock* b, uint32_t now);       // 104
int32_t createSocketAndConnect(ChannelBlock* b, uint32_t now);  // 105
int32_t awaitConnect(ChannelBlock* b, uint32_t now);            // 106
int32_t sendQuit(ChannelBlock* b, uint32_t now);                // 258
int32_t readQuitReply(ChannelBlock* b, uint32_t now);           // 259

}  // namespace pel
