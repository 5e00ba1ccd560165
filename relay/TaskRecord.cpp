// Building and reading task records: little-endian fields at unaligned
// offsets, written and read byte by byte so that any host byte order and any
// alignment rule is safe.
#include "relay/TaskRecord.h"

#include <cstring>
#include <new>

namespace {

constexpr size_t SessionOffset = 1;
constexpr size_t LengthOffset = 5;

void PutLE32(uint8_t* At, uint32_t Value) {
  for (int i = 0; i < 4; ++i) At[i] = static_cast<uint8_t>(Value >> (8 * i));
}

uint32_t GetLE32(const uint8_t* At) {
  uint32_t Value = 0;
  for (int i = 0; i < 4; ++i) Value |= static_cast<uint32_t>(At[i]) << (8 * i);
  return Value;
}

}  // namespace

TTaskRecord* NewTaskRecord(uint8_t Kind, int32_t SessionACT, const void* Payload, uint32_t Length) {
  // A length near 4 GiB cannot fit beside the header on a 32-bit system.
  if (Length > SIZE_MAX - TaskHeaderSize) throw std::bad_alloc();
  // operator new rather than malloc: the allocation that a test build can
  // make fail, like every other of the plug-in's (throws std::bad_alloc).
  auto* Task = static_cast<TTaskRecord*>(::operator new(TaskHeaderSize + Length));
  Task[0] = Kind;
  PutLE32(Task + SessionOffset, static_cast<uint32_t>(SessionACT));
  PutLE32(Task + LengthOffset, Length);
  if (Payload != nullptr && Length != 0) std::memcpy(Task + TaskHeaderSize, Payload, Length);
  return Task;
}

void FreeTaskRecord(TTaskRecord* Task) {
  ::operator delete(Task);
}

uint8_t TaskKind(const TTaskRecord* Task) {
  return Task[0];
}

int32_t TaskSession(const TTaskRecord* Task) {
  return static_cast<int32_t>(GetLE32(Task + SessionOffset));
}

uint32_t TaskLength(const TTaskRecord* Task) {
  return GetLE32(Task + LengthOffset);
}

const uint8_t* TaskPayload(const TTaskRecord* Task) {
  return Task + TaskHeaderSize;
}

uint8_t* TaskPayload(TTaskRecord* Task) {
  return Task + TaskHeaderSize;
}
