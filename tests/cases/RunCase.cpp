// velmora_cases CASEFILE [--show]: plays one case file and says how it went.
// --show (or VELMORA_CASE_SHOW=1) prints each compared transcript, expected
// beside actual, even when they agree; nothing here ever writes a case file.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>

#include "platform/Thread.h"
#include "tests/support/CaseKinds.h"
#include "tests/support/ScenarioRunner.h"

int main(int Count, char** Arguments) {
  if (Count < 2) {
    std::fprintf(stderr, "usage: velmora_cases CASEFILE [--show]\n");
    return 2;
  }
  const bool Show = (Count > 2 && std::strcmp(Arguments[2], "--show") == 0) ||
                    std::getenv("VELMORA_CASE_SHOW") != nullptr;
  std::ifstream In(Arguments[1], std::ios::binary);
  if (!In) {
    std::fprintf(stderr, "cannot read %s\n", Arguments[1]);
    return 2;
  }
  std::vector<TestSupport::TCaseStep> Steps;
  try {
    Steps = TestSupport::ReadCase(std::string(std::istreambuf_iterator<char>(In), {}));
  } catch (const std::exception& Error) {
    std::fprintf(stderr, "%s: %s\n", Arguments[1], Error.what());
    return 2;
  }
  const uint64_t Start = Platform::TickCountMs();
  bool Passed = false;
  const std::string Kind = !Steps.empty() && Steps[0].Verb == "kind" ? Steps[0].Rest : "plugin";
  using TPlayer = bool (*)(const std::vector<TestSupport::TCaseStep>&);
  static const std::map<std::string, TPlayer> Players = {
      {"host", TestSupport::RunHostCase},       {"profile", TestSupport::RunProfileCase},
      {"answers", TestSupport::RunAnswerCase},  {"tcp", TestSupport::RunTcpCase},
      {"log", TestSupport::RunLogCase},         {"platform", TestSupport::RunPlatformCase},
      {"relay", TestSupport::RunRelayCase},     {"client", TestSupport::RunClientCase},
      {"worker", TestSupport::RunWorkerCase},   {"outstanding", TestSupport::RunOutstandingCase},
#ifdef VELMORA_FILESERVER_CASES
      {"fileserver", TestSupport::RunFileServerCase},
#endif
  };
  if (Kind == "plugin") {
    TestSupport::TScenarioRunner Runner(Show);
    Passed = Runner.Run(Steps);
  } else if (const auto Found = Players.find(Kind); Found != Players.end()) {
    Passed = Found->second(Steps);
  } else {  // a mistyped kind must not play as another kind's case
    std::fprintf(stderr, "%s: unknown kind %s\n", Arguments[1], Kind.c_str());
    return 2;
  }
  std::printf("%s %s (%llu ms)\n", Passed ? "PASS" : "FAIL", Arguments[1],
              static_cast<unsigned long long>(Platform::TickCountMs() - Start));
  return Passed ? 0 : 1;
}
