// The state plan: every state number the driver knows, with its work.
#include "driver/connect.h"
#include "driver/driver.h"

namespace pel {
namespace {

const StateEntry statePlan[] = {
    // Connecting, shared by both protocols.
    {101, "LOCAL_HOST_NAME", getLocalHostName},
    {102, "LOCAL_HOST_NAME", getLocalHostName},
    {103, "LOCAL_HOST_NAME", getLocalHostName},
    {104, "FIND_SERVER", findServerAddress},
    {105, "CONNECT", createSocketAndConnect},
    {106, "AWAIT_CONNECT", awaitConnect},
    // SMTP.
    {200, "SMTP_START", smtpStartConnection},
    // Ending a connection, both protocols.
    {258, "QUIT", sendQuit},
    {259, "QUIT_REPLY", readQuitReply},
    // POP3.
};

}  // namespace

const StateEntry* findState(int32_t state) {
  for (const StateEntry& entry : statePlan) {
    if (entry.state == state) return &entry;
  }
  return nullptr;
}

}  // namespace pel
