// IPv4 address texts: the pure part of the socket layer, the same on every
// system.
#include "platform/Socket.h"

namespace Platform {

bool ResolveIPv4(const std::string& Host, uint32_t& Address) {
  if (Host == "localhost") {
    Address = 0x7F000001u;
    return true;
  }
  // Exactly four decimal parts of 0..255, each of 1 to 3 digits.
  uint32_t Result = 0;
  size_t At = 0;
  for (int Part = 0; Part < 4; ++Part) {
    if (Part > 0) {
      if (At >= Host.size() || Host[At] != '.') return false;
      ++At;
    }
    uint32_t Value = 0;
    size_t Digits = 0;
    while (At < Host.size() && Host[At] >= '0' && Host[At] <= '9' && Digits < 4) {
      Value = Value * 10 + static_cast<uint32_t>(Host[At] - '0');
      ++At;
      ++Digits;
    }
    if (Digits == 0 || Digits > 3 || Value > 255) return false;
    Result = (Result << 8) | Value;
  }
  if (At != Host.size()) return false;
  Address = Result;
  return true;
}

std::string IPv4Text(uint32_t Address) {
  return std::to_string(Address >> 24) + "." + std::to_string((Address >> 16) & 0xFF) + "." +
         std::to_string((Address >> 8) & 0xFF) + "." + std::to_string(Address & 0xFF);
}

}  // namespace Platform
