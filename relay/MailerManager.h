// The relay manager: owns the settings, the worker thread, the transport
// client, one parameter list and one message buffer, and relays commands from
// the host to the file server and the server's answers back to the host.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "relay/OutstandingRequests.h"
#include "relay/ScenarioCallback.h"
#include "relay/TaskRecord.h"
#include "transport/TPKTClient.h"

class TTaskHandler;
class TParamList;

// The plug-in's name, handed out by address to the host and in every
// callback; it lives unchanged as long as the library is loaded.
extern const char PluginNameText[];

// Server settings shared by every manager of this library (host thread only).
std::string ServerAddress();
uint16_t ServerPort();

// Paths of the settings file beside the library module.
std::string ModuleDirectory();   // with its trailing separator
std::string ModuleFileName();    // without directory
// ModuleDirectory + ModuleFileName with ".ini", both from one reading of the
// module's path; empty when the path cannot be read (no name: no file).
std::string SettingsFileName();

// What the worker's queue may hold of server messages, how many sent
// requests the relay follows, and how long the stop goes on handing queued
// work over.
struct TRelayLimits {
  // Server messages queued and not yet handled, by count and by bytes
  // (whole task records). A message beyond either is dropped; once the
  // queue was full, messages are dropped until it has drained to half of
  // both, and each such burst ends as one line that counts it. An honest
  // server answers each request once, and the relay follows at most
  // AwaitedRequests requests: the count is four times that. An answer a
  // host can take is at most 8 KiB and most are far smaller; 128 MiB holds
  // 16,384 of the largest, or the whole count at 512 bytes each, and keeps
  // a flood well inside a 32-bit process.
  uint32_t QueuedMessages = 262144;
  size_t QueuedMessageBytes = size_t{128} << 20;
  // From the start of the stop: messages queued before it are still handed
  // to the host, and commands still handled, until this has passed; then
  // the rest are discarded (one line counts the messages, each command
  // gets its dropped line).
  uint32_t StopBudgetMs = 1000;
  // Sent requests followed while their answers are awaited; beyond this the
  // oldest are no longer followed (one line per burst counts them).
  size_t AwaitedRequests = 65536;
};

class TMailerManager {
public:
  static constexpr uint32_t DefaultIdleTimeout = 10000;
  static constexpr size_t BufferSize = 8192;
  static constexpr uint32_t CommandSendTimeout = 1000;

  // Reads the settings, starts the worker and the client. Transport failures
  // are logged, never raised; a worker that cannot be started raises.
  TMailerManager(TScenarioCallback Callback, uintptr_t UserValue,
                 uint32_t IdleTimeout = DefaultIdleTimeout,
                 const TRelayLimits& Limits = TRelayLimits());
  TMailerManager(const TMailerManager&) = delete;
  TMailerManager& operator=(const TMailerManager&) = delete;

  // Stops and frees Manager (null is ignored): detaches and closes the
  // connection, stops the worker, frees everything; every failure on the way
  // is logged and the rest still runs. When the worker cannot be shown to
  // have ended, the manager and everything the worker can touch (client,
  // transport library, parameter list) are kept rather than freed under a
  // running thread, with a line saying so, and the result is false (a later
  // call may try again). The host is never called once it returned true.
  static bool Release(TMailerManager* Manager) noexcept;

  // Host thread: copies the command into a task record and queues it.
  // Always 0; failures are logged.
  int32_t QueueCommand(int32_t SessionACT, const void* Data, int32_t Length) noexcept;

  // Server messages queued and not yet handled, and their bytes with their
  // records' headers (any thread; a test's view of the limits' accounting).
  uint32_t QueuedMessageCount() const noexcept { return QueuedMessages.load(); }
  size_t QueuedByteCount() const noexcept { return QueuedMessageBytes.load(); }

private:
  // A record kind of the manager's own, queued by ClientDisconnect behind
  // the messages received before the loss; its session field carries the
  // generation of the lost connection.
  static constexpr uint8_t TaskConnectionLost = 3;

  // Only through Release, once the worker has ended: frees the client and
  // the parameter list.
  ~TMailerManager();

  // Both skip an empty File (the module's path could not be read): the
  // settings in effect stay, and nothing is written anywhere.
  void ReadSettings(const std::string& File);
  void WriteMissingSettings(const std::string& File);
  void StartWorker(uint32_t IdleTimeout);
  // Host thread: starts the stop (the budget's clock), takes the connection
  // down and stops the worker. True once the worker has ended.
  bool Shutdown() noexcept;
  // Queues the stop record or, when it cannot be queued, asks the worker to
  // stop without one; waits for the end. True once the worker has ended (or
  // never existed).
  bool StopWorker() noexcept;
  // The end of the worker's work: what is still awaited or was dropped or
  // discarded without a line yet gets its lines. Run by the worker at the
  // stop record, or by the host thread once the worker has ended without it.
  void FinishStop() noexcept;
  void QueueRecord(uint8_t Kind, int32_t SessionACT, const void* Payload, uint32_t Length);
  void StartClient();
  void StopClient() noexcept;

