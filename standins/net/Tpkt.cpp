// TPKT framing: header writing and stream reassembly.
#include "standins/net/Tpkt.h"

namespace Net {

void TpktHeader(size_t PayloadSize, unsigned char (&Header)[TpktHeaderSize]) {
  const size_t Total = PayloadSize + TpktHeaderSize;
  Header[0] = 3;
  Header[1] = 0;
  Header[2] = static_cast<unsigned char>((Total >> 8) & 0xFF);
  Header[3] = static_cast<unsigned char>(Total & 0xFF);
}

std::string TpktFrame(const void* Payload, size_t PayloadSize) {
  unsigned char Header[TpktHeaderSize];
  TpktHeader(PayloadSize, Header);
  std::string Frame(reinterpret_cast<const char*>(Header), TpktHeaderSize);
  if (PayloadSize > 0) Frame.append(static_cast<const char*>(Payload), PayloadSize);
  return Frame;
}

void TTpktAssembler::Append(const void* Data, size_t Size) {
  // Drop what was taken before growing, so the buffer stays near one message.
  if (Consumed > 0 && Consumed * 2 >= Pending.size()) {
    Pending.erase(0, Consumed);
    Consumed = 0;
  }
  Pending.append(static_cast<const char*>(Data), Size);
}

TTpktAssembler::TNext TTpktAssembler::Next(std::string& Payload) {
  if (Broken) return TNext::Malformed;
  if (Buffered() < TpktHeaderSize) return TNext::Incomplete;
  const auto* Header = reinterpret_cast<const unsigned char*>(Pending.data() + Consumed);
  const size_t Total = (static_cast<size_t>(Header[2]) << 8) | Header[3];
  if (Header[0] != 3 || Header[1] != 0 || Total < TpktHeaderSize) {
    Broken = true;
    return TNext::Malformed;
  }
  if (Buffered() < Total) return TNext::Incomplete;
  Payload.assign(Pending, Consumed + TpktHeaderSize, Total - TpktHeaderSize);
  Consumed += Total;
  return TNext::Message;
}

void TTpktAssembler::Clear() {
  Pending.clear();
  Consumed = 0;
  Broken = false;
}

}  // namespace Net
