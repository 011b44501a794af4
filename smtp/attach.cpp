// Attachments of a sent message and the base64 encoder.
#include "smtp/attach.h"

#include <cstring>

#include "driver/driver.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/text.h"
#include "pel32.h"
#include "smtp/smtp.h"

namespace pel {
namespace {

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// While a file is encoded, its block is read to this offset of `sendLine` and
// the line is written from the start: input and output never overlap.
constexpr int32_t kInputOffset = 80;
constexpr int32_t kClearedBytes = 140;

struct ImageType {
  const char* extension;
  const char* line;
};
const ImageType kImageTypes[] = {
    {".gif", "Content-type: Image/GIF"},
    {".bmp", "Content-type: Image/BMP"},
    {".tif", "Content-type: Image/TIFF"},
    {".jpg", "Content-type: Image/JPEG"},
};

// A separator set to the terminator separates nothing.
char* findSeparator(const char* text, char separator) {
  return separator != 0 ? findChar(text, separator) : nullptr;
}

}  // namespace

void encodeBase64Group(const unsigned char* in, char* out) {
  out[0] = kBase64Alphabet[in[0] >> 2];
  out[1] = kBase64Alphabet[((in[0] & 0x03) << 4) | (in[1] >> 4)];
  out[2] = kBase64Alphabet[((in[1] & 0x0F) << 2) | (in[2] >> 6)];
  out[3] = kBase64Alphabet[in[2] & 0x3F];
}

int32_t encodeBase64Block(const unsigned char* in, int32_t count, char* out) {
  int32_t written = 0;
  for (int32_t i = 0; i < count; i += 3) {
    // The missing bytes of a last short group are zero.
    unsigned char group[3] = {0, 0, 0};
    for (int32_t k = 0; k < 3 && i + k < count; ++k) group[k] = in[i + k];
    encodeBase64Group(group, out + written);
    written += 4;
  }
  if (count % 3 == 1) out[written - 2] = '=';
  if (count % 3 != 0) out[written - 1] = '=';
  out[written] = '\r';
  out[written + 1] = '\n';
  return written;
}

const char* announcedName(const char* entry) {
  const char* name = fileNamePart(entry);
  const char* separator = findSeparator(name, globalParams.pathNameSeparator);
  return separator != nullptr ? separator + 1 : name;
}

const char* imageTypeLine(const ChannelBlock* b, const char* name) {
  const int32_t length = textLength(name);
  if (b->imageTypes == 0 || length <= 4) return nullptr;
  for (const ImageType& type : kImageTypes) {
    if (matchText(name + length - 4, type.extension, 4)) return type.line;
  }
  return nullptr;
}

// ---- States ---------------------------------------------------------------------

// The text, or the previous attachment, always ends with CR LF, so a single
// CR LF before the delimiter is enough: it is always "\r\n--boundary", which
// leaves one empty line between the part before and the delimiter.
int32_t sendPartDelimiter(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 261, "\r\n--%s", outgoingBoundary);
}

int32_t sendPartType(ChannelBlock* b, uint32_t) {
  char* separator = findSeparator(b->attachList, globalParams.listSeparator);
  if (separator != nullptr) {
    *separator = 0;
    b->nextAttach = separator + 1;
  } else {
    b->nextAttach = b->attachList + textLength(b->attachList);
  }
  const char* name = announcedName(b->attachList);
  const char* image = imageTypeLine(b, name);
  if (image != nullptr) return sendLineThen(b, 262, "%s", image);
  return sendLineThen(b, 262, "%s%c%s%c",
                      "Content-Type: application/octet-stream; name=", quoteChar, name, quoteChar);
}

int32_t sendPartEncoding(ChannelBlock* b, uint32_t) {
  return sendLineThen(b, 263, "Content-Transfer-Encoding: base64");
}

// The line carries its own CR LF, so with the one putLine adds it also ends
// the part header.
int32_t sendPartDisposition(ChannelBlock* b, uint32_t now) {
  int32_t r =
      sendLineThen(b, 264, "%s%c%s%c\r\n", "Content-Disposition: attachment; filename=", quoteChar,
                   announcedName(b->attachList), quoteChar);
  if (r == 0) b->wakeTime = now;
  return r;
}

int32_t openAttachment(ChannelBlock* b, uint32_t) {
  // The file is opened by the path alone: the name part is cut off for the
  // open and put back afterwards, so the entry stays as it was given.
  const char nameSeparator = globalParams.pathNameSeparator;
  char* cut = findSeparator(b->attachList, nameSeparator);
  if (cut != nullptr) *cut = 0;
  logFormat(b, "Opening attachment [%s]\r\n", b->attachList);
  int handle = plat::fileOpenRead(b->attachList);
  if (cut != nullptr) *cut = nameSeparator;
  if (handle <= 0) return failStep(b, handle, kErrCannotOpenFile);
  b->fileHandle = handle;
  b->waitSocket = 1;
  goTo(b, 265);
  return 0;
}

int32_t sendAttachmentLine(ChannelBlock* b, uint32_t now) {
  std::memset(b->sendLine, 0, kClearedBytes);
  unsigned char* input = reinterpret_cast<unsigned char*>(b->sendLine + kInputOffset);
  int count = plat::fileRead(b->fileHandle, input, kBase64LineBytes);
  // A failed read ends the attachment as the end of the file does.
  if (count <= 0) {
    plat::fileClose(b->fileHandle);
    b->fileHandle = 0;
    if (b->nextAttach[0] != 0) {
      b->attachList = b->nextAttach;
      goTo(b, 260);
    } else {
      goTo(b, 251);
    }
    return 0;
  }
  b->fileBytes += count;
  const int32_t length = encodeBase64Block(input, count, b->sendLine) + 2;
  b->encodedBytesSent += length;
  int32_t sent = putBytes(b->socket, b->sendLine, length);
  if (sent < 0) return failStep(b, sent, kErrSocketWrite);
  pace(b, now, static_cast<uint32_t>(globalParams.linePause),
       static_cast<uint32_t>(globalParams.smtpDataLimit));
  b->waitSocket = 1;
  return 0;
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelEncodeBuffer(const char* source, char* target, int32_t length) {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(source);
  int32_t total = 0;
  while (length > 0) {
    const int32_t count = length < kBase64LineBytes ? length : kBase64LineBytes;
    const int32_t written = encodeBase64Block(in, count, target) + 2;
    in += count;
    target += written;
    length -= count;
    total += written;
  }
  return total;
}
