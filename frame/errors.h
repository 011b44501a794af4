// Error codes and their texts.
#pragma once

#include <cstdint>

namespace pel {

// Library error codes used by name in the code.
enum ErrorCode : int32_t {
  kErrSocketClosed = -1,
  kErrInvalidSocket = -7,
  kErrTimedOut = -8,
  kErrResponseOverflow = -31,
  kErrBadAddressChar = -32,
  kErrCannotOpenFile = -35,
  kErrConnect = -36,
  kErrEmptyAddress = -37,
  kErrFromNull = -38,
  kErrMissingAt = -39,
  kErrMissingFrom = -40,
  kErrMissingLess = -41,
  kErrMissingGreater = -43,
  kErrNotConnected = -44,
  kErrNoRecipient = -45,
  kErrServerNotFound = -46,
  kErrNullPointer = -47,
  kErrSmtpError = -49,
  kErrNoServer = -50,
  kErrSocketRead = -51,
  kErrSocketWrite = -52,
  kErrTooManyAt = -53,
  kErrNoMemory = -55,
  kErrIllegalServer = -56,
  kErrSmtpOnly = -58,
  kErrPop3Only = -59,
  kErrNoUser = -61,
  kErrNoPassword = -62,
  kErrPop3Error = -63,
  kErrNoSuchMessage = -64,
  kErrNoFileName = -65,
  kErrNoEmailPath = -66,
  kErrCannotCreate = -67,
  kErrBufferNull = -68,
  kErrBufferSmall = -69,
  kErrNoAttachPath = -70,
  kErrNotAttached = -71,
  kErrAlreadyAttached = -72,
  kErrChannelRange = -73,
};

// The code's text, or null when the table has no row for it.
const char* errorText(int32_t code);
// Dotted decimal form of a host-order IPv4 address; 0 and nothing written
// when size is 16 or less.
int32_t formatDottedQuad(uint32_t value, char* buffer, int32_t size);

}  // namespace pel
