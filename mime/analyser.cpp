// The incoming-message analyser. Every line it sees comes from a mail server
// and is untrusted: all reads stay inside the terminated text of `replyText`,
// and every fixed field is filled through a bounded copy.
#include "mime/analyser.h"

#include "driver/transport.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/platform/platform.h"
#include "frame/text.h"
#include "mime/decoders.h"
#include "pop3/retrieve.h"

namespace pel {
namespace {

// A received line, as `receiveLine` hands it over, is fewer than this many
// characters long.
constexpr int32_t kReceiveArea = 1024;
// A boundary line holds "--" and at most this many characters of the value.
constexpr int32_t kBoundaryValueMax = kTextMax - 2;
constexpr int32_t kSavedNamesMax = 514;
constexpr int32_t kSavedNameCut = 64;

bool beginsWith(const char* line, const char* prefix, int32_t n) {
  return matchText(line, prefix, n) != 0;
}

// The text from its n-th character on, or its end when it is shorter; so a
// search "after the first n characters" never starts past the terminator.
char* after(char* text, int32_t n) {
  int32_t length = textLength(text);
  return text + (n < length ? n : length);
}

bool blankLine(const char* line) { return line[0] == '\r'; }

// Copies `count` characters of a value into a boundary field as "--value",
// keeping at most kBoundaryValueMax of them. Returns the field's length.
int32_t recordBoundary(char* field, const char* value, int32_t count) {
  if (count > kBoundaryValueMax) count = kBoundaryValueMax;
  field[0] = '-';
  field[1] = '-';
  int32_t n = 0;
  while (n < count && value[n] != 0) {
    field[2 + n] = value[n];
    ++n;
  }
  field[2 + n] = 0;
  return 2 + n;
}

// Finds a value that stands between double quotes somewhere in `from`: the
// first quote opens it, the next quote from the second character after the
// opening one closes it. Returns the value's start and sets `end`, or null.
char* quotedValue(char* from, char** end) {
  char* open = findChar(from, '"');
  if (open == nullptr) return nullptr;
  // The closing quote is searched from the second character after the
  // opening one; a quote that ends the text has no second character.
  if (open[1] == 0) return nullptr;
  char* close = findChar(open + 2, '"');
  if (close == nullptr) return nullptr;
  *end = close;
  return open + 1;
}

bool separatorChar(char c) { return c == '/' || c == '\\' || c == ':'; }

// Makes `attachName` a plain file name that stays inside the attachment
// directory. The value was cut at its last separator before it was decoded,
// so a Q- or B-encoded name can decode to a path again ("../../x"); here the
// decoded name is cut once more, from the first character on. A name left
// empty or made of dots only ("." and "..") would name a directory, so it
// becomes "noname".
void makeSafeName(char* name) {
  int32_t start = 0;
  for (int32_t i = 0; name[i] != 0; ++i) {
    if (separatorChar(name[i])) start = i + 1;
  }
  if (start > 0) removeChars(name, start);
  bool onlyDots = true;
  for (int32_t i = 0; name[i] != 0; ++i) {
    if (name[i] != '.') onlyDots = false;
  }
  if (onlyDots) copyText(name, "noname", kTextMax);
}

// The file-name part of a B-encoded value: '/' belongs to the base64
// alphabet, so only '\' and ':' cut the text before it is decoded (the
// decoded name is cut at every separator by makeSafeName).
char* base64NamePart(char* value) {
  char* name = value;
  for (int32_t i = 1; value[i] != 0; ++i) {
    if (value[i] == '\\' || value[i] == ':') name = value + i + 1;
  }
  return name;
}

// The encoded-word rule of the top-level header before "MIME-Version: 1.0":
// a Q-encoded "Subject:" or "From" line is written decoded, a B-encoded one
// loses its markers only.
void decodeHeaderWords(ChannelBlock* b) {
  int kind = encodedWordKind(b->replyText);
  if (kind == kNoEncodedWord) return;
  logText(b, "[ISO8859]\r\n");
  char waiting[5];
  int32_t seen = peekBytes(b, waiting, sizeof waiting);
  if (seen > 1 && waiting[0] == ' ') joinContinuation(b, '=');
  stripEncodedWords(after(b->replyText, 4));
  copyText(b->logLine, b->replyText, kLineArea - 2);
  // Decoding never makes a text longer, so the line fits back in place.
  if (kind == kQEncodedWord) decodeQuoted(b->logLine, b->replyText);
}

int topHeaderLine(ChannelBlock* b) {
  char* line = b->replyText;
  if (blankLine(line)) {
    b->analyserState = kAnalysisOff;
    logText(b, "[Not doing MIME/2]\r\n");
  } else if (beginsWith(line, "Subject:", 8) || beginsWith(line, "From", 4)) {
    decodeHeaderWords(b);
  } else if (beginsWith(line, "MIME-Version: 1.0", 17)) {
    b->analyserState = kMimeHeader;
    logText(b, "[MIME version found]\r\n");
  }
  if (defineBoundary(b)) logText(b, "[Assuming MIME]\r\n");
  return 1;
}

int mimeHeaderLine(ChannelBlock* b) {
  char* line = b->replyText;
  if (blankLine(line)) {
    if (b->partEncoding != kEncodingNone) {
      b->analyserState = kPartBody;
      logText(b, "[MIME w/o boundary]\r\n");
      openUnnamedAttachment(b);
    } else {
      b->analyserState = kAnalysisOff;
      logText(b, "[Not doing MIME]\r\n");
    }
    return 1;
  }
  if (beginsWith(line, "Subject:", 8) || beginsWith(line, "To:", 3) ||
      beginsWith(line, "From:", 5)) {
    return 1;
  }
  if (defineBoundary(b) || parseTransferEncoding(b)) return 0;
  if (parseDisposition(b) || beginsWith(b->replyText, "Content-Type:", 13)) {
    if (parseFileName(b)) openAttachment(b);
  }
  return 0;
}

int preambleLine(ChannelBlock* b) {
  isBoundaryLine(b);
  if (b->headerEnded == 0 && b->replyText[0] == '\r' && b->replyText[1] == '\n') {
    b->headerEnded = 1;
    return 1;
  }
  return 0;
}

int partHeaderLine(ChannelBlock* b) {
  logText(b, "[Looking for encoding]\r\n");
  if (blankLine(b->replyText)) {
    if (b->nestedHeader == 1) return 0;
    b->analyserState = kPartBody;
    openUnnamedAttachment(b);
    return 0;
  }
  b->nestedHeader = 0;
  if (parseTransferEncoding(b)) return 0;
  if (defineAltBoundary(b)) return 0;
  if (beginsWith(b->replyText, "Content-Type: message/rfc822", 28)) {
    b->nestedHeader = 1;
    return 0;
  }
  if (parseDisposition(b) || beginsWith(b->replyText, "Content-Type:", 13)) {
    if (parseFileName(b)) openAttachment(b);
  }
  return 0;
}

int partBodyLine(ChannelBlock* b) {
  if (isBoundaryLine(b)) {
    finishAttachment(b);
    return 0;
  }
  if (b->fileHandle == 0) {
    logText(b, "[...text...]\r\n");
    return 1;
  }
  int32_t length = textLength(b->replyText);
  b->fileBytes += length;
  int32_t count;
  if (b->partEncoding == kEncodingBase64) {
    // At most (2049 / 4) * 3 + 4 bytes are written: well inside logLine.
    count = decodeBase64(b->replyText, b->logLine, length);
  } else if (b->partEncoding == kEncodingQuoted) {
    count = decodeQuoted(b->replyText, b->logLine);
  } else {
    count = copyText(b->logLine, b->replyText, kLineArea - 1);
  }
  if (count > 0) plat::fileWrite(b->fileHandle, b->logLine, count);
  logText(b, "[...decode...]\r\n");
  return 0;
}

}  // namespace

int analyseLine(ChannelBlock* b) {
  switch (b->analyserState) {
    case kTopHeader:
      return topHeaderLine(b);
    case kMimeHeader:
      return mimeHeaderLine(b);
    case kPreamble:
      return preambleLine(b);
    case kPartHeader:
      return partHeaderLine(b);
    case kPartBody:
      return partBodyLine(b);
    default:
      return 1;
  }
}

int isBoundaryLine(ChannelBlock* b) {
  bool main = b->boundaryLength > 0 && beginsWith(b->replyText, b->mimeBoundary, b->boundaryLength);
  bool alternate =
      b->altBoundaryLength > 0 && beginsWith(b->replyText, b->altBoundary, b->altBoundaryLength);
  if (!main && !alternate) return 0;
  b->partEncoding = kEncodingNone;
  b->analyserState = kPartHeader;
  copyText(b->attachName, "incoming.mai", kTextMax);
  logText(b, "[Boundary line found]\r\n");
  return 1;
}

int defineBoundary(ChannelBlock* b) {
  if (!beginsWith(b->replyText, "Content-Type:", 13)) return 0;
  joinContinuation(b, ';');
  joinContinuation(b, ';');
  char* found = findText(after(b->replyText, 13), "Boundary=");
  if (found == nullptr) return 0;
  char* value = found + 9;
  char* end = nullptr;
  char* start;
  if (findChar(value, '"') != nullptr) {
    start = quotedValue(value, &end);
    if (start == nullptr) return 0;
  } else {
    start = value;
    end = findChar(value, '\r');
    if (end == nullptr || end == start) return 0;
  }
  b->boundaryLength = recordBoundary(b->mimeBoundary, start, static_cast<int32_t>(end - start));
  b->altBoundaryLength = 0;
  b->analyserState = kPreamble;
  // A file opened by an earlier header line of this message is not a part's
  // body: it is dropped, not reported.
  if (b->fileHandle != 0) {
    plat::fileClose(b->fileHandle);
    b->fileHandle = 0;
  }
  logFormat(b, "[MIME boundary defined %d (%s)]\r\n", b->boundaryLength, b->mimeBoundary);
  return 1;
}

int defineAltBoundary(ChannelBlock* b) {
  if (!beginsWith(b->replyText, "Content-Type: multipart/alternative;", 36) &&
      !beginsWith(b->replyText, "Content-Type: multipart/mixed", 29)) {
    return 0;
  }
  joinContinuation(b, ';');
  joinContinuation(b, ';');
  char* found = findText(after(b->replyText, 29), "Boundary=");
  if (found == nullptr) return 0;
  char* end = nullptr;
  char* start = quotedValue(found + 9, &end);
  if (start == nullptr) return 0;
  b->altBoundaryLength = recordBoundary(b->altBoundary, start, static_cast<int32_t>(end - start));
  logFormat(b, "[Alternate MIME boundary defined %d (%s)]\r\n", b->altBoundaryLength,
            b->altBoundary);
  return 1;
}

int parseTransferEncoding(ChannelBlock* b) {
  if (!beginsWith(b->replyText, "Content-Transfer-Encoding:", 26)) return 0;
  char* rest = after(b->replyText, 26);
  if (findText(rest, "base64") != nullptr) {
    b->partEncoding = kEncodingBase64;
    logText(b, "[Encoding is BASE64]\r\n");
  } else if (findText(rest, "quoted-printable") != nullptr) {
    b->partEncoding = kEncodingQuoted;
    logText(b, "[Encoding is QUOTED]\r\n");
  } else if (findText(rest, "7bit") != nullptr) {
    b->partEncoding = kEncoding7Bit;
    logText(b, "[Encoding is 7-bit]\r\n");
  } else {
    return 0;
  }
  return 1;
}

int parseDisposition(ChannelBlock* b) {
  if (!beginsWith(b->replyText, "Content-Disposition:", 20)) return 0;
  char* found = findText(after(b->replyText, 20), "inline");
  // The search only finds "inline" with at least one character after it.
  if (found != nullptr && found[6] != ';') {
    b->nestedHeader = 1;
    logText(b, "[inline]\r\n");
  }
  return 1;
}

int parseFileName(ChannelBlock* b) {
  if (!joinContinuation(b, ';')) {
    char waiting[5];
    int32_t seen = peekBytes(b, waiting, sizeof waiting);
    if (seen > 1 && waiting[0] == ' ' && waiting[1] != ' ') joinContinuation(b, 0);
  }
  int kind = encodedWordKind(after(b->replyText, 13));
  if (kind != kNoEncodedWord) {
    logText(b, "[iso-8859]\r\n");
    joinContinuation(b, '=');
    // Written in three pieces: a joined line can be longer than one
    // formatted log line.
    logText(b, "[r:");
    logText(b, b->replyText);
    logText(b, "]\r\n");
    stripEncodedWords(after(b->replyText, 4));
  }
  char* found = findText(after(b->replyText, 13), "name=");
  if (found == nullptr) return 0;
  char* value = found + 5;
  char* end = nullptr;
  char* start;
  if (findChar(value, '"') != nullptr) {
    start = quotedValue(value, &end);
    if (start == nullptr) return 0;
  } else {
    start = value;
    if (start[0] == 0) return 0;
    end = findChar(start + 1, '\r');
    if (end == nullptr) return 0;
  }
  // The value is terminated in place while it is used, and the character
  // that ended it is put back afterwards.
  char ending = *end;
  *end = 0;
  char* name = kind == kBEncodedWord ? base64NamePart(start) : fileNamePart(start);
  int32_t length = textLength(name);
  if (kind == kQEncodedWord) {
    // Decoded through logLine, whose room takes any line; the name is then
    // cut to the 128 characters `attachName` holds.
    decodeQuoted(name, b->logLine);
    copyText(b->attachName, b->logLine, kTextMax);
  } else if (kind == kBEncodedWord) {
    if (length > 2) {
      int32_t count = decodeBase64(name, b->logLine, length);
      copyText(b->attachName, b->logLine, count < kTextMax ? count : kTextMax);
    }
  } else {
    copyText(b->attachName, name, kTextMax);
  }
  *end = ending;
  makeSafeName(b->attachName);
  logFormat(b, "[Filename='%s']\r\n", b->attachName);
  return 1;
}

void tidyLineEnd(char* line, int32_t area) {
  int32_t length = textLength(line);
  while (length >= 3) {
    char last = line[length - 1];
    if (last != ' ' && last != '\t' && last != '\r' && last != '\n') break;
    line[--length] = 0;
  }
  // The CR LF and the terminator must stay inside the area.
  if (length > area - 3) length = area - 3;
  line[length] = '\r';
  line[length + 1] = '\n';
  line[length + 2] = 0;
}

int joinContinuation(ChannelBlock* b, char required) {
  char* line = b->replyText;
  tidyLineEnd(line, kLineArea);
  int32_t length = textLength(line) - 2;
  if (length <= 0) return 0;
  if (required != 0 && line[length - 1] != required) return 0;
  // A join is refused when the buffer could not take a whole received line
  // after this one: the continuation line then arrives as a line of its
  // own, and the joined text never passes the end of `replyText`.
  if (length + kReceiveArea > kLineArea) return 0;
  const int32_t wait = globalParams.pop3DataLimit;
  int32_t n = receiveLine(b, line + length, kReceiveArea, wait, 4 * wait);
  if (n <= 0) {
    // Nothing arrived, or the connection failed: the line keeps its text and
    // its CR LF; the retrieval meets the failure at its next read.
    line[length] = '\r';
    line[length + 1] = '\n';
    line[length + 2] = 0;
    return 1;
  }
  line[length + n] = 0;
  if (line[length] == ' ') removeChars(line + length, 1);
  return 1;
}

void formatAttachName(const ChannelBlock* b, char* area, int32_t size) {
  if (b->numberAttachNames != 0) {
    plat::formatText(area, static_cast<size_t>(size), "%1d-%1s", b->attachNumber + 1,
                     b->attachName);
  } else {
    copyText(area, b->attachName, size - 1);
  }
}

int openAttachment(ChannelBlock* b) {
  logFormat(b, "[AttachDir = '%s']\r\n", b->attachDir);
  logFormat(b, "[Filename = '%s']\r\n", b->attachName);
  // Built in an area that takes any directory, prefix and name, then
  // refused as a whole when it does not fit `attachPath`: a cut path could
  // lose the name or the separator and name another file.
  char path[2 * kTextField + 16];
  int32_t length = copyText(path, b->attachDir, kTextMax);
  if (length == 0 || path[length - 1] != '\\') {
    path[length++] = '\\';
    path[length] = 0;
  }
  formatAttachName(b, path + length, static_cast<int32_t>(sizeof path) - length);
  if (b->fileHandle != 0) {
    plat::fileClose(b->fileHandle);
    b->fileHandle = 0;
  }
  if (textLength(path) > kTextMax) {
    b->attachPath[0] = 0;
    logFormat(b, "[Cannot open '%s']\r\n", path);
    return 0;
  }
  copyText(b->attachPath, path, kTextMax);
  logFormat(b, "[Creating '%s']\r\n", b->attachPath);
  int handle = plat::fileCreate(b->attachPath);
  if (handle <= 0) {
    logFormat(b, "[Cannot open '%s']\r\n", b->attachPath);
    b->fileHandle = 0;
    return 0;
  }
  b->fileHandle = handle;
  return 1;
}

void openUnnamedAttachment(ChannelBlock* b) {
  if (b->partEncoding != kEncodingBase64 || b->fileHandle != 0 || b->saveUnnamedParts == 0) {
    return;
  }
  if (b->attachName[0] == 0) copyText(b->attachName, "noname", kTextMax);
  openAttachment(b);
}

int finishAttachment(ChannelBlock* b) {
  if (b->fileHandle == 0) return 0;
  plat::fileClose(b->fileHandle);
  b->fileHandle = 0;
  char note[kTextField + 32];
  int32_t length = plat::formatText(note, sizeof note, "[Attachment saved to %c%s%c]\r\n",
                                    quoteChar, b->attachPath, quoteChar);
  if (globalParams.noSavedNote == 0 && b->saveFile != 0) {
    writeMessageLine(b->saveFile, note, length);
  }
  logText(b, note);
  addSavedName(b);
  ++b->attachmentsSaved;
  ++b->attachNumber;
  return 1;
}

void addSavedName(ChannelBlock* b) {
  const char* name = fileNamePart(b->attachPath);
  int32_t nameLength = textLength(name);
  int32_t listLength = textLength(b->savedNames);
  if (listLength + nameLength > kSavedNamesMax) return;
  if (listLength > 0) {
    b->savedNames[listLength] = globalParams.listSeparator;
    b->savedNames[listLength + 1] = 0;
  }
  appendText(b->savedNames, name, kSavedNameCut);
}

}  // namespace pel
