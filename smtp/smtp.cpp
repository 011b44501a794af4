// SMTP exchange and addressing.
#include "smtp/smtp.h"

#include <cstdarg>
#include <cstring>

#include "driver/connect.h"
#include "driver/transport.h"
#include "frame/errors.h"
#include "frame/log.h"
#include "frame/params.h"
#include "frame/slots.h"
#include "frame/text.h"
#include "pel32.h"

namespace pel {
namespace {

// A formatted line may carry the application's text with line breaks of its
// own (a Subject, the extra header lines). Each of its lines that begins
// with '.' gets a second one, as in the message text, so that no such text
// can end the data early and put commands of its own on the connection. The
// formatted text is at most 1023 characters, so the doubled dots always fit.
void stuffLineDots(char* line, int32_t area) {
  int32_t length = textLength(line);
  for (int32_t i = 1; i < length && length + 3 < area; ++i) {
    if (line[i] == '.' && line[i - 1] == '\n') {
      std::memmove(line + i + 1, line + i, static_cast<size_t>(length - i) + 1);
      ++length;
      ++i;
    }
  }
}

int32_t putFormattedV(ChannelBlock* b, const char* format, va_list args) {
  plat::formatTextV(b->sendLine, sizeof b->sendLine, format, args);
  stuffLineDots(b->sendLine, sizeof b->sendLine);
  return putSendLine(b);
}

bool isAddressChar(char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != 0 && findChar("_-/.@$&'", c) != nullptr;
}

// A non-null empty argument counts as absent.
const char* present(const char* text) { return text != nullptr && text[0] != 0 ? text : nullptr; }

// Checks the first item of an address list and copies the list into its slot.
int32_t captureList(ChannelBlock* b, const char* list, int32_t kind, char** field) {
  *field = nullptr;
  if (list == nullptr) return 0;
  int32_t r = checkAddressBrackets(b, list, BracketScope::FirstItem);
  if (r != 0) return r;
  r = checkNoLineBreak(list);
  if (r != 0) return r;
  *field = AllocAndCopy(b->channel, kind, list);
  return *field == nullptr ? kErrNoMemory : 0;
}

int32_t captureText(ChannelBlock* b, const char* text, int32_t kind, char** field, char* absent) {
  *field = absent;
  if (text == nullptr) return 0;
  *field = AllocAndCopy(b->channel, kind, text);
  return *field == nullptr ? kErrNoMemory : 0;
}

// Ends the item at `recipient`: its separator becomes a terminator and the
// cursor moves behind it. Returns the separator cut, or null for the last item.
char* cutItem(ChannelBlock* b) {
  char* separator = findRecipientSeparator(b->recipient);
  if (separator == nullptr) {
    b->recipientCursor = emptyText;
    return nullptr;
  }
  *separator = 0;
  b->recipientCursor = separator + 1;
  return separator;
}

}  // namespace

void closeLeftoverFile(ChannelBlock* b) {
  if (b->fileHandle > 0) plat::fileClose(b->fileHandle);
  b->fileHandle = 0;
}

// ---- Step shapes ------------------------------------------------------------

int32_t putSendLine(ChannelBlock* b) {
  int32_t sent = putLine(b->socket, b->sendLine);
  return sent < 0 ? failStep(b, sent, kErrSocketWrite) : 0;
}

int32_t putFormatted(ChannelBlock* b, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int32_t r = putFormattedV(b, format, args);
  va_end(args);
  return r;
}

int32_t sendLineThen(ChannelBlock* b, int32_t next, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int32_t r = putFormattedV(b, format, args);
  va_end(args);
  if (r == 0) goTo(b, next);
  return r;
}

// ---- Addresses ----------------------------------------------------------------

char* findInItem(const char* text, char c) {
  const char separator = globalParams.recipientSeparator;
  for (const char* p = text; *p != 0 && *p != separator; ++p) {
    if (*p == c) return const_cast<char*>(p);
  }
  return nullptr;
}

char* findRecipientSeparator(const char* text) {
  const char separator = globalParams.recipientSeparator;
  if (separator == 0) return nullptr;
  return findChar(text, separator);
}

int32_t checkAddressBrackets(ChannelBlock* b, const char* text, BracketScope scope) {
  if (text == nullptr || text[0] == 0) return kErrEmptyAddress;
  const bool whole = scope == BracketScope::WholeText;
  const char* less = whole ? findChar(text, '<') : findInItem(text, '<');
  if (less == nullptr) return failStep(b, 0, kErrMissingLess);
  const char* greater = whole ? findChar(text, '>') : findInItem(text, '>');
  if (greater == nullptr || greater < less) return kErrMissingGreater;
  return 0;
}

// A line break in an address would end the command line it is sent in and
// let the rest of the text through as commands of its own (further RCPT TO
// lines, for one), so no envelope text may carry CR or LF.
int32_t checkNoLineBreak(const char* text) {
  for (const char* p = text; *p != 0; ++p) {
    if (*p == '\r' || *p == '\n') return kErrBadAddressChar;
  }
  return 0;
}

void heloArgument(const ChannelBlock* b, char* domain) {
  const char* at = findChar(b->fromAddress, '@');
  if (at == nullptr) {
    copyText(domain, kDefaultHeloDomain, kTextMax);
    return;
  }
  const char* start = at + 1;
  const char* end = findChar(start, '>');
  int32_t length = end != nullptr ? static_cast<int32_t>(end - start) : textLength(start);
  copyText(domain, start, length < kTextMax ? length : kTextMax);
}

// ---- Greeting and HELO ----------------------------------------------------

int32_t readGreeting(ChannelBlock* b, uint32_t now) {
  return onSmtpReply(b, [&] {
    paceReply(b, now);
    goTo(b, 202);
  });
}

int32_t sendHelo(ChannelBlock* b, uint32_t now) {
  b->textBytesSent = 0;
  b->encodedBytesSent = 0;
  b->dataBytes = 0;
  b->fileBytes = 0;
  char domain[kTextField];
  heloArgument(b, domain);
  // A short grace for a socket that is not ready yet; its outcome does not
  // matter, since a connection that is gone shows in the send.
  waitWritable(b->socket, 1000);
  int32_t r = sendCommand(b, now, 203, kErrSocketWrite, "HELO %s", domain);
  if (r == 0) b->wakeTime = now + 2u * static_cast<uint32_t>(globalParams.afterSendPause);
  return r;
}

int32_t readHeloReply(ChannelBlock* b, uint32_t) {
  return onSmtpReply(b, [&] { goTo(b, 0); });
}

// ---- Envelope ---------------------------------------------------------------

int32_t sendMailFrom(ChannelBlock* b, uint32_t now) {
  if (b->fromAddress[0] == 0) return failStep(b, 0, kErrMissingFrom);
  const char* less = findChar(b->fromAddress, '<');
  if (less == nullptr) return failStep(b, 0, kErrMissingLess);
  return sendCommand(b, now, 205, kErrSocketWrite, "MAIL FROM:%s", less);
}

int32_t readMailFromReply(ChannelBlock* b, uint32_t) {
  return onSmtpReply(b, [&] {
    b->recipientCursor = b->toList;
    b->ccPending = b->ccList != nullptr ? 1 : 0;
    b->bccPending = b->bccList != nullptr ? 1 : 0;
    goTo(b, 206);
  });
}

int32_t takeRecipient(ChannelBlock* b, uint32_t now) {
  b->recipient = findInItem(b->recipientCursor, '<');
  if (b->recipient == nullptr) return failStep(b, 0, kErrEmptyAddress);
  b->cutPoint = cutItem(b);
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  b->waitSocket = 1;
  goTo(b, 207);
  return 0;
}

int32_t sendRcptTo(ChannelBlock* b, uint32_t now) {
  int32_t r = putFormatted(b, "RCPT TO:%s", b->recipient);
  if (r != 0) return r;
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  goTo(b, 208);
  return 0;
}

int32_t readRcptToReply(ChannelBlock* b, uint32_t now) {
  return onSmtpReply(b, [&] {
    copyText(b->lastRecipient, b->recipient, 32);
    // The lists stay whole for the header lines.
    if (b->cutPoint != nullptr) *b->cutPoint = globalParams.recipientSeparator;
    b->cutPoint = nullptr;
    if (b->recipientCursor[0] != 0) {
      goTo(b, 206);
    } else if (b->ccPending) {
      b->ccPending = 0;
      b->recipientCursor = b->ccList;
      goTo(b, 206);
    } else if (b->bccPending) {
      b->bccPending = 0;
      b->recipientCursor = b->bccList;
      goTo(b, 206);
    } else {
      b->wakeTime = now + static_cast<uint32_t>(globalParams.afterSendPause);
      goTo(b, 209);
    }
  });
}

int32_t sendData(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 210, kErrSocketWrite, "DATA");
}

