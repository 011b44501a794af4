// Memory slots: every block the library allocates for a channel is a tracked
// block with a guard byte on each side, registered under slot id
// channel*9 + kind.
#pragma once

#include <cstdint>

namespace pel {

constexpr int kSlotKinds = 9;
constexpr int kSlotCount = 128 * kSlotKinds;

// Slot kinds.
enum SlotKind {
  kSlotBlock = 0,
  kSlotToList = 1,
  kSlotCcList = 2,
  kSlotBccList = 3,
  kSlotSubject = 4,
  kSlotMessage = 5,
  kSlotAttachList = 6,
  kSlotHeaders = 7,
  kSlotRetrieval = 8,
};

// Result codes of the slot routines (they appear in log lines only).
constexpr int kSlotIdRange = -100;
constexpr int kSlotAllocFailed = -102;
constexpr int kSlotInUse = -103;
constexpr int kSlotFree = -104;
constexpr int kSlotTableDamaged = -105;
constexpr int kSlotGuardDamaged = -106;

void resetSlotTable();
int32_t reserveSlot(int32_t id, int32_t size);
char* slotAddress(int32_t id);
int32_t checkSlot(int32_t id);
int32_t releaseSlot(int32_t id);
int32_t slotInUse(int32_t id);
int32_t slotSize(int32_t id);

char* AllocateMemory(int32_t channel, int32_t kind, int32_t size);
void FreeMemory(int32_t channel, int32_t firstKind, int32_t lastKind);
char* AllocAndCopy(int32_t channel, int32_t kind, const char* text);
void checkAllSlots(const char* callerName);

}  // namespace pel
