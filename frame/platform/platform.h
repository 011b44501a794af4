// The services the library stands on: sockets, files, memory, a lock, time,
// formatted print and a message box. This is the only interface through which
// the rest of the library reaches the operating system; each operating system
// has one implementation file beside this header.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace plat {

// ---- Sockets -------------------------------------------------------------
// Socket handles are above 0; 0 is the "no socket" value of a channel.
using Socket = uint32_t;
constexpr Socket kNoSocket = 0;

// Windows Sockets error numbers; every socket failure is reported with these
// numbers on every platform, so the codes an application sees never differ.
constexpr int kWouldBlock = 10035;
constexpr int kNotSocket = 10038;
constexpr int kConnectionRefused = 10061;
constexpr int kTimedOut = 10060;
constexpr int kHostNotFound = 11001;

// 0 on success, else an error number.
int socketStartup();
void socketCleanup();

// A TCP stream socket, or kNoSocket (the error number is then lastSocketError).
Socket createStreamSocket();
// The error number of this thread's last failed socket call.
int lastSocketError();
// Whether a blocking socket call of this thread is still running. Only
// platforms with one blocking call per thread know this; elsewhere false.
bool blockingCallInProgress();
// argument 1: non-blocking mode, 0: blocking mode.
void setNonBlocking(Socket s, uint32_t argument);
// 0 when connected, else an error number (kWouldBlock: the connect is under
// way). The address and port are in host byte order.
int connectSocket(Socket s, uint32_t address, uint16_t port);

enum class Readiness { Read = 1, Write = 2, Exception = 3 };
// Zero-time-out readiness query: 1 ready, 0 not ready, -1 the query failed
// (invalid or closed socket).
int querySocket(Socket s, Readiness mode);

// Bytes sent, or -1 (never raises a signal on a closed connection).
int sendBytes(Socket s, const void* bytes, int count);
// Bytes placed, 0 when the peer has closed, -1 on failure.
int receive(Socket s, void* area, int size, bool peek);

// First IPv4 address of a host name, network byte order. 0 on success,
// else an error number.
int lookupHost(const char* name, uint32_t* address);
// 0 on success with the name in the area.
int localHostName(char* area, int size);
// Linger on for 500 seconds, then close.
void lingerAndClose(Socket s);
// Local IPv4 address of a connected socket, host byte order; 0 on success.
int localAddress(Socket s, uint32_t* address);

// ---- Files -----------------------------------------------------------------
// Handles are above 0; -1 is failure. Paths may use '\' between directories.
int fileCreate(const char* path);    // created, or emptied when it exists
int fileOpenRead(const char* path);  // read-only, others may read
int fileRead(int handle, void* area, int count);  // bytes, 0 at end, -1
int fileWrite(int handle, const void* bytes, int count);  // unbuffered
void fileClose(int handle);

// ---- Memory ----------------------------------------------------------------
void* allocateZeroed(size_t size);  // null on failure
void freeBlock(void* block);

// ---- Lock --------------------------------------------------------------------
// A lock one thread holds at a time and that the same thread may take again.
struct Lock;
Lock* lockCreate();
void lockTake(Lock* lock);
void lockRelease(Lock* lock);
void lockDestroy(Lock* lock);

// ---- Time ------------------------------------------------------------------
// Milliseconds of a monotonic clock, truncated to 32 bits (wraps).
uint32_t tickCount();
void sleepMs(uint32_t ms);
void yieldThread();

struct LocalTime {
  int year, month, dayOfWeek, day, hour, minute, second;  // month 1-12, Sunday 0
};
// Local time now, and the zone bias in minutes (local time plus bias gives
// UTC, standard time). Returns 2 while daylight time is in effect, else 1.
int localTime(LocalTime* time, int32_t* biasMinutes);

// ---- Formatted print ------------------------------------------------------
// Formats into an area of `size` bytes, never more than 1024 bytes including
// the terminator. Integer conversions take 32-bit values ("%ld" and "%lx"
// included). Returns the length written.
int formatText(char* area, size_t size, const char* format, ...);
int formatTextV(char* area, size_t size, const char* format, va_list args);

// ---- Message box ----------------------------------------------------------
// Shows a modal message and returns when it is dismissed.
void messageBox(const char* text, const char* title);

// ---- Test hooks ----------------------------------------------------------
// Shifts the tick count by an offset, so that tests can put it near the wrap.
void setTickOffset(uint32_t offset);
// Replaces the local time and zone with fixed values; null restores the clock.
struct FixedTime {
  LocalTime time;
  int32_t biasMinutes;
  bool daylight;
};
void setFixedTime(const FixedTime* fixed);
// Receives message box texts instead of standard error; null restores it.
using MessageSink = void (*)(const char* text, const char* title);
void setMessageSink(MessageSink sink);
// Counts platform socket closes (lets tests see that a close happened once).
int socketCloseCount();

}  // namespace plat