int32_t readDataReply(ChannelBlock* b, uint32_t) {
  return onSmtpReply(b, [&] { goTo(b, 220); });
}

// ---- Verification -------------------------------------------------------------

int32_t takeVerifyAddress(ChannelBlock* b, uint32_t now) {
  b->recipient = b->recipientCursor;
  if (b->recipient[0] == 0) {
    goTo(b, 0);
    return 0;
  }
  // The verify list is not used again, so its separators stay cut.
  cutItem(b);
  b->deadline = now + static_cast<uint32_t>(globalParams.replyLimit);
  b->waitSocket = 1;
  goTo(b, 271);
  return 0;
}

int32_t sendVrfy(ChannelBlock* b, uint32_t now) {
  return sendCommand(b, now, 272, kErrSocketWrite, "VRFY %s", b->recipient);
}

// A rejected or unreadable reply only marks this address unconfirmed; the
// rest of the list is still verified.
int32_t readVrfyReply(ChannelBlock* b, uint32_t) {
  int32_t r = pollSmtpReply(b);
  if (r == kReplyPending) return 0;
  b->verifyResult = r == 0 && b->replyCode == 250 ? 1 : 0;
  goTo(b, 270);
  return 0;
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelSmtpConnect(int32_t chan, const char* server, const char* from,
                              const char* replyTo) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelSmtpConnect", 0, 0, false, 'S'}, &r);
  if (b == nullptr) return r;
  if (server == nullptr) return kErrNoServer;
  if (from == nullptr) return kErrFromNull;
  if (!validServerName(server)) return kErrIllegalServer;
  copyText(b->replyToAddress, present(replyTo) != nullptr ? replyTo : emptyText, kTextMax);
  copyText(b->serverName, server, kTextMax);
  r = checkAddressBrackets(b, from, BracketScope::WholeText);
  if (r != 0) return r;
  r = checkNoLineBreak(from);
  if (r != 0) return r;
  copyText(b->fromAddress, from, kTextMax);
  b->port = b->smtpPort;
  b->attachmentsSaved = 0;
  return armAndDrive(b, 200, SocketWait::Clear);
}

