/* pel32: a small e-mail client library with a flat C interface.
 *
 * SMTP sending and POP3 mailbox access on up to 128 numbered channels. Every
 * function returns a 32-bit integer: 0, 1 or a count on success, a negative
 * error code on failure (pelErrorText gives its text). */
#ifndef PEL32_H
#define PEL32_H

#include <stdint.h>

#if defined(_WIN32)
#define PELAPI __stdcall
#else
#define PELAPI
#endif

#if defined(_WIN32)
#define PEL32_EXPORT __declspec(dllexport)
#else
#define PEL32_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Integer parameters (pelIntegerParam). */
#define PARAM_AFTER_SEND_PAUSE_MS 1
#define PARAM_REPLY_LIMIT_MS 2
#define PARAM_CONNECT_LIMIT_MS 3
#define PARAM_LINE_PAUSE_MS 5
#define PARAM_DATA_LIMIT_MS 6
#define PARAM_BODY_KIND 8
#define PARAM_DRIVE_IN_CALL 9
#define PARAM_NUMBER_SAVED_NAMES 10
#define PARAM_SMTP_DATA_LIMIT_MS 11
#define PARAM_POP3_DATA_LIMIT_MS 12
#define PARAM_POLL_SLEEP_MS 13
#define PARAM_SAVE_UNNAMED_PARTS 14
#define PARAM_SMTP_SERVER_PORT 15
#define PARAM_POP3_SERVER_PORT 16
#define PARAM_WRAP_LENGTH 17
#define PARAM_BLOCKING_CONNECT 18
#define PARAM_KEEP_CONTROL_CHARS 19
#define PARAM_NO_SAVED_NOTE 21
#define PARAM_OMIT_TO_LINE 22
#define PARAM_RECIPIENT_SEPARATOR 23
#define PARAM_RELEASE_WINSOCK 24
#define PARAM_LIST_SEPARATOR 25
#define PARAM_PATH_NAME_SEPARATOR 26
#define PARAM_IMAGE_TYPES 27

/* String parameters (pelStringParam). */
#define STRPARAM_OPEN_LOG 20
#define STRPARAM_SAVE_RETRIEVAL 41
#define STRPARAM_REPLY_ADDRESS 50
#define STRPARAM_HEADER_LINES 51
#define STRPARAM_LOG_NOTE 52
#define STRPARAM_SENDER_ADDRESS 53
#define STRPARAM_BODY_TYPE_LINE 54
#define STRPARAM_BODY_ENCODING_LINE 55
#define STRPARAM_APPEND_HEADER 56

PEL32_EXPORT int32_t PELAPI pelAttach(int32_t channels);
PEL32_EXPORT int32_t PELAPI pelRelease(void);
PEL32_EXPORT int32_t PELAPI pelDriver(int32_t chan);
PEL32_EXPORT int32_t PELAPI pelClose(int32_t chan);
PEL32_EXPORT int32_t PELAPI pelAbort(int32_t chan);
PEL32_EXPORT int32_t PELAPI pelIntegerParam(int32_t chan, int32_t code, int32_t value);
PEL32_EXPORT int32_t PELAPI pelStringParam(int32_t chan, int32_t code, const char *text);
PEL32_EXPORT int32_t PELAPI pelErrorText(int32_t chan, int32_t code, char *buffer, int32_t size);
PEL32_EXPORT int32_t PELAPI pelStatistics(int32_t chan, int32_t code);
PEL32_EXPORT int32_t PELAPI pelDebug(int32_t chan, int32_t code, char *buffer, int32_t size);
PEL32_EXPORT int32_t PELAPI pelSmtpConnect(int32_t chan, const char *server, const char *from,
                                           const char *replyTo);
PEL32_EXPORT int32_t PELAPI pelSendEmail(int32_t chan, const char *to, const char *cc,
                                         const char *bcc, const char *subject,
                                         const char *message, const char *attachments);
PEL32_EXPORT int32_t PELAPI pelVerifyUser(int32_t chan, const char *addresses);
PEL32_EXPORT int32_t PELAPI pelVerifyFormat(const char *address);
PEL32_EXPORT int32_t PELAPI pelPop3Connect(int32_t chan, const char *server, const char *user,
                                           const char *password);
PEL32_EXPORT int32_t PELAPI pelGetEmailCount(int32_t chan);
PEL32_EXPORT int32_t PELAPI pelGetEmailSize(int32_t chan, int32_t message);
PEL32_EXPORT int32_t PELAPI pelGetEmailUID(int32_t chan, int32_t message, char *buffer,
                                           int32_t size);
PEL32_EXPORT int32_t PELAPI pelDeleteEmail(int32_t chan, int32_t message);
PEL32_EXPORT int32_t PELAPI pelCommand(int32_t chan, const char *text);
PEL32_EXPORT int32_t PELAPI pelGetEmailLines(int32_t chan, int32_t message, int32_t lines,
                                             char *buffer, int32_t size);
PEL32_EXPORT int32_t PELAPI pelGetEmailFile(int32_t chan, int32_t message, const char *fileName,
                                            const char *emailDir, const char *attachDir);
PEL32_EXPORT int32_t PELAPI pelEncodeBuffer(const char *source, char *target, int32_t length);
PEL32_EXPORT int32_t PELAPI pelDecodeBuffer(const char *source, char *target, int32_t length);
PEL32_EXPORT int32_t PELAPI pelExtractText(const char *text, const char *pattern, char *buffer,
                                           int32_t size);
PEL32_EXPORT int32_t PELAPI pelExtractLine(const char *text, int32_t lineNumber, char *buffer,
                                           int32_t size);

#ifdef __cplusplus
}
#endif

#endif /* PEL32_H */
