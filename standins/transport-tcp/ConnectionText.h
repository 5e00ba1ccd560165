// The connection text of the TCP transport: "local:port,remote:port",
// optionally followed by ",NOTPKT=YES" (or NO) and ",SENDTIMEOUT=<ms>".
#pragma once

#include <cstdint>

struct TConnectionSettings {
  uint32_t LocalAddress = 0;  // IPv4, host byte order
  uint16_t LocalPort = 0;     // 0: any
  uint32_t RemoteAddress = 0;
  uint16_t RemotePort = 0;    // never 0 in a parsed text
  bool NoTpkt = false;        // true: bytes travel unframed
  // How long one send may wait in all for the peer to take its bytes.
  uint32_t SendTimeoutMs = 5000;
};

constexpr uint32_t MaxSendTimeoutMs = 600000;

// False when Text is null or not of the form above: both end points are
// required, each address a dotted quad or "localhost", each port decimal
// 0..65535 (the remote one not 0); options are NAME=VALUE, names in any
// letter case: NOTPKT with YES or NO (any case), SENDTIMEOUT with a decimal
// count of milliseconds from 1 to MaxSendTimeoutMs. The plug-in never sends
// SENDTIMEOUT: it lets a test make the send time-out short.
bool ParseConnectionText(const char* Text, TConnectionSettings& Settings);
