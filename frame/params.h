// Integer and string parameters: the process-wide values and texts.
#pragma once

#include <cstdint>

namespace pel {

// Process-wide integer parameters, in the order they are held. They keep their
// values across pelRelease and a new pelAttach.
struct GlobalParams {
  int32_t afterSendPause;   // 1
  int32_t replyLimit;       // 2
  int32_t linePause;        // 5
  int32_t connectLimit;     // 3
  int32_t smtpDataLimit;    // 11
  int32_t pop3DataLimit;    // 12
  int32_t pollSleep;        // 13
  int32_t wrapColumn;       // fixed 61: plain text breaks at a blank after it
  int32_t wrapLength;       // 17
  char releaseWinsock;      // 24
  char keepControlChars;    // 19
  char noSavedNote;         // 21
  char omitToLine;          // 22
  char recipientSeparator;  // 23
  char listSeparator;       // 25
  char pathNameSeparator;   // 26
};
extern GlobalParams globalParams;

// Process-wide texts of string parameters 54 and 55.
extern char bodyTypeLine[130];
extern char bodyEncodingLine[130];
extern uint8_t bodyEncodingLength;

}  // namespace pel
