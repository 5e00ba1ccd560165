// The connection text of the TCP transport: "local:port,remote:port",
// optionally followed by ",NOTPKT=YES" (or NO).
#pragma once

#include <cstdint>

struct TConnectionSettings {
  uint32_t LocalAddress = 0;  // IPv4, host byte order
  uint16_t LocalPort = 0;     // 0: any
  uint32_t RemoteAddress = 0;
  uint16_t RemotePort = 0;    // never 0 in a parsed text
  bool NoTpkt = false;        // true: bytes travel unframed
};

// False when Text is null or not of the form above: both end points are
// required, each address a dotted quad or "localhost", each port decimal
// 0..65535 (the remote one not 0); options are NAME=VALUE, and the only name
// known is NOTPKT with YES or NO in any letter case.
bool ParseConnectionText(const char* Text, TConnectionSettings& Settings);
