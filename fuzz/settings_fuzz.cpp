// Fuzz target for the settings file reader: any bytes as a settings file must
// read without fault, every value within the reader's 2047-character limit
// and a value written back must read back.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Thread.h"

namespace {

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "settings fuzz: %s\n", What);
  std::abort();
}

const std::string& FilePath() {
  static const std::string Path =
      Platform::FromNativePath("/tmp/velmora-settings-fuzz-" +
                               std::to_string(Platform::CurrentThreadId()) + ".ini");
  return Path;
}

void CheckValue(const std::string& Value) {
  if (Value.size() > 2047) Fail("value longer than the reader's buffer");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 64 * 1024) return 0;
  const std::string& Path = FilePath();
  {
    std::ofstream Out(Platform::ToNativePath(Path), std::ios::binary | std::ios::trunc);
    Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Size));
  }
  // The keys the relay reads, and names taken from the input itself.
  CheckValue(Platform::ReadProfileString(Path, "Server", "Address", "127.0.0.1"));
  CheckValue(Platform::ReadProfileString(Path, "Server", "Port", ""));
  Platform::ProfileKeyExists(Path, "Server", "Port");
  const std::string Input(reinterpret_cast<const char*>(Data), Size);
  const size_t Cut = Input.find('\n');
  std::string Section = Input.substr(0, Cut == std::string::npos ? 0 : Cut);
  std::string Key = Cut == std::string::npos ? Input : Input.substr(Cut + 1, 16);
  if (Section.size() > 64) Section.resize(64);
  if (Key.size() > 64) Key.resize(64);
  CheckValue(Platform::ReadProfileString(Path, Section, Key, ""));

  // Writing a plain value keeps the file readable and the value readable.
  if (Platform::WriteProfileString(Path, "Server", "Port", "21")) {
    if (Platform::ReadProfileString(Path, "Server", "Port", "") != "21") {
      Fail("a written value does not read back");
    }
  }
  return 0;
}
