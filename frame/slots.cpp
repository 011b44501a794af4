// Memory slots: guarded, tracked blocks, nine per channel.
#include "frame/slots.h"

#include "frame/channel.h"
#include "frame/log.h"
#include "frame/text.h"

namespace pel {
namespace {

struct SlotRecord {
  char* start;  // the leading guard byte
  int32_t size;
  void* handle;  // null: the slot is free
  int16_t id;
};

SlotRecord slotTable[kSlotCount];

constexpr char kGuardBefore = 'U';
// The usable area starts on a 16-byte boundary (the ChannelBlock lives in a
// slot): the leading guard byte sits just before it, after some padding.
constexpr size_t kLeadPadding = 15;
constexpr char kGuardAfter = 'z';

// Validates the id and the record: 0, or -100 / -105.
int32_t checkRecord(int32_t id) {
  if (id < 0 || id >= kSlotCount) return kSlotIdRange;
  if (slotTable[id].id != id) return kSlotTableDamaged;
  return 0;
}

void slotErrorLine(int32_t channel, const char* message, int32_t kind, int32_t code) {
  if (channel < 0 || channel >= kMaxChannels) return;
  ChannelBlock* b = channelTable[channel].block;
  // The failure may be the allocation of the block itself: nowhere to log.
  if (b == nullptr) return;
  plat::formatText(b->logLine, sizeof b->logLine, "%s: Chan=%d, Index=%d, Code=%d\r\n", message,
                   channel, kind, code);
  logText(b, b->logLine);
}

}  // namespace

void resetSlotTable() {
  for (int32_t id = 0; id < kSlotCount; ++id) {
    slotTable[id].start = nullptr;
    slotTable[id].size = 0;
    slotTable[id].handle = nullptr;
    slotTable[id].id = static_cast<int16_t>(id);
  }
}

int32_t reserveSlot(int32_t id, int32_t size) {
  int32_t r = checkRecord(id);
  if (r != 0) return r;
  SlotRecord& s = slotTable[id];
  if (s.handle != nullptr) return kSlotInUse;
  if (size < 0) return kSlotAllocFailed;
  void* block = plat::allocateZeroed(kLeadPadding + static_cast<size_t>(size) + 3);
  if (block == nullptr) return kSlotAllocFailed;
  s.handle = block;
  s.start = static_cast<char*>(block) + kLeadPadding;
  s.size = size;
  s.start[0] = kGuardBefore;
  s.start[size + 1] = kGuardAfter;
  return id;
}

char* slotAddress(int32_t id) {
  if (checkRecord(id) != 0 || slotTable[id].handle == nullptr) return nullptr;
  return slotTable[id].start + 1;
}

int32_t checkSlot(int32_t id) {
  int32_t r = checkRecord(id);
  if (r != 0) return r;
  const SlotRecord& s = slotTable[id];
  if (s.handle == nullptr) return kSlotFree;
  if (s.start[0] == kGuardBefore && s.start[s.size + 1] == kGuardAfter) return 1;
  return kSlotGuardDamaged;
}

int32_t releaseSlot(int32_t id) {
  int32_t r = checkRecord(id);
  if (r != 0) return r;
  SlotRecord& s = slotTable[id];
  if (s.handle == nullptr) return kSlotFree;
  void* block = s.handle;
  s.handle = nullptr;
  plat::freeBlock(block);
  return 1;
}

int32_t slotInUse(int32_t id) {
  int32_t r = checkRecord(id);
  if (r != 0) return r;
  return slotTable[id].handle != nullptr ? 1 : 0;
}

int32_t slotSize(int32_t id) {
  int32_t r = checkRecord(id);
  if (r != 0) return r;
  if (slotTable[id].handle == nullptr) return kSlotFree;
  return slotTable[id].size;
}

char* AllocateMemory(int32_t channel, int32_t kind, int32_t size) {
  int32_t id = channel * kSlotKinds + kind;
  int32_t r = reserveSlot(id, size);
  if (r >= 0) return slotAddress(id);
  slotErrorLine(channel, "AllocateMemory Error", kind, r);
  return nullptr;
}

void FreeMemory(int32_t channel, int32_t firstKind, int32_t lastKind) {
  for (int32_t kind = firstKind; kind <= lastKind; ++kind) {
    int32_t id = channel * kSlotKinds + kind;
    int32_t r = checkSlot(id);
    if (r == 1) {
      releaseSlot(id);
    } else if (r == kSlotTableDamaged || r == kSlotGuardDamaged) {
      // A damaged block is left allocated, and so is the rest of the range.
      slotErrorLine(channel, "FreeMemory Error", kind, r);
      return;
    }
  }
}

char* AllocAndCopy(int32_t channel, int32_t kind, const char* text) {
  if (text == nullptr || text[0] == 0) {
    slotErrorLine(channel, "AllocAndCopy Error 1", kind, 0);
    return nullptr;
  }
  int32_t id = channel * kSlotKinds + kind;
  if (slotInUse(id) == 1) releaseSlot(id);
  int32_t length = textLength(text);
  int32_t r = reserveSlot(id, length + 2);
  if (r < 0) {
    slotErrorLine(channel, "AllocAndCopy Error 2", kind, r);
    return nullptr;
  }
  char* area = slotAddress(id);
  copyText(area, text, length);
  return area;
}

void checkAllSlots(const char* callerName) {
  for (int32_t id = 0; id < kSlotCount; ++id) {
    if (slotTable[id].handle == nullptr) continue;
    if (checkSlot(id) != kSlotGuardDamaged) continue;
    char text[160];
    plat::formatText(text, sizeof text, "Memory Corrupted (%s): ID=%d Err=%d", callerName, id,
                     kSlotGuardDamaged);
    plat::messageBox(text, "Info");
  }
}

}  // namespace pel
