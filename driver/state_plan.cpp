// The state plan: every state number the driver knows, with its work.
#include "driver/connect.h"
#include "driver/driver.h"
#include "pop3/pop3.h"
#include "pop3/retrieve.h"
#include "smtp/attach.h"
#include "smtp/compose.h"
#include "smtp/smtp.h"

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
    {201, "SMTP_GREETING", readGreeting},
    {202, "HELO", sendHelo},
    {203, "HELO_REPLY", readHeloReply},
    {204, "MAIL_FROM", sendMailFrom},
    {205, "MAIL_FROM_REPLY", readMailFromReply},
    {206, "NEXT_RECIPIENT", takeRecipient},
    {207, "RCPT_TO", sendRcptTo},
    {208, "RCPT_TO_REPLY", readRcptToReply},
    {209, "DATA", sendData},
    {210, "DATA_REPLY", readDataReply},
    {220, "X_MAILER", sendMailerLine},
    {222, "DATE", sendDateLine},
    {223, "TO", sendToLine},
    {224, "FROM", sendFromLine},
    {225, "REPLY_TO", sendReplyToLine},
    {226, "SUBJECT", sendSubjectLines},
    {227, "CC", sendCcLine},
    {228, "MIME_VERSION", sendMimeVersion},
    {229, "MULTIPART_TYPE", sendMultipartType},
    {230, "HEADER_END", endHeaderBlock},
    {231, "TEXT_DELIMITER", sendTextDelimiter},
    {232, "TEXT_TYPE", sendTextType},
    {233, "TEXT_ENCODING", sendTextEncoding},
    {235, "TEXT_START", startText},
    {240, "MEMORY_TEXT", startMemoryText},
    {241, "MEMORY_TEXT_LINE", sendMemoryTextLine},
    {244, "OPEN_MESSAGE_FILE", openMessageFile},
    {245, "FILE_TEXT_LINE", sendFileTextLine},
    {251, "END_OF_DATA", sendEndOfData},
    {252, "FINAL_REPLY", readFinalReply},
    {260, "PART_DELIMITER", sendPartDelimiter},
    {261, "PART_TYPE", sendPartType},
    {262, "PART_ENCODING", sendPartEncoding},
    {263, "PART_DISPOSITION", sendPartDisposition},
    {264, "OPEN_ATTACHMENT", openAttachment},
    {265, "ATTACHMENT_LINE", sendAttachmentLine},
    {270, "VERIFY_NEXT", takeVerifyAddress},
    {271, "VRFY", sendVrfy},
    {272, "VRFY_REPLY", readVrfyReply},
    {298, "SMTP_COMMAND", sendSmtpCommand},
    {299, "SMTP_COMMAND_REPLY", readSmtpCommandReply},
    // Ending a connection, both protocols.
    {258, "QUIT", sendQuit},
    {259, "QUIT_REPLY", readQuitReply},
    // POP3.
    {300, "POP3_START", pop3StartConnection},
    {301, "POP3_GREETING", readPop3Greeting},
    {302, "USER", sendUser},
    {303, "USER_REPLY", readUserReply},
    {304, "PASS", sendPassword},
    {305, "PASS_REPLY", readPasswordReply},
    {306, "STAT", sendStat},
    {307, "STAT_REPLY", readStatReply},
    {310, "RETR", startFileRetrieval},
    {311, "TOP", startBufferRetrieval},
    {312, "RETR_LINE", receiveFileLine},
    {313, "RETRIEVAL_END", endRetrieval},
    {314, "TOP_LINE", receiveBufferLine},
    {315, "DELE", sendDelete},
    {316, "DELE_REPLY", readDeleteReply},
    {317, "LIST", sendList},
    {318, "LIST_REPLY", readListReply},
    {320, "UIDL", sendUidl},
    {321, "UIDL_LINE", readUidlLine},
    {398, "POP3_COMMAND", sendPop3Command},
    {399, "POP3_COMMAND_REPLY", readPop3CommandReply},
};

}  // namespace

const StateEntry* findState(int32_t state) {
  for (const StateEntry& entry : statePlan) {
    if (entry.state == state) return &entry;
  }
  return nullptr;
}

}  // namespace pel
