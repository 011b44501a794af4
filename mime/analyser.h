// The incoming-message analyser: follows the MIME structure of a message
// being fetched into a file one received line at a time, decides which lines
// reach the message file and saves the bodies of named parts (and, on
// request, of unnamed base64 parts) into files of their own.
#pragma once

#include <cstdint>

#include "frame/channel.h"

namespace pel {

// Analyser states (`analyserState`).
enum AnalyserState : int32_t {
  kAnalysisOff = 0,  // plain message, or MIME without parts: lines pass as received
  kTopHeader = 1,    // top-level header, no "MIME-Version: 1.0" yet
  kMimeHeader = 2,   // top-level header of a MIME message
  kPreamble = 3,     // main boundary known, first boundary line not yet seen
  kPartHeader = 4,   // header of a part
  kPartBody = 5,     // body of a part
};

// Transfer encodings of the current part (`partEncoding`).
enum PartEncoding : int32_t {
  kEncodingNone = 0,
  kEncoding7Bit = 1,
  kEncodingBase64 = 2,
  kEncodingQuoted = 3,
};

// Analyses the line in `replyText` (terminated). 1: the line goes to the
// message file as it now stands in `replyText`; 0: the analyser took it.
int analyseLine(ChannelBlock* b);

// Each returns 1 when the line was a line of its kind (and the block was
// updated), else 0.
int isBoundaryLine(ChannelBlock* b);
int defineBoundary(ChannelBlock* b);
int defineAltBoundary(ChannelBlock* b);
int parseTransferEncoding(ChannelBlock* b);
int parseDisposition(ChannelBlock* b);
int parseFileName(ChannelBlock* b);

// Unfolds a header line: tidies the end of `replyText` and, when the line
// ends with `required` (or with anything when `required` is 0), reads the
// next received line onto it. 1 when a join was made (even when nothing
// arrived), 0 when none was tried.
int joinContinuation(ChannelBlock* b, char required);
// Removes blanks, tabs, CR and LF from the end of a line of at least three
// characters and appends CR LF; `area` is the size of the line's buffer.
void tidyLineEnd(char* line, int32_t area);

// The name the next attachment file gets: `attachName`, with the number
// prefix when integer parameter 10 is set.
void formatAttachName(const ChannelBlock* b, char* area, int32_t size);
int openAttachment(ChannelBlock* b);
void openUnnamedAttachment(ChannelBlock* b);
// Closes the open attachment file and records it as saved. 1 when a file was
// open, else 0.
int finishAttachment(ChannelBlock* b);
void addSavedName(ChannelBlock* b);

}  // namespace pel
