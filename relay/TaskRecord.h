// The task record: the one heap block that carries a unit of work from a
// producer to the worker thread, and the helpers that build and read it.
#pragma once

#include <cstddef>
#include <cstdint>

// Layout, byte by byte with no gaps (9 + n bytes):
//   0  kind         1 byte   TaskStop, TaskCommand or TaskMessage
//   1  SessionACT   4 bytes  signed, little-endian, unaligned (kind 1 only)
//   5  length n     4 bytes  unsigned, little-endian, unaligned
//   9  payload      n bytes
// The 32-bit fields are unaligned, so they are only ever read and written as
// byte copies. A record is owned by its producer until AddTask accepts it,
// then by the queue; the worker frees it with FreeTaskRecord.
using TTaskRecord = uint8_t;

enum : uint8_t {
  TaskStop = 0,     // ends the worker's loop; payload is one unset byte
  TaskCommand = 1,  // a command from the host: SessionACT + packed parameter list
  TaskMessage = 2,  // a message from the server, copied as received
};

constexpr size_t TaskHeaderSize = 9;

// One block (operator new) of TaskHeaderSize + Length bytes with the header
// filled in. The payload is copied from Payload when it is not null and left
// unset otherwise. Throws std::bad_alloc when memory is exhausted.
TTaskRecord* NewTaskRecord(uint8_t Kind, int32_t SessionACT, const void* Payload, uint32_t Length);

// Releases a record made by NewTaskRecord; null is ignored.
void FreeTaskRecord(TTaskRecord* Task);

// Readers of a record's fields (Task must be a whole record).
uint8_t TaskKind(const TTaskRecord* Task);
int32_t TaskSession(const TTaskRecord* Task);
uint32_t TaskLength(const TTaskRecord* Task);
const uint8_t* TaskPayload(const TTaskRecord* Task);
uint8_t* TaskPayload(TTaskRecord* Task);
