// The relay manager's life cycle, settings and dispatcher; the command path,
// the response path and the connection handlers live in their own files.
#include "relay/MailerManager.h"

#include <exception>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "params/IntegerText.h"
#include "params/ParamList.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Profile.h"
#include "platform/Thread.h"
#include "relay/TaskHandler.h"
#include "transport/TPKTClient.h"

const char PluginNameText[] = "Velmora";

namespace {

// Written by manager creation on the host thread, read there too.
std::string CurrentServerAddress = "127.0.0.1";
uint16_t CurrentServerPort = 25001;

const char SettingsSection[] = "Server";
const char AddressKey[] = "FSServerAddr";
const char PortKey[] = "FSServerPort";

}  // namespace

std::string ServerAddress() { return CurrentServerAddress; }
uint16_t ServerPort() { return CurrentServerPort; }

std::string ModuleDirectory() { return Platform::DirectoryPart(Platform::OwnModulePath(520)); }

std::string ModuleFileName() { return Platform::FileNamePart(Platform::OwnModulePath(520)); }

std::string SettingsFileName() {
  // One reading for both parts: two could disagree (one failing), and a
  // name without its directory would be looked for relative to wherever the
  // host runs (on Windows, in the Windows folder).
  const std::string Path = Platform::OwnModulePath(520);
  std::string Name = Platform::FileNamePart(Path);
  if (Name.empty()) return std::string();
  const size_t Dot = Name.rfind('.');
  if (Dot != std::string::npos) Name.erase(Dot);
  return Platform::DirectoryPart(Path) + Name + ".ini";
}

TMailerManager::TMailerManager(TScenarioCallback Callback, uintptr_t UserValue,
                               uint32_t IdleTimeout)
    : Callback(Callback), UserValue(UserValue), Buffer{} {
  const std::string File = SettingsFileName();
  ReadSettings(File);
  WriteMissingSettings(File);
  Params = std::make_unique<TParamList>();
  StartWorker(IdleTimeout);
  StartClient();
}

TMailerManager::~TMailerManager() {
  StopClient();
  RunLoggingFailure("ERR: FS Client worker stop fail: ", [&] { StopWorker(); });
  try {
    Client.store(nullptr);
    OwnedClient.reset();
  } catch (...) {
    // The client's destructor releases its library reference and events on
    // every path; a failure it reports here has already been logged above.
  }
  Params.reset();
  Log("FS Client stopped.");
}

void TMailerManager::ReadSettings(const std::string& File) {
  if (File.empty()) return;  // no module name: keep the defaults
  CurrentServerAddress =
      Platform::ReadProfileString(File, SettingsSection, AddressKey, CurrentServerAddress);
  const std::string PortText = Platform::ReadProfileString(File, SettingsSection, PortKey, "");
  CurrentServerPort = static_cast<uint16_t>(IntegerTextOr(PortText, CurrentServerPort));
}

// Only missing keys are written; a present key keeps its text even when it
// was empty or not a number. A file that cannot be written is logged and
// creation goes on with the values in effect.
void TMailerManager::WriteMissingSettings(const std::string& File) {
  if (File.empty()) return;
  const std::pair<const char*, std::string> Keys[] = {
      {AddressKey, CurrentServerAddress},
      {PortKey, IntegerToText(CurrentServerPort)},
  };
  for (const auto& [Key, Value] : Keys) {
    if (Platform::ProfileKeyExists(File, SettingsSection, Key)) continue;
    if (!Platform::WriteProfileString(File, SettingsSection, Key, Value)) {
      const uint32_t Code = Platform::LastError();
      try {
        Log(std::string("ERR: Settings write fail: cannot write ") + Key + " to " + File + ": " +
            Platform::SystemErrorText(Code) + "(" + std::to_string(Code) + ")");
      } catch (...) {
        // A line that cannot be built is lost; creation goes on.
      }
    }
  }
}

void TMailerManager::StartWorker(uint32_t IdleTimeout) {
  Worker = std::make_unique<TTaskHandler>(IdleTimeout);
  Worker->OnTask = [this](TTaskRecord* Task, bool& Stop) { DispatchTask(Task, Stop); };
  Worker->OnIdle = [this] { SendKeepAlive(); };
  Worker->Start();
}

