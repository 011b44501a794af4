// The channel table, the per-channel record and the shape every channel
// operation shares.
#pragma once

#include <cstdint>

#include "frame/platform/platform.h"

namespace pel {

constexpr int kMaxChannels = 128;
constexpr int kTextField = 130;  // fixed text fields hold at most 128 characters
constexpr int kTextMax = 128;
constexpr int kLineArea = 2050;

// Library version 3.3.2 build 2, as reported by statistics 16 and 26.
constexpr int kVersion = 0x0332;
constexpr int kBuild = 2;

struct ChannelBlock {
  int32_t channel;
  char logLine[kLineArea];
  char sendLine[kLineArea];
  char replyText[kLineArea];
  char readBuffer[kLineArea];
  char mimeBoundary[kTextField];
  char altBoundary[kTextField];
  char lastReplyLine[kTextField];
  char serverName[kTextField];
  char fromAddress[kTextField];
  char replyToAddress[kTextField];
  char userName[kTextField];
  char password[kTextField];
  char emailFileName[kTextField];
  char emailDir[kTextField];
  char attachDir[kTextField];
  char attachName[kTextField];
  char emailPath[kTextField];
  char attachPath[kTextField];
  char savedNames[516];
  char commandText[34];
  char lastRecipient[36];
  char* recipientCursor;
  char* toList;
  char* ccList;
  char* bccList;
  char* subject;
  char* extraHeaders;
  char* messageText;
  char* attachList;
  char* nextAttach;
  char* cutPoint;
  uint32_t serverAddress;
  plat::Socket socket;
  uint32_t wakeTime;
  uint32_t deadline;
  int32_t stepCount;
  int32_t dataBytes;
  int32_t fileBytes;
  int32_t textBytesSent;
  int32_t encodedBytesSent;
  int32_t bodyFromMemory;
  int32_t ccPending;
  int32_t bccPending;
  int16_t port;
  int16_t smtpPort;
  int16_t popPort;
  int32_t replyCode;
  int32_t fileHandle;
  int32_t prevState;
  int32_t thisState;
  int32_t nextState;
  int32_t resumeState;
  int32_t socketError;
  int32_t logFile;
  int32_t mailboxCount;
  char protocol;
  int32_t messageNumber;
  int32_t messageSize;
  int32_t topLines;
  int32_t saveFile;
  char* userBuffer;
  int32_t userBufferSize;
  int32_t userBufferLength;
  int32_t analyserState;
  int32_t boundaryLength;
  int32_t partEncoding;
  int32_t altBoundaryLength;
  int32_t verifyResult;
  int32_t attachmentsSaved;
  int32_t attachNumber;
  char* recipient;
  char waitSocket;
  char nestedHeader;
  int32_t autoDrive;
  int32_t numberAttachNames;
  int32_t bodyType;
  // Result of the last name lookup: the first address, network byte order.
  uint32_t hostEntry;
  char lastReceivedChar;
  char pendingChar;
  char headerEnded;
  char imageTypes;
  int32_t readPos;
  int32_t readLimit;
  int32_t readEof;
  int32_t saveUnnamedParts;
  int32_t nonBlocking;
  uint32_t ioctlArg;
};

// One row of the channel table.
struct ChannelEntry {
  ChannelBlock* block;
  plat::Socket socket;
  // IPv4 socket address record: family 2, port and address in network order.
  struct {
    uint16_t family;
    uint16_t port;
    uint32_t address;
    uint8_t zero[8];
  } remoteAddress;
};

extern uint16_t channelCount;
extern ChannelEntry channelTable[kMaxChannels];
extern plat::Lock* libraryLock;
extern char outgoingBoundary[24];
constexpr char quoteChar = '"';
// The shared empty text that stands for an absent message text or list rest.
extern char emptyText[1];

// ---- The common shape of a channel operation ----------------------------
// 0 when the library is attached and the channel number is valid, else -71
// or -73. Nothing in the block is touched before this test.
int32_t checkChannel(int32_t chan);
ChannelBlock* blockOf(int32_t chan);

// The common opening of a channel operation: the attach and channel checks,
// the protocol the operation marks the channel with or needs, and its entry
// line. Returns the block, or null with the failure's code in *error.
struct Opening {
  const char* name;              // the operation's name in its entry line
  char needs = 0;                // the protocol it needs, 0 for any
  int32_t wrongProtocol = 0;     // its code when the channel has another one
  bool testBeforeEntry = false;  // the protocol is tested before the entry line
  char marks = 0;                // the protocol it marks the channel with first
};
ChannelBlock* openOperation(int32_t chan, const Opening& opening, int32_t* error);

// How an operation treats `waitSocket` when it arms the driver.
enum class SocketWait { Clear, Set, Keep };
// Whether the operation clears `wakeTime` and `deadline` always, or only on
// the path where it drives the channel itself.
enum class TimerReset { Always, WhenDriving };

// Arms the driver at `firstState` and, with `autoDrive` on, drives the channel
// until the work is finished. `driveNote` is a log line written just before
// driving (null for none). Returns 0 when not driving or when the work
// finished, else the driver's negative result.
int32_t armAndDrive(ChannelBlock* b, int32_t firstState, SocketWait wait,
                    TimerReset reset = TimerReset::Always, const char* driveNote = nullptr);
// The auto-drive loop: calls the driver while it reports more work, yielding
// between calls. Returns the last result (0 or negative).
int32_t driveToEnd(ChannelBlock* b);

}  // namespace pel
