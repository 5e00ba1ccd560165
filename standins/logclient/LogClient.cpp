// Log-server client stand-in: answers as its setting text tells it and
// records every call, so tests can see exactly what the log handed over.
//
// Setting: items separated by ";":
//   take | decline   answer of DLL_MessageToLogServer (default decline)
//   initfail         DLL_Initialize answers false
//   record=<path>    append one line per call to this file (Windows form)
//   summary=<path>   at DLL_Finalize, write "messages=<count>" to this file
//   faultinit        DLL_Initialize faults (after reading the setting)
//   faultmessage[=<n>] the next n calls of DLL_MessageToLogServer fault
//                    after recording the call (every call without n)
//   faultfinal       DLL_Finalize faults after recording the call
//   spoilfloat       DLL_MessageToLogServer unmasks every floating-point
//                    exception before it answers; before a fault it also
//                    fills the x87 register stack
// Each DLL_Initialize starts from the defaults. A fault is an access
// violation writing address 16, raised holding no lock of the stand-in; only
// a Windows build can contain it.
// The Boolean answers carry set bits above the low byte, which the caller
// must ignore. Record lines (fields separated by TAB, CR LF at the end):
//   I <setting> <second argument>
//   M <time as 16 hex digits of the double's bits> <host> <plug-in> <tag> <text>
//   F
// A null pointer is recorded as <null>.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/testing/ForeignFaultProbe.h"

namespace {

constexpr uint32_t AnswerTrue = 0xABCD0001u;   // low byte 1
constexpr uint32_t AnswerFalse = 0xABCD0100u;  // low byte 0

// Guards the record file; the fields below are set by DLL_Initialize, before
// any message can arrive, and only read afterwards.
Platform::TCriticalSection& RecordLock() {
  static Platform::TCriticalSection Lock;
  return Lock;
}
bool Take = false;
bool InitFails = false;
bool FaultInit = false;
bool FaultFinal = false;
bool SpoilFloat = false;
std::atomic<int64_t> MessageFaults{0};  // calls still to fault; -1: every call
std::string RecordPath;
std::string SummaryPath;
std::atomic<uint64_t> Messages{0};

// Address 16 lies in the first 64 KiB, which Windows never maps.
volatile uintptr_t FaultAddress = 16;
void Fault() { *reinterpret_cast<volatile int*>(FaultAddress) = 1; }

bool MessageFaultDue() {
  int64_t Left = MessageFaults.load();
  while (Left != 0) {
    if (Left < 0 || MessageFaults.compare_exchange_weak(Left, Left - 1)) return true;
  }
  return false;
}

std::string Field(const char* Text) { return Text == nullptr ? "<null>" : Text; }

void AppendToFile(const std::string& Path, const std::string& Bytes) {
  if (Path.empty()) return;
  Platform::TLockGuard Guard(RecordLock());
  const Platform::TFile File = Platform::OpenForAppend(Path);
  if (File == Platform::InvalidFile) return;
  Platform::SeekToEnd(File);
  Platform::WriteToFile(File, Bytes.data(), static_cast<uint32_t>(Bytes.size()));
  Platform::CloseFile(File);
}

void ReadSetting(const std::string& Setting) {
  Take = InitFails = FaultInit = FaultFinal = SpoilFloat = false;
  MessageFaults.store(0);
  RecordPath.clear();
  SummaryPath.clear();
  size_t At = 0;
  while (At <= Setting.size()) {
    size_t End = Setting.find(';', At);
    if (End == std::string::npos) End = Setting.size();
    const std::string Item = Setting.substr(At, End - At);
    if (Item == "take") Take = true;
    if (Item == "decline") Take = false;
    if (Item == "initfail") InitFails = true;
    if (Item == "faultinit") FaultInit = true;
    if (Item == "faultfinal") FaultFinal = true;
    if (Item == "spoilfloat") SpoilFloat = true;
    if (Item == "faultmessage") MessageFaults.store(-1);
    if (Item.rfind("faultmessage=", 0) == 0) MessageFaults.store(std::atoll(Item.c_str() + 13));
    if (Item.rfind("record=", 0) == 0) RecordPath = Item.substr(7);
    if (Item.rfind("summary=", 0) == 0) SummaryPath = Item.substr(8);
    At = End + 1;
  }
}

}  // namespace

extern "C" {

VELMORA_EXPORT uint32_t VELMORA_STDCALL DLL_Initialize(const char* Setting, int32_t Always500) {
  if (Setting != nullptr) ReadSetting(Setting);
  AppendToFile(RecordPath, "I\t" + Field(Setting) + "\t" + std::to_string(Always500) + "\r\n");
  if (FaultInit) Fault();
  return InitFails ? AnswerFalse : AnswerTrue;
}

VELMORA_EXPORT uint32_t VELMORA_STDCALL DLL_MessageToLogServer(double Time, const char* HostExeName,
                                                               const char* PluginFileName,
                                                               const char* Tag, const char* Text) {
  Messages.fetch_add(1, std::memory_order_relaxed);
  if (!RecordPath.empty()) {
    uint64_t Bits = 0;
    std::memcpy(&Bits, &Time, sizeof(Bits));
    char TimeText[24];
    std::snprintf(TimeText, sizeof(TimeText), "%016llx", static_cast<unsigned long long>(Bits));
    AppendToFile(RecordPath, std::string("M\t") + TimeText + "\t" + Field(HostExeName) + "\t" +
                                 Field(PluginFileName) + "\t" + Field(Tag) + "\t" + Field(Text) +
                                 "\r\n");
  }
  const bool FaultDue = MessageFaultDue();
  if (SpoilFloat) Platform::SpoilFloatingPointState(FaultDue);
  if (FaultDue) Fault();
  return Take ? AnswerTrue : AnswerFalse;
}

#ifndef LOGCLIENT_WITHOUT_FINALIZE
VELMORA_EXPORT void VELMORA_STDCALL DLL_Finalize() {
  AppendToFile(RecordPath, "F\r\n");
  AppendToFile(SummaryPath, "messages=" + std::to_string(Messages.load()) + "\r\n");
  if (FaultFinal) Fault();
}
#endif

}  // extern "C"
