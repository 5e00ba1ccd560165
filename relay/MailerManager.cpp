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
                               uint32_t IdleTimeout, const TRelayLimits& Limits)
    : Callback(Callback),
      UserValue(UserValue),
      Limits(Limits),
      Outstanding(Limits.AwaitedRequests),
      Buffer{} {
  const std::string File = SettingsFileName();
  ReadSettings(File);
  WriteMissingSettings(File);
  Params = std::make_unique<TParamList>();
  StartWorker(IdleTimeout);
  StartClient();
}

bool TMailerManager::Release(TMailerManager* Manager) noexcept {
  if (Manager == nullptr) return true;
  if (!Manager->Shutdown()) {
    // The worker may still run over the manager, its client (and with it
    // the transport library) and its parameter list: all of it stays.
    Log("ERR: FS Client worker did not stop: the relay is kept in memory, not freed under it");
    return false;
  }
  delete Manager;
  return true;
}

// The worker has ended (Release saw to it): nothing runs over what goes here.
TMailerManager::~TMailerManager() {
  // The client's events were unbound (StopClient): no callback can be inside
  // the manager. One still inside the client keeps the client (Free says so).
  Client.store(nullptr);
  TTPKTClient::Free(OwnedClient.release());
  Params.reset();
  Log("FS Client stopped.");
}

// The budget's clock starts before anything else, so that the time spent
// taking the connection down counts against it too.
bool TMailerManager::Shutdown() noexcept {
  if (!Stopping.load()) {
    StopDeadline = Platform::TickCountMs() + Limits.StopBudgetMs;
    Stopping.store(true, std::memory_order_release);
  }
  StopClient();
  return StopWorker();
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
            Platform::TrimmedSystemText(Code) + "(" + std::to_string(Code) + ")");
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
  Worker->OnDiscard = [this](TTaskRecord* Task) { DiscardTask(Task); };
  Worker->Start();
}

// Queues the stop record behind everything already queued and waits for the
// worker to finish those records (within the stop budget) and end. A stop
// record that cannot be queued (no memory) is logged, and the worker is
// asked to stop without one, which needs no memory and ends the worker at
// the same place. Only a worker seen to have ended is freed.
bool TMailerManager::StopWorker() noexcept {
  if (!Worker) return true;
  if (!StopAsked) {
    StopAsked = true;
    if (!RunLoggingFailure("ERR: FS Client worker stop fail: ",
                           [&] { QueueRecord(TaskStop, 0, nullptr, 1); })) {
      Worker->RequestStop();
    }
  }
  // A failed wait is logged; what decides is whether the body has ended (the
  // thread's wait reports its failure only once it has, unless a test fault
  // says otherwise): only then is anything the worker uses freed.
  if (!RunLoggingFailure("ERR: FS Client worker stop fail: ", [&] { Worker->WaitFor(); }) &&
      !Worker->BodyHasEnded()) {
    return false;
  }
  // The worker has ended: its fields are this thread's now. Without the stop
  // record their last lines are still due.
  FinishStop();
  Worker.reset();
  return true;
}

// Every record queued before the stop has been handled or discarded: what is
// still awaited will never reach the host, and the messages dropped or
// discarded so far get their lines. A second run finds nothing left.
void TMailerManager::FinishStop() noexcept {
  LogDroppedMessages();
  if (DiscardedMessages > 0) {
    const uint32_t Discarded = DiscardedMessages;
    DiscardedMessages = 0;
    try {
      Log("Receive response EXCEPTION: relay stopping: " + IntegerToText(Discarded) +
          " queued server messages discarded after the " + IntegerToText(Limits.StopBudgetMs) +
          " ms stop budget");
    } catch (...) {
      // A line that cannot be built is lost, as any log line may be.
    }
  }
  DropOutstanding();
}

// A record the worker will not handle (the stop's budget is spent, or the
// loop has ended): a command ends as its dropped line, a message is counted
// for the stop's one line, a loss still gives up what it took with it.
void TMailerManager::DiscardTask(TTaskRecord* Task) noexcept {
  switch (TaskKind(Task)) {
    case TaskCommand:
      LogDropped(TaskSession(Task), "relay stopped before the command was sent; command dropped");
      break;
    case TaskMessage:
      ++DiscardedMessages;
      ReleaseMessage(TaskHeaderSize + TaskLength(Task));
      break;
    case TaskConnectionLost:
      ConnectionLost(static_cast<uint32_t>(TaskSession(Task)));
      break;
    default:
      break;
  }
}

bool TMailerManager::PastStopBudget() const noexcept {
  return Stopping.load(std::memory_order_acquire) && Platform::TickCountMs() >= StopDeadline;
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
    OwnedClient = TTPKTClient::Create();
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
// from here on (unbinding waits for a handler that is running), then makes
// every send fail at once (connected or not: the queued commands must not
// each wait a second for a connection that is going), then takes the
// connection down.
void TMailerManager::StopClient() noexcept {
  TTPKTClient* const Current = Client.load();
  if (Current == nullptr) return;
  RunLoggingFailure("ERR: FS Client shutdown fail: ", [&] {
    Current->OnError.Unbind();
    Current->OnAuxReceive.Unbind();
    Current->OnReceive.Unbind();
    Current->OnConnect.Unbind();
    Current->OnDisconnect.Unbind();
    Current->StopSending();
    if (Current->Connected()) Current->SetActive(false);
    Current->DestroyConnection();
  });
}

// Once the stop budget is spent, the first record taken ends the loop: it
// and every record still queued are discarded (DiscardTask), and the stop's
// last lines follow on the stopping thread (StopWorker).
void TMailerManager::DispatchTask(TTaskRecord* Task, bool& Stop) {
  Stop = false;
  if (TaskKind(Task) != TaskStop && PastStopBudget()) {
    DiscardTask(Task);
    Stop = true;
    return;
  }
  switch (TaskKind(Task)) {
    case TaskStop:
      FinishStop();
      Stop = true;
      break;
    case TaskCommand:
      ProcessCommand(Task);
      break;
    case TaskMessage:
      ReceiveResponse(Task);
      ReleaseMessage(TaskHeaderSize + TaskLength(Task));
      EndOverflowWhenDrained();
      break;
    case TaskConnectionLost:
      ConnectionLost(static_cast<uint32_t>(TaskSession(Task)));
      break;
    default:
      break;  // unknown kinds are released unprocessed
  }
}
