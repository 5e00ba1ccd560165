// One log line as an RFC 5424 syslog message, and its RFC 6587 octet-counted
// frame for TCP. Pure code: the caller supplies the clock's offset, the host
// name and the text already in UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/TimeText.h"

// The log's time (local days since 30 December 1899, the fraction the time of
// day) back as a date and time, rounded to the millisecond. False for 0.0
// (a line without time stamp) and for anything outside the years 1900..9999.
bool LocalTimeFromDays(double Days, Platform::TDateTime& Time);

struct TSyslogFields {
  uint8_t Facility = 1;
  bool HasTime = false;          // false: the NILVALUE "-" for the time
  Platform::TDateTime Time;      // local time
  int32_t OffsetMinutes = 0;     // local time's lead over UTC
  std::string HostName;          // empty: "-"
  std::string AppName;           // the plug-in's file name; empty: "-"
  uint32_t ProcessId = 0;
  std::string MessageId;         // the line's tag; empty: "-"
  std::string Utf8Text;
};

// "<PRI>1 TIMESTAMP HOSTNAME APP-NAME PROCID MSGID - BOM MSG" with severity
// informational. HOSTNAME, APP-NAME and MSGID keep only printable ASCII
// (others become "_") and are cut to 255, 48 and 32 characters. MaxBytes
// (0: no limit) cuts the whole message, the text at a character boundary.
std::string FormatSyslogMessage(const TSyslogFields& Fields, size_t MaxBytes = 0);

// "LENGTH SP MESSAGE" (RFC 6587 octet counting), appended to Out.
void AppendOctetFrame(std::string& Out, const std::string& Message);
