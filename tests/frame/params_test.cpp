// Integer and string parameters and the log file.
#include <gtest/gtest.h>

#include <string>

#include "frame/channel.h"
#include "frame/params.h"
#include "frame/slots.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"

using namespace pel;
using namespace pel::test;

namespace {

class Params : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pelAttach(4), 1); }
  void TearDown() override { pelRelease(); }
  ChannelBlock* b(int c = 0) { return blockOf(c); }
  TempDir dir;
};

}  // namespace

TEST_F(Params, UnknownCodesSetNothing) {
  const GlobalParams before = globalParams;
  for (int32_t code : {0, 4, 7, 20, 28, -1}) {
    EXPECT_EQ(pelIntegerParam(0, code, 5), -1) << code;
  }
  EXPECT_EQ(memcmp(&before, &globalParams, sizeof before), 0);
  EXPECT_EQ(pelIntegerParam(0, 1, 5), 1);
  EXPECT_EQ(pelIntegerParam(4, 1, 5), -73);
  EXPECT_EQ(pelStringParam(0, 99, "x"), -1);
}

TEST_F(Params, OnlyTheStoredBitsCount) {
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 2);
  EXPECT_EQ(b()->autoDrive, 0);
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 3);
  EXPECT_EQ(b()->autoDrive, 1);
  pelIntegerParam(0, PARAM_BODY_KIND, 17);
  EXPECT_EQ(b()->bodyType, 1);
  pelIntegerParam(0, PARAM_BLOCKING_CONNECT, 5);
  EXPECT_EQ(b()->nonBlocking, 0);
  pelIntegerParam(0, PARAM_BLOCKING_CONNECT, 0);
  EXPECT_EQ(b()->nonBlocking, 1);
  pelIntegerParam(0, PARAM_SMTP_SERVER_PORT, 65536 + 2525);
  EXPECT_EQ(b()->smtpPort, 2525);
  pelIntegerParam(0, PARAM_RECIPIENT_SEPARATOR, 300);
  EXPECT_EQ(globalParams.recipientSeparator, ',');
  pelIntegerParam(0, PARAM_RECIPIENT_SEPARATOR, ';');
  EXPECT_EQ(globalParams.recipientSeparator, ';');
  pelIntegerParam(0, PARAM_RECIPIENT_SEPARATOR, ',');
}

TEST_F(Params, DriveSwitchClearsTheTimes) {
  b()->wakeTime = 77;
  b()->deadline = 88;
  pelIntegerParam(0, PARAM_DRIVE_IN_CALL, 1);
  EXPECT_EQ(b()->wakeTime, 0u);
  EXPECT_EQ(b()->deadline, 0u);
}

TEST_F(Params, DataLimitSetsBothProtocols) {
  pelIntegerParam(0, PARAM_DATA_LIMIT_MS, 500);
  EXPECT_EQ(globalParams.smtpDataLimit, 500);
  EXPECT_EQ(globalParams.pop3DataLimit, 500);
  pelIntegerParam(0, PARAM_SMTP_DATA_LIMIT_MS, 900);
  EXPECT_EQ(globalParams.smtpDataLimit, 900);
  EXPECT_EQ(globalParams.pop3DataLimit, 500);
}

TEST_F(Params, GlobalValuesOutliveReleaseChannelValuesDoNot) {
  pelIntegerParam(3, PARAM_WRAP_LENGTH, 70);  // through channel 3, for all
  pelIntegerParam(0, PARAM_POP3_SERVER_PORT, 1110);
  pelRelease();
  ASSERT_EQ(pelAttach(4), 1);
  EXPECT_EQ(globalParams.wrapLength, 70);
  EXPECT_EQ(b()->popPort, 110);
  pelIntegerParam(0, PARAM_WRAP_LENGTH, 78);
}

TEST_F(Params, HeaderLinesAreTrimmedAndJoined) {
  EXPECT_EQ(pelStringParam(0, STRPARAM_HEADER_LINES, "X-Tag: 1\r\n"), 2);
  EXPECT_STREQ(b()->extraHeaders, "X-Tag: 1");
  EXPECT_EQ(pelStringParam(0, STRPARAM_HEADER_LINES, "X-Tag: 1"), 4);
  EXPECT_EQ(pelStringParam(0, STRPARAM_HEADER_LINES, ""), 0);
  EXPECT_EQ(b()->extraHeaders, nullptr);
  EXPECT_EQ(slotInUse(kSlotHeaders), 0);
  EXPECT_EQ(pelStringParam(0, STRPARAM_APPEND_HEADER, "A: 1"), 4);
  EXPECT_EQ(pelStringParam(0, STRPARAM_APPEND_HEADER, "B: 2"), 4);
  EXPECT_STREQ(b()->extraHeaders, "A: 1\r\nB: 2");
}

