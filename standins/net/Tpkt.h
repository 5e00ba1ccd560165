// TPKT framing of a byte stream into messages: a 4-byte header (version 3,
// reserved 0, 16-bit big-endian length including the header) in front of
// each message. Pure code, shared by the TCP transport, the file server and
// their tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace Net {

constexpr size_t TpktHeaderSize = 4;
constexpr size_t TpktMaxPayload = 0xFFFF - TpktHeaderSize;  // 65531

// The header for a message of PayloadSize bytes (at most TpktMaxPayload).
void TpktHeader(size_t PayloadSize, unsigned char (&Header)[TpktHeaderSize]);
// Header and payload in one block; an empty payload gives a bare header.
std::string TpktFrame(const void* Payload, size_t PayloadSize);

// Reassembles messages from the bytes of one stream, however the reads split
// or join them. Used by one thread at a time.
class TTpktAssembler {
public:
  enum class TNext { Message, Incomplete, Malformed };

  void Append(const void* Data, size_t Size);
  // Message: the next whole message was moved into Payload. Incomplete: more
  // bytes are needed. Malformed: the stream holds a header that is not TPKT
  // (wrong version, reserved byte not 0, length below 4); it stays malformed.
  TNext Next(std::string& Payload);
  size_t Buffered() const { return Pending.size() - Consumed; }
  void Clear();

private:
  std::string Pending;  // received bytes; those before Consumed are taken
  size_t Consumed = 0;
  bool Broken = false;
};

}  // namespace Net
