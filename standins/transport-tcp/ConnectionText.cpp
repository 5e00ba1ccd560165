// Parsing of the TCP transport's connection text.
#include "standins/transport-tcp/ConnectionText.h"

#include <string>
#include <vector>

#include "platform/Socket.h"

namespace {

std::vector<std::string> SplitAtCommas(const std::string& Text) {
  std::vector<std::string> Parts;
  size_t Start = 0;
  for (;;) {
    const size_t Comma = Text.find(',', Start);
    Parts.push_back(Text.substr(Start, Comma == std::string::npos ? std::string::npos : Comma - Start));
    if (Comma == std::string::npos) return Parts;
    Start = Comma + 1;
  }
}

bool ParsePort(const std::string& Text, uint16_t& Port) {
  if (Text.empty() || Text.size() > 5) return false;
  uint32_t Value = 0;
  for (const char Digit : Text) {
    if (Digit < '0' || Digit > '9') return false;
    Value = Value * 10 + static_cast<uint32_t>(Digit - '0');
  }
  if (Value > 0xFFFF) return false;
  Port = static_cast<uint16_t>(Value);
  return true;
}

bool ParseEndPoint(const std::string& Text, uint32_t& Address, uint16_t& Port) {
  const size_t Colon = Text.rfind(':');
  if (Colon == std::string::npos || Colon == 0) return false;
  return Platform::ResolveIPv4(Text.substr(0, Colon), Address) && ParsePort(Text.substr(Colon + 1), Port);
}

std::string UpperAscii(std::string Text) {
  for (char& Letter : Text) {
    if (Letter >= 'a' && Letter <= 'z') Letter = static_cast<char>(Letter - 'a' + 'A');
  }
  return Text;
}

bool ParseOption(const std::string& Text, TConnectionSettings& Settings) {
  const std::string Upper = UpperAscii(Text);
  if (Upper == "NOTPKT=YES") {
    Settings.NoTpkt = true;
    return true;
  }
  if (Upper == "NOTPKT=NO") {
    Settings.NoTpkt = false;
    return true;
  }
  const std::string SendTimeout = "SENDTIMEOUT=";
  if (Upper.rfind(SendTimeout, 0) == 0) {
    const std::string Digits = Upper.substr(SendTimeout.size());
    if (Digits.empty() || Digits.size() > 6) return false;
    uint32_t Value = 0;
    for (const char Digit : Digits) {
      if (Digit < '0' || Digit > '9') return false;
      Value = Value * 10 + static_cast<uint32_t>(Digit - '0');
    }
    if (Value == 0 || Value > MaxSendTimeoutMs) return false;
    Settings.SendTimeoutMs = Value;
    return true;
  }
  return false;
}

}  // namespace

bool ParseConnectionText(const char* Text, TConnectionSettings& Settings) {
  if (Text == nullptr) return false;
  const std::vector<std::string> Parts = SplitAtCommas(Text);
  if (Parts.size() < 2) return false;
  TConnectionSettings Parsed;
  if (!ParseEndPoint(Parts[0], Parsed.LocalAddress, Parsed.LocalPort)) return false;
  if (!ParseEndPoint(Parts[1], Parsed.RemoteAddress, Parsed.RemotePort)) return false;
  if (Parsed.RemotePort == 0) return false;
  for (size_t Index = 2; Index < Parts.size(); ++Index) {
    if (!ParseOption(Parts[Index], Parsed)) return false;
  }
  Settings = Parsed;
  return true;
}
