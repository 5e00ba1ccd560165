// Reading the syslog client's setting.
#include "syslogclient/SyslogSetting.h"

#include <cctype>

namespace {

const char* const FacilityNames[] = {
    "kern",  "user",     "mail", "daemon", "auth",  "syslog", "lpr",    "news",
    "uucp",  "cron",     "authpriv", "ftp", "ntp",  "audit",  "alert",  "clock",
    "local0", "local1",  "local2", "local3", "local4", "local5", "local6", "local7",
};

std::string Lower(std::string Text) {
  for (char& C : Text) C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
  return Text;
}

// Decimal digits only, at most Limit; false for anything else.
bool ReadNumber(const std::string& Text, uint32_t Limit, uint32_t& Value) {
  if (Text.empty() || Text.size() > 5) return false;
  Value = 0;
  for (const char C : Text) {
    if (C < '0' || C > '9') return false;
    Value = Value * 10 + static_cast<uint32_t>(C - '0');
  }
  return Value <= Limit;
}

bool ReadFacility(const std::string& Text, uint8_t& Facility) {
  uint32_t Number = 0;
  if (ReadNumber(Text, 23, Number)) {
    Facility = static_cast<uint8_t>(Number);
    return true;
  }
  const std::string Name = Lower(Text);
  for (uint8_t I = 0; I < 24; ++I) {
    if (Name == FacilityNames[I]) {
      Facility = I;
      return true;
    }
  }
  return false;
}

std::string Trimmed(const std::string& Text) {
  const size_t First = Text.find_first_not_of(" \t");
  if (First == std::string::npos) return std::string();
  return Text.substr(First, Text.find_last_not_of(" \t") - First + 1);
}

}  // namespace

bool ParseSyslogSetting(const std::string& Text, TSyslogSetting& Setting) {
  const std::string Value = Trimmed(Text);
  TSyslogSetting Result;
  const std::string Scheme = Lower(Value.substr(0, 6));
  if (Scheme == "udp://") {
    Result.Transport = TSyslogTransport::Udp;
    Result.Port = 514;
  } else if (Scheme == "tcp://") {
    Result.Transport = TSyslogTransport::Tcp;
    Result.Port = 601;
  } else {
    return false;
  }
  std::string Rest = Value.substr(6);
  const size_t Slash = Rest.find('/');
  if (Slash != std::string::npos) {
    if (!ReadFacility(Rest.substr(Slash + 1), Result.Facility)) return false;
    Rest.resize(Slash);
  }
  const size_t Colon = Rest.find(':');
  if (Colon != std::string::npos) {
    uint32_t Port = 0;
    if (!ReadNumber(Rest.substr(Colon + 1), 65535, Port) || Port == 0) return false;
    Result.Port = static_cast<uint16_t>(Port);
    Rest.resize(Colon);
  }
  if (Rest.empty()) return false;
  for (const char C : Rest) {
    const auto Byte = static_cast<unsigned char>(C);
    if (!std::isalnum(Byte) && C != '.' && C != '-' && C != '_') return false;
  }
  Result.Host = Rest;
  Setting = Result;
  return true;
}
