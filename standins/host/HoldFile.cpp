// velmora-holdfile: another process that holds files open for writing the
// way the plug-in's log opens them (others may read, nobody else may write),
// so that runs can show the plug-in going on while its log file is taken.
//
//   velmora-holdfile STOPFILE MAXMS PATH...
//
// Opens every PATH (Windows form; its folder must exist), prints "held PATH"
// or "refused PATH CODE" for each, then keeps them open until STOPFILE exists
// or MAXMS milliseconds have passed. Exit code: 0 all held, 1 usage, 2 some
// path refused.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Thread.h"
#include "platform/testing/StandardStreams.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    Platform::WriteStandardError("usage: velmora-holdfile STOPFILE MAXMS PATH...\n");
    return 1;
  }
  const std::string StopFile = Platform::ToNativePath(argv[1]);
  const uint64_t MaxMs = std::strtoull(argv[2], nullptr, 10);
  std::vector<Platform::TFile> Held;
  int Result = 0;
  for (int Index = 3; Index < argc; ++Index) {
    const Platform::TFile File = Platform::OpenForAppend(argv[Index]);
    if (File == Platform::InvalidFile) {
      Platform::WriteStandardOutput(std::string("refused ") + argv[Index] + " " +
                                    std::to_string(Platform::LastError()) + "\n");
      Result = 2;
      continue;
    }
    Held.push_back(File);
    Platform::WriteStandardOutput(std::string("held ") + argv[Index] + "\n");
  }
  const uint64_t Deadline = Platform::TickCountMs() + MaxMs;
  std::error_code Error;
  while (Platform::TickCountMs() < Deadline && !std::filesystem::exists(StopFile, Error)) {
    Platform::SleepMs(20);
  }
  for (const Platform::TFile File : Held) Platform::CloseFile(File);
  return Result;
}