int32_t PELAPI pelSendEmail(int32_t chan, const char* to, const char* cc, const char* bcc,
                            const char* subject, const char* message, const char* attachments) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelSendEmail", 'S', kErrSmtpOnly, true}, &r);
  if (b == nullptr) return r;
  if (!waitWritable(channelTable[chan].socket, 0)) return kErrNotConnected;
  closeLeftoverFile(b);
  b->textBytesSent = 0;
  b->encodedBytesSent = 0;
  b->dataBytes = 0;
  b->fileBytes = 0;
  b->toList = nullptr;
  b->cutPoint = nullptr;
  to = present(to);
  if (to == nullptr) return kErrNoRecipient;
  if ((r = captureList(b, to, kSlotToList, &b->toList)) != 0) return r;
  if ((r = captureList(b, present(cc), kSlotCcList, &b->ccList)) != 0) return r;
  if ((r = captureList(b, present(bcc), kSlotBccList, &b->bccList)) != 0) return r;
  if ((r = captureText(b, present(subject), kSlotSubject, &b->subject, nullptr)) != 0) return r;
  if ((r = captureText(b, present(message), kSlotMessage, &b->messageText, emptyText)) != 0) {
    return r;
  }
  r = captureText(b, present(attachments), kSlotAttachList, &b->attachList, nullptr);
  if (r != 0) return r;
  return armAndDrive(b, 204, SocketWait::Set, TimerReset::WhenDriving, "*** Sending...\r\n");
}

int32_t PELAPI pelVerifyUser(int32_t chan, const char* addresses) {
  int32_t r;
  ChannelBlock* b = openOperation(chan, {"pelVerifyUser", 'S', kErrSmtpOnly, true}, &r);
  if (b == nullptr) return r;
  if (present(addresses) == nullptr) return kErrNoRecipient;
  if ((r = checkNoLineBreak(addresses)) != 0) return r;
  // The list goes into the To list's slot; a later message stores its own.
  char* list = AllocAndCopy(chan, kSlotToList, addresses);
  if (list == nullptr) return kErrNoMemory;
  b->toList = list;
  b->recipientCursor = list;
  r = armAndDrive(b, 270, SocketWait::Keep, TimerReset::WhenDriving);
  if (r < 0 || b->autoDrive == 0) return r;
  return b->verifyResult;
}

int32_t PELAPI pelVerifyFormat(const char* address) {
  if (address == nullptr) return kErrNullPointer;
  if (address[0] == 0) return kErrEmptyAddress;
  const char* less = findInItem(address, '<');
  if (less == nullptr) return kErrMissingLess;
  const char* greater = findInItem(address, '>');
  if (greater == nullptr || greater < less) return kErrMissingGreater;
  if (greater == less + 1) return kErrNullPointer;
  if (less[1] == '@' || greater[-1] == '@') return kErrEmptyAddress;
  int ats = 0;
  for (const char* p = less + 1; p < greater; ++p) {
    if (*p == '@' && ++ats > 1) return kErrTooManyAt;
    if (!isAddressChar(*p)) return kErrBadAddressChar;
  }
  return ats == 1 ? 1 : kErrMissingAt;
}
