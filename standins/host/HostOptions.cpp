// Reading the host runner's command line.
#include "standins/host/HostOptions.h"

#include "params/IntegerText.h"

namespace {

uint32_t Unsigned(const std::string& Option, const std::string& Text, uint32_t Minimum) {
  int32_t Value = 0;
  if (!TryIntegerText(Text, Value) || Value < 0 || static_cast<uint32_t>(Value) < Minimum) {
    throw EHostUsage(Option + " needs a whole number of at least " + std::to_string(Minimum) +
                     ", not \"" + Text + "\"");
  }
  return static_cast<uint32_t>(Value);
}

}  // namespace

THostOptions ParseHostOptions(const std::vector<std::string>& Arguments) {
  THostOptions Options;
  bool HavePlugin = false;
  for (size_t i = 0; i < Arguments.size(); ++i) {
    const std::string& Argument = Arguments[i];
    auto Next = [&]() -> const std::string& {
      if (i + 1 >= Arguments.size()) throw EHostUsage(Argument + " needs a value");
      return Arguments[++i];
    };
    if (Argument == "--help" || Argument == "-h") {
      Options.Help = true;
    } else if (Argument == "--scenario") {
      Options.ScenarioPath = Next();
      if (Options.ScenarioPath.empty()) throw EHostUsage("--scenario needs a file name");
    } else if (Argument == "--stop-file") {
      Options.StopFile = Next();
      if (Options.StopFile.empty()) throw EHostUsage("--stop-file needs a file name");
    } else if (Argument == "--pause-file") {
      Options.PauseFile = Next();
      if (Options.PauseFile.empty()) throw EHostUsage("--pause-file needs a file name");
    } else if (Argument == "--user-value") {
      // Any 32-bit value: decimal (negative ones wrap) or hexadecimal ("0x...").
      const std::string& Text = Next();
      int32_t Value = 0;
      if (!TryIntegerText(Text, Value)) {
        throw EHostUsage("--user-value needs a 32-bit number, not \"" + Text + "\"");
      }
      Options.UserValue = static_cast<uint32_t>(Value);
    } else if (Argument == "--timeout-ms") {
      Options.TimeoutMs = Unsigned(Argument, Next(), 0);
    } else if (Argument == "--wait-limit-ms") {
      Options.WaitLimitMs = Unsigned(Argument, Next(), 1);
    } else if (Argument == "--repeat") {
      Options.Repeat = Unsigned(Argument, Next(), 1);
    } else if (Argument == "--threads") {
      Options.Threads = Unsigned(Argument, Next(), 1);
      if (Options.Threads > 2000) throw EHostUsage("--threads allows at most 2000");
    } else if (Argument == "--sessions-per-thread") {
      Options.SessionsPerThread = Unsigned(Argument, Next(), 1);
      if (Options.SessionsPerThread >= 1000000) {
        throw EHostUsage("--sessions-per-thread allows at most 999999");
      }
    } else if (Argument == "--cycles") {
      Options.Cycles = Unsigned(Argument, Next(), 1);
    } else if (Argument == "--in-flight") {
      Options.InFlight = Unsigned(Argument, Next(), 1);
    } else if (Argument == "--expect") {
      Options.Expect = Unsigned(Argument, Next(), 0);
    } else if (Argument == "--tag") {
      Options.Tagging = TTagging::On;
    } else if (Argument == "--no-tag") {
      Options.Tagging = TTagging::Off;
    } else if (Argument == "--quiet") {
      Options.Quiet = true;
    } else if (Argument == "--stats") {
      Options.Stats = true;
    } else if (!Argument.empty() && Argument[0] == '-' && Argument != "-") {
      throw EHostUsage("unknown option " + Argument);
    } else if (!HavePlugin) {
      Options.PluginPath = Argument;
      HavePlugin = true;
    } else {
      throw EHostUsage("unexpected argument \"" + Argument + "\"");
    }
  }
  if (!HavePlugin && !Options.Help) throw EHostUsage("the plug-in library path is missing");
  return Options;
}

std::string HostUsageText() {
  return "usage: velmora-host <plug-in library> [options]\n"
         "  Loads the plug-in, sends the scenario's commands through Command_Plugin and\n"
         "  checks that every command gets exactly one answer, in order per session.\n"
         "  Scenario: one command a line, \"<session> <parameter list text>\", e.g.\n"
         "    17 Operation=3,Path=notes.txt,UserData=abc\n"
         "  blank lines and lines starting with # are skipped.\n"
         "options:\n"
         "  --scenario FILE          read the commands from FILE (default: standard input)\n"
         "  --user-value N           user value given to Init_Plugin (default 0x12345678)\n"
         "  --timeout-ms N           give up N ms after the last answer (default 10000)\n"
         "  --wait-limit-ms N        stop waiting N ms after sending ended, however many\n"
         "                           answers still come (a flooding server)\n"
         "  --repeat N               each thread sends the scenario N times (default 1)\n"
         "  --stop-file FILE         a thread starts no further round once FILE exists\n"
         "                           (--repeat is then the most)\n"
         "  --pause-file FILE        a thread starts no further round while FILE exists\n"
         "                           (at most 60 s each time)\n"
         "  --threads N              N sending threads (default 1); thread t (from 0)\n"
         "                           sends session t*1000000 + the scenario's session\n"
         "  --sessions-per-thread K  instead, thread t spreads its commands round-robin\n"
         "                           over sessions t*1000000+1 .. t*1000000+K\n"
         "  --tag / --no-tag         prefix UserData with \"<thread>:<seq>:\" (default: when\n"
         "                           the scenario goes out more than once)\n"
         "  --in-flight N            at most N unanswered commands at a time, over all\n"
         "                           threads; a full window is refilled once half of it\n"
         "                           is answered (a sender waits up to the time-out)\n"
         "  --expect N               wait for N answers instead of one per command\n"
         "  --cycles N               load, run and unload the plug-in N times (default 1)\n"
         "  --quiet                  do not print the answers\n"
         "  --stats                  print round-trip percentiles and round trips per second\n"
         "output: \"plugin <name>\", \"answer <session> <parameter list text>\" per answer,\n"
         "  \"stats ...\" with --stats, then\n"
         "  \"sent N answered M missing K duplicates D out-of-order O\".\n"
         "exit: 0 all answered, 1 usage or load error, 2 answers missing,\n"
         "  3 duplicate, out-of-order or malformed answers (3 wins over 2).\n";
}