  // Server messages in the worker's queue (any thread). Reserve before
  // queueing one of Bytes (false: over the limit, drop it); Release once it
  // is handled or could not be queued.
  bool ReserveMessage(size_t Bytes) noexcept;
  void ReleaseMessage(size_t Bytes) noexcept;
  // A message that found the queue full (transport thread).
  void DropMessage() noexcept;
  // Worker: once a burst of drops has drained, its one line.
  void EndOverflowWhenDrained() noexcept;
  void LogDroppedMessages() noexcept;
  // Worker: the stop has begun and its budget is spent.
  bool PastStopBudget() const noexcept;
  // Worker: a record discarded unhandled (past the budget, or left when the
  // loop ended).
  void DiscardTask(TTaskRecord* Task) noexcept;

  // Worker thread only.
  void DispatchTask(TTaskRecord* Task, bool& Stop);
  void ProcessCommand(const TTaskRecord* Task);
  void ReceiveResponse(const TTaskRecord* Task);
  void SendKeepAlive();
  // Accounting of requests handed to the transport: each one followed ends
  // as an answer to the host or as one "No answer [SessionACT=%d]: " line
  // (not a failure: the server need not answer every operation). HostValue:
  // TOutstandingRequests::HostValueKey of the host's "UserData".
  void TrackSent(int32_t SessionACT, uint64_t HostValue) noexcept;
  void ConnectionLost(uint32_t Generation) noexcept;
  void DropOutstanding() noexcept;
  // The requests no longer followed since the last such line, in one line.
  void EndUntrackedBurst() noexcept;
  static void LogUnanswered(int32_t SessionACT, const char* When) noexcept;
  // A command the plug-in did not send: its failure line.
  static void LogDropped(int32_t SessionACT, const char* Reason) noexcept;

  // Transport threads (and the failing operation's thread for ClientError).
  void ClientReceive(TTPKTClient& Sender, const void* Data, int32_t Size);
  void ClientError(TTPKTClient& Sender, uint8_t Operation, const std::string& Message,
                   int32_t& ErrorCode);
  void ClientConnect(TTPKTClient& Sender);
  void ClientDisconnect(TTPKTClient& Sender, bool& DeactivateRequested);

  const TScenarioCallback Callback;  // may be null: server messages are then dropped
  const uintptr_t UserValue;
  const TRelayLimits Limits;
  // The client, owned here; null when its creation failed. The worker is
  // already running while the host thread creates it, so the worker reads it
  // only through Client, published once the object exists.
  TTPKTClient::TPointer OwnedClient;
  std::atomic<TTPKTClient*> Client{nullptr};
  std::unique_ptr<TTaskHandler> Worker;
  std::unique_ptr<TParamList> Params;   // worker thread only
  // Requests sent and not yet answered; worker thread only. Kept only while
  // there is a Callback (without one no answer reaches the host anyway).
  TOutstandingRequests Outstanding;
  // Connections lost so far: ClientDisconnect (a transport thread) advances
  // it before the client clears its connected state; the worker reads it
  // right after each successful send, so a request that went out on a new
  // connection never carries the number of the one lost before.
  std::atomic<uint32_t> ConnectionGeneration{0};

  // Server messages queued for the worker and their bytes: a transport
  // thread adds before it queues one, the worker takes off once it is
  // handled. Drops not yet logged (added by transport threads, taken by the
  // worker's line); Overflowing from the first drop of a burst until the
  // worker has seen the queue drained to half.
  std::atomic<uint32_t> QueuedMessages{0};
  std::atomic<size_t> QueuedMessageBytes{0};
  std::atomic<uint32_t> DroppedMessages{0};
  std::atomic<bool> Overflowing{false};
  // The stop: StopDeadline (tick count) is written by the host thread
  // before it sets Stopping, and read by the worker only after it saw
  // Stopping set. StopAsked: the host thread's, whether the worker was told.
  std::atomic<bool> Stopping{false};
  uint64_t StopDeadline = 0;
  bool StopAsked = false;
  // Queued messages discarded unhandled (DiscardTask), not yet logged;
  // worker thread only (the host thread's once the worker ended).
  uint32_t DiscardedMessages = 0;
  alignas(8) uint8_t Buffer[BufferSize];  // worker thread only
};