// Queues the stop record behind everything already queued and waits for the
// worker to finish those records and end. The worker must have ended before
// the manager frees what it uses, so a stop record that cannot be queued (no
// memory for it, a count the queue refused) is tried again before the
// failure goes to the caller.
void TMailerManager::StopWorker() {
  if (!Worker) return;
  constexpr int StopAttempts = 3;
  for (int Attempt = 1;; ++Attempt) {
    try {
      QueueRecord(TaskStop, 0, nullptr, 1);
      break;
    } catch (...) {
      if (Attempt == StopAttempts) throw;
      Platform::SleepMs(10);
    }
  }
  Worker->WaitFor();
  Worker.reset();
}

// One record in one allocation, handed to the worker; a record the queue
// refused is released here, so a failure leaves nothing behind.
void TMailerManager::QueueRecord(uint8_t Kind, int32_t SessionACT, const void* Payload,
                                 uint32_t Length) {
  TTaskRecord* Task = NewTaskRecord(Kind, SessionACT, Payload, Length);
  try {
    Worker->AddTask(Task);
  } catch (...) {
    FreeTaskRecord(Task);
    throw;
  }
}

void TMailerManager::StartClient() {
  RunLoggingFailure("ERR: FS Client initialization fail: ", [&] {
    OwnedClient = std::make_unique<TTPKTClient>();
    TTPKTClient* const Current = OwnedClient.get();
    Client.store(Current);
    Current->OnAuxReceive.Bind([](TTPKTClient&, const void*, int32_t) {});
    Current->OnReceive.Bind([this](TTPKTClient& Sender, const void* Data, int32_t Size) {
      ClientReceive(Sender, Data, Size);
    });
    Current->OnConnect.Bind([this](TTPKTClient& Sender) { ClientConnect(Sender); });
    Current->OnDisconnect.Bind([this](TTPKTClient& Sender, bool& DeactivateRequested) {
      ClientDisconnect(Sender, DeactivateRequested);
    });
    Current->SetLocalAddress("0.0.0.0");
    Current->SetLocalPort(0);
    Current->SetRemoteAddress(CurrentServerAddress);
    Current->SetRemotePort(CurrentServerPort);
    Current->SetNoTPKT(false);
    // Bound last: failures of creating and activating the connection reach
    // the log from here on and are cancelled there.
    Current->OnError.Bind([this](TTPKTClient& Sender, uint8_t Operation,
                                const std::string& Message, int32_t& ErrorCode) {
      ClientError(Sender, Operation, Message, ErrorCode);
    });
    Current->CreateConnection();
    Current->SetActive(true);
    Log("FS Client started");
  });
}

// Unbinds every event first, so that no transport thread enters the manager
// from here on (unbinding waits for a handler that is running), then takes
// the connection down.
void TMailerManager::StopClient() noexcept {
  TTPKTClient* const Current = Client.load();
  if (Current == nullptr) return;
  RunLoggingFailure("ERR: FS Client shutdown fail: ", [&] {
    Current->OnError.Unbind();
    Current->OnAuxReceive.Unbind();
    Current->OnReceive.Unbind();
    Current->OnConnect.Unbind();
    Current->OnDisconnect.Unbind();
    if (Current->Connected()) Current->SetActive(false);
    Current->DestroyConnection();
  });
}

void TMailerManager::DispatchTask(TTaskRecord* Task, bool& Stop) {
  Stop = false;
  switch (TaskKind(Task)) {
    case TaskStop:
      // Every record queued before the stop has been handled: what is still
      // awaited will never reach the host.
      DropOutstanding();
      Stop = true;
      break;
    case TaskCommand:
      ProcessCommand(Task);
      break;
    case TaskMessage:
      ReceiveResponse(Task);
      break;
    case TaskConnectionLost:
      ConnectionLost(static_cast<uint32_t>(TaskSession(Task)));
      break;
    default:
      break;  // unknown kinds are released unprocessed
  }
}
