// Storage of the process-wide host and plug-in file names.
#include "log/ProcessNames.h"

namespace {
std::string& HostExeNameValue() {
  static std::string Value;
  return Value;
}
std::string& PluginFileNameValue() {
  static std::string Value;
  return Value;
}
}  // namespace

const std::string& HostExeName() { return HostExeNameValue(); }
const std::string& PluginFileName() { return PluginFileNameValue(); }

void SetProcessNames(const std::string& HostExeName, const std::string& PluginFileName) {
  HostExeNameValue() = HostExeName;
  PluginFileNameValue() = PluginFileName;
}
