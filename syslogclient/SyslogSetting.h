// The syslog client's setting (the host's [Debug] value for the plug-in):
// which transport, which server, which facility. Pure code.
#pragma once

#include <cstdint>
#include <string>

enum class TSyslogTransport : uint8_t { Udp, Tcp };

struct TSyslogSetting {
  TSyslogTransport Transport = TSyslogTransport::Udp;
  std::string Host;       // a name or a dotted IPv4 address
  uint16_t Port = 514;    // 514 for UDP, 601 for TCP when the setting names none
  uint8_t Facility = 1;   // "user" when the setting names none
};

// "udp://HOST[:PORT][/FACILITY]" or "tcp://HOST[:PORT][/FACILITY]", blanks
// around it ignored, the scheme and the facility's name in any case; FACILITY
// is a name (kern, user, mail, daemon, auth, syslog, lpr, news, uucp, cron,
// authpriv, ftp, ntp, audit, alert, clock, local0 .. local7) or its number
// 0..23. PORT is 1..65535. False, Setting unchanged, for anything else.
bool ParseSyslogSetting(const std::string& Text, TSyslogSetting& Setting);
