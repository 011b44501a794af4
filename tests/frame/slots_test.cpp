// Memory slots: guarded blocks, their integrity check and their log lines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "frame/channel.h"
#include "frame/platform/platform.h"
#include "frame/slots.h"
#include "pel32.h"
#include "support/channel_helpers.h"
#include "support/files.h"

using namespace pel;
using namespace pel::test;

namespace {

std::vector<std::string> boxes;
void keepBox(const char* text, const char* title) {
  boxes.push_back(std::string(title) + "|" + text);
}

class Slots : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(pelAttach(128), 1);
    openLog(0, dir.file("log"));
    boxes.clear();
    plat::setMessageSink(keepBox);
  }
  void TearDown() override {
    plat::setMessageSink(nullptr);
    pelRelease();
  }
  std::string log() { return readFile(dir.file("log")); }
  TempDir dir;
};

}  // namespace

TEST_F(Slots, LastSlotIdAndGuardBytes) {
  char* area = AllocateMemory(127, kSlotRetrieval, 10);
  ASSERT_NE(area, nullptr);
  EXPECT_EQ(slotAddress(1151), area);
  EXPECT_EQ(slotSize(1151), 10);
  EXPECT_EQ(area[-1], 'U');
  EXPECT_EQ(area[10], 'z');
  EXPECT_EQ(area[11], 0);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(area[i], 0);
  EXPECT_EQ(checkSlot(1151), 1);
  EXPECT_EQ(reserveSlot(1152, 1), kSlotIdRange);
  EXPECT_EQ(releaseSlot(1151), 1);
  EXPECT_EQ(slotInUse(1151), 0);
  EXPECT_EQ(checkSlot(1151), kSlotFree);
}

TEST_F(Slots, AllocAndCopyKeepsOneBlockAndRefusesEmptyText) {
  char* first = AllocAndCopy(0, kSlotSubject, "first");
  ASSERT_NE(first, nullptr);
  char* second = AllocAndCopy(0, kSlotSubject, "second text");
  ASSERT_NE(second, nullptr);
  EXPECT_STREQ(slotAddress(4), "second text");
  EXPECT_EQ(slotSize(4), 13);
  EXPECT_EQ(AllocAndCopy(0, kSlotSubject, ""), nullptr);
  EXPECT_STREQ(slotAddress(4), "second text");
  EXPECT_EQ(log(), "AllocAndCopy Error 1: Chan=0, Index=4, Code=0\r\n");
}

TEST_F(Slots, AllocateOnAUsedSlotIsRefusedAndLogged) {
  ASSERT_NE(AllocateMemory(0, kSlotRetrieval, 5), nullptr);
  EXPECT_EQ(AllocateMemory(0, kSlotRetrieval, 5), nullptr);
  EXPECT_EQ(log(), "AllocateMemory Error: Chan=0, Index=8, Code=-103\r\n");
}

TEST_F(Slots, FreeMemoryFreesWhatIsInUseSilently) {
  ASSERT_NE(AllocAndCopy(0, kSlotToList, "<a@b>"), nullptr);
  ASSERT_NE(AllocAndCopy(0, kSlotMessage, "text"), nullptr);
  FreeMemory(0, kSlotToList, kSlotRetrieval);
  EXPECT_EQ(slotInUse(1), 0);
  EXPECT_EQ(slotInUse(5), 0);
  EXPECT_EQ(log(), "");
}

TEST_F(Slots, DamagedGuardStopsFreeingAndShowsTheMessage) {
  char* to = AllocAndCopy(0, kSlotToList, "abc");
  ASSERT_NE(to, nullptr);
  ASSERT_NE(AllocAndCopy(0, kSlotMessage, "text"), nullptr);
  to[5] = 'X';  // the byte just after the usable area (size 3 + 2)
  EXPECT_EQ(checkSlot(1), kSlotGuardDamaged);
  FreeMemory(0, kSlotToList, kSlotRetrieval);
  EXPECT_EQ(log(), "FreeMemory Error: Chan=0, Index=1, Code=-106\r\n");
  EXPECT_EQ(slotInUse(1), 1);
  EXPECT_EQ(slotInUse(5), 1);  // a later kind of the range is not freed
  EXPECT_EQ(pelDebug(-2, 0, nullptr, 0), 0);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Info|Memory Corrupted (pelDebug): ID=1 Err=-106");
  to[5] = 'z';  // repaired, so that release frees it
}

TEST(SlotsDetached, MemoryCheckNeedsNoAttach) {
  EXPECT_EQ(pelDebug(-2, 0, nullptr, 0), 0);
}
