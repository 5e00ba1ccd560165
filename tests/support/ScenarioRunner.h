// The scenario runner: plays one case (CaseScript.h) against a private copy
// of the plug-in (its test build when the case moves the clock) with the
// transport double in place of the transport library, and compares the
// transcript the run leaves (log lines, the double's calls and sends, the
// host's callbacks) with the one the case expects.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/Sync.h"
#include "tests/support/CaseScript.h"
#include "tests/support/CaseThreads.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TransportDouble.h"

namespace TestSupport {

class TScenarioRunner {
 public:
  // Show: print every compared channel, expected beside actual, pass or fail.
  explicit TScenarioRunner(bool Show) : ShowAll(Show) {}
  ~TScenarioRunner();
  TScenarioRunner(const TScenarioRunner&) = delete;
  TScenarioRunner& operator=(const TScenarioRunner&) = delete;

  // Plays the steps; false when any expectation failed (each printed).
  bool Run(const std::vector<TCaseStep>& Steps);

  // The four transcripts, one text per line, raw bytes (the case's
  // patterns are decoded before matching).
  enum TChannel { Log, Calls, Sent, Callbacks, ChannelCount };

  // A callback's action, armed by "on-callback"; run once, on the worker.
  struct TAction {
    bool Any = false;  // or the callback of Session only
    int32_t Session = 0;
    std::string Kind;  // mark, command, hold
    int32_t CommandSession = 0;
    std::string CommandBytes;
    bool Done = false;
  };

 private:
  void Step(const TCaseStep& Step);
  void Setup(const std::string& Verb, std::string Rest);
  void Control(const std::string& Verb, std::string Rest);  // the worker, the clock, the channels
  void Call(std::string Rest);
  void Notice(std::string Rest);
  void Wait(std::string Rest);
  void Expect(std::string Rest);
  TPluginHost& Host();
  std::vector<std::string> Actual(TChannel Channel);
  void CheckAtEnd();
  // One "expect" line of those checked after the run.
  void EndCheck(const std::string& What, std::string Check, size_t Workers);
  void Fail(const std::string& What);
  static void Inside(const TCallbackCall& Call, void* Context);
  bool Finalize();  // Finalize_Plugin, timed into FinalizeMs

  bool ShowAll;
  int Line = 0;
  bool Failed = false;
  TTransportDouble Double;
  std::unique_ptr<TPluginHost> Plugin;
  std::string SettingsText, DebugSetting;
  bool SettingsFolder = false;
  bool UsesClock =
      false;            // an "idle" step: the seam build, whose clock and idle wait are the case's
  int64_t ClockMs = 0;  // how far "idle" has moved the clock
  TCaseThread Finalizer;  // "call Finalize async" until "join"
  uint64_t FinalizeMs = 0;
  const char* Name = nullptr;  // the static name every entry must return
  uint32_t HostThread = 0;

  // Callbacks after Finalize_Plugin returned break the host's contract.
  std::atomic<bool> Active{false};
  std::atomic<int> LateCalls{0};
  std::atomic<bool> Held{false}, Released{false};
  Platform::TCriticalSection Lock;  // Actions and Marks, shared with the worker
  std::vector<TAction> Actions;
  std::vector<std::pair<size_t, std::string>> Marks;  // log lines then, mark

  bool Compared[ChannelCount] = {};
  std::vector<std::string> Expected[ChannelCount];
  std::vector<std::string> Filters[ChannelCount];  // line prefixes kept
  std::vector<std::string> EndChecks;              // "expect" lines checked after the run
};

}  // namespace TestSupport
