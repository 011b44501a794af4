// The error table and pelErrorText.
#include "frame/errors.h"

#include "frame/channel.h"
#include "pel32.h"

namespace pel {
namespace {

struct ErrorRow {
  int32_t code;
  const char* text;
};

const ErrorRow errorTable[] = {
    {0, "Cannot comply"},
    {-1, "Socket has been closed."},
    {-4, "WINSOCK is currently blocking."},
    {-5, "Bad status flag passed to pelStatus."},
    {-7, "Invalid socket."},
    {-8, "Socket timed out."},
    {-9, "No available sockaddr structures."},
    {-12, "No host name."},
    {-18, "Cannot create socket."},
    {-31, "Response buffer has overflowed."},
    {-32, "Bad character in email address."},
    {-34, "Cannot access WINSOCK"},
    {-35, "Cannot open file."},
    {-36, "Error attempting to connect."},
    {-37, "EMPTY email address."},
    {-38, "FromPtr is NULL."},
    {-39, "Missing '@' character in email address."},
    {-40, "Missing FROM email address."},
    {-41, "Missing '<' delimiter in email address."},
    {-43, "Missing '>' terminating email address."},
    {-44, "Not connected to server"},
    {-45, "Must have at least one recipient."},
    {-46, "Cannot find SMTP/POP3 server."},
    {-47, "Unexpected NULL pointer."},
    {-48, "ToPtr is NULL."},
    {-49, "SMTP returned error."},
    {-50, "SMTP/POP3 server not specified."},
    {-51, "Socket read error."},
    {-52, "Socket write error."},
    {-53, "Too many '@' symbols in email address."},
    {-54, "Found unexpected '>' character in email address."},
    {-55, "Cannot allocate memory."},
    {-56, "Illegal chars in server name."},
    {-58, "SMTP function ONLY."},
    {-59, "POP3 function ONLY."},
    {-61, "USER name not specified."},
    {-62, "PASSWORD not specified."},
    {-63, "POP3 returned error."},
    {-64, "No such message number."},
    {-65, "Missing filename."},
    {-66, "Missing email path."},
    {-67, "Cannot create file."},
    {-68, "Buffer is NULL."},
    {-69, "Buffer size < 128."},
    {-70, "Missing path for attachments."},
    {-71, "Must call pelAttach first."},
    {-72, "Already attached."},
    {-73, "Channel out of range."},
    {-10004, "Interrupted system call."},
    {-10009, "Bad file number."},
    {-10013, "Access denied."},
    {-10014, "Bad address."},
    {-10022, "Invalid argument."},
    {-10024, "Too many open files."},
    {-10035, "Would block socket in non-blocking mode."},
    {-10036, "Blocking call already in progress."},
    {-10037, "Operation already completed."},
    {-10038, "Not a valid socket"},
    {-10039, "Destination address required."},
    {-10040, "Message too big for buffer."},
    {-10041, "Protocol mismatch."},
    {-10042, "Protocol option invalid."},
    {-10043, "Protocol not supported."},
    {-10044, "Socket type not supported."},
    {-10045, "Socket operation not supported."},
    {-10047, "Socket address family not supported."},
    {-10048, "Socket address already in use."},
    {-10049, "Socket address not available."},
    {-10050, "Network error."},
    {-10051, "Cannot reach network."},
    {-10052, "Connection dropped."},
    {-10053, "Connection timed-out or aborted."},
    {-10054, "Connection reset by remote host."},
    {-10055, "Out of buffer space."},
    {-10056, "Socket already connected."},
    {-10057, "Socket not connected."},
    {-10058, "Socket functionality shut down."},
    {-10060, "Timed-out attempting to connect."},
    {-10061, "Connection refused by remote host."},
    {-10064, "Host is down"},
    {-10065, "No route to host"},
    {-10091, "Network not yet ready."},
    {-10092, "WINSOCK doesn't support requested version."},
    {-10093, "Sockets not initialized. Call WSAStartup."},
    {-11001, "Host does not exist."},
    {-11002, "Host not found. Try again."},
    {-11003, "Non-recoverable error has occurred."},
    {-11004, "No data is available."},
    {999, nullptr},
};

// Codes whose text is followed by the server's last reply.
bool carriesReply(int32_t code) {
  return code == kErrPop3Error || code == kErrSmtpError || code == kErrConnect;
}

}  // namespace

const char* errorText(int32_t code) {
  for (const ErrorRow* row = errorTable; row->code != 999; ++row) {
    if (row->code == code) return row->text;
  }
  return nullptr;
}

int32_t formatDottedQuad(uint32_t value, char* buffer, int32_t size) {
  if (size <= 16) return 0;
  return plat::formatText(buffer, static_cast<size_t>(size), "%1d.%1d.%1d.%1d",
                          static_cast<int>((value >> 24) & 0xFF),
                          static_cast<int>((value >> 16) & 0xFF),
                          static_cast<int>((value >> 8) & 0xFF), static_cast<int>(value & 0xFF));
}

}  // namespace pel

using namespace pel;

int32_t PELAPI pelErrorText(int32_t chan, int32_t code, char* buffer, int32_t size) {
  int32_t r = checkChannel(chan);
  if (r != 0) return r;
  // Without room for the terminator nothing can be written.
  if (buffer == nullptr || size < 1) return 0;
  const char* text = errorText(code);
  int32_t placed = 0;
  if (text != nullptr) {
    while (placed < size - 1 && text[placed] != 0) {
      buffer[placed] = text[placed];
      ++placed;
    }
    if (carriesReply(code) && placed < size - 1) {
      buffer[placed++] = ' ';
      const char* reply = blockOf(chan)->replyText;
      for (int32_t i = 0; placed < size - 1 && i < kLineArea && reply[i] != 0; ++i) {
        buffer[placed++] = reply[i];
      }
    }
  }
  buffer[placed] = 0;
  return placed;
}