// The combined text is composed in a 2050-byte area: a text that would not
// fit there is refused and the lines already set stay.
TEST_F(Params, AppendedHeaderThatDoesNotFitIsRefused) {
  std::string first(1500, 'a');
  std::string second(600, 'b');
  ASSERT_EQ(pelStringParam(0, STRPARAM_HEADER_LINES, first.c_str()), 4);
  EXPECT_EQ(pelStringParam(0, STRPARAM_APPEND_HEADER, second.c_str()), -1);
  EXPECT_EQ(std::string(b()->extraHeaders), first);
  std::string fits(2048 - 1500 - 2, 'c');
  EXPECT_EQ(pelStringParam(0, STRPARAM_APPEND_HEADER, fits.c_str()), 4);
  EXPECT_EQ(std::string(b()->extraHeaders), first + "\r\n" + fits);
}

TEST_F(Params, TextsAreCutAt128Characters) {
  std::string longText(200, 'x');
  EXPECT_EQ(pelStringParam(0, STRPARAM_REPLY_ADDRESS, longText.c_str()), 128);
  EXPECT_EQ(std::string(b()->replyToAddress), longText.substr(0, 128));
  EXPECT_EQ(pelStringParam(0, STRPARAM_SENDER_ADDRESS, "<a@b.c>"), 7);
  EXPECT_STREQ(b()->fromAddress, "<a@b.c>");
  EXPECT_EQ(pelStringParam(0, STRPARAM_BODY_TYPE_LINE, longText.c_str()), 128);
  EXPECT_EQ(pelStringParam(0, STRPARAM_BODY_ENCODING_LINE, "Content-Transfer-Encoding: 8bit"),
            31);
  EXPECT_EQ(bodyEncodingLength, 31);
  EXPECT_EQ(pelStringParam(0, STRPARAM_BODY_ENCODING_LINE, ""), 0);
  EXPECT_EQ(bodyEncodingLength, 0);
  pelStringParam(0, STRPARAM_BODY_TYPE_LINE, "");
}

TEST_F(Params, LogFileAndItsEntryLines) {
  EXPECT_EQ(pelStringParam(0, STRPARAM_LOG_NOTE, "nobody hears"), 0);
  EXPECT_EQ(pelStringParam(0, STRPARAM_OPEN_LOG, dir.file("missing/dir/log").c_str()), -1);
  EXPECT_EQ(b()->logFile, 0);
  int32_t handle = pelStringParam(0, STRPARAM_OPEN_LOG, dir.file("log").c_str());
  ASSERT_GT(handle, 0);
  EXPECT_EQ(pelStringParam(0, STRPARAM_LOG_NOTE, "hello"), handle);
  EXPECT_EQ(pelIntegerParam(0, 2, 30000), 1);
  EXPECT_EQ(pelIntegerParam(0, 99, -5), -1);
  EXPECT_EQ(pelStringParam(0, STRPARAM_LOG_NOTE, nullptr), -47);
  EXPECT_EQ(readFile(dir.file("log")),
            "*** pelStringParam(0,52,hello)\r\n"
            "hello\r\n"
            "*** pelIntegerParam(0,2,30000)\r\n"
            "*** pelIntegerParam(0,99,-5)\r\n");
  pelIntegerParam(0, 2, 25000);
}

TEST_F(Params, OpeningANewLogLogsTheCallInTheOldOne) {
  openLog(0, dir.file("old"));
  openLog(0, dir.file("new"));
  pelStringParam(0, STRPARAM_LOG_NOTE, "later");
  EXPECT_EQ(readFile(dir.file("old")),
            "*** pelStringParam(0,20," + dir.file("new") + ")\r\n");
  EXPECT_EQ(readFile(dir.file("new")), "*** pelStringParam(0,52,later)\r\nlater\r\n");
  // A log that cannot be created leaves the channel without one.
  EXPECT_EQ(pelStringParam(0, STRPARAM_OPEN_LOG, dir.file("no/such/log").c_str()), -1);
  EXPECT_EQ(b()->logFile, 0);
}

TEST_F(Params, SavingTheRetrievalBuffer) {
  EXPECT_EQ(pelStringParam(0, STRPARAM_SAVE_RETRIEVAL, dir.file("dump").c_str()), -47);
  char* buffer = AllocateMemory(0, kSlotRetrieval, 20);
  ASSERT_NE(buffer, nullptr);
  memcpy(buffer, "+OK\r\nline\r\n", 11);
  EXPECT_EQ(pelStringParam(0, STRPARAM_SAVE_RETRIEVAL, dir.file("no/dump").c_str()), -67);
  EXPECT_EQ(pelStringParam(0, STRPARAM_SAVE_RETRIEVAL, dir.file("dump").c_str()), 11);
  EXPECT_EQ(readFile(dir.file("dump")), "+OK\r\nline\r\n");
}
