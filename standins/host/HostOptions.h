// The host runner's command line: what to load, what to send, how often and
// from how many threads, and how long to wait for the answers.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// A command line the runner cannot use; what() says what is wrong.
class EHostUsage : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Whether the "UserData" of each command gets the "<thread>:<seq>:" tag.
enum class TTagging { Auto, On, Off };

struct THostOptions {
  std::string PluginPath;     // as given (the form of the system it runs on)
  std::string ScenarioPath;   // empty: standard input
  std::string StopFile;       // empty: none; else no new round once it exists
  std::string PauseFile;      // empty: none; else no new round while it exists
  uint32_t UserValue = 0x12345678u;
  uint32_t TimeoutMs = 10000;
  uint32_t WaitLimitMs = 0;        // 0: none; else the wait for answers ends then
  uint32_t Repeat = 1;
  uint32_t Threads = 1;
  uint32_t SessionsPerThread = 0;  // 0: the scenario's own session numbers
  uint32_t Cycles = 1;
  uint32_t InFlight = 0;           // 0: no limit on unanswered commands
  int64_t Expect = -1;             // -1: one answer per non-empty command
  TTagging Tagging = TTagging::Auto;
  bool Quiet = false;
  bool Stats = false;
  bool Help = false;

  // The tag is used when asked for, or by default whenever the scenario goes
  // out more than once (then equal commands must still be told apart).
  bool TagsUserData() const {
    return Tagging == TTagging::On ||
           (Tagging == TTagging::Auto && static_cast<uint64_t>(Repeat) * Threads > 1);
  }
};

// Reads the arguments after the program name. Throws EHostUsage.
THostOptions ParseHostOptions(const std::vector<std::string>& Arguments);

// The usage text, one option a line, ending with a line break.
std::string HostUsageText();
