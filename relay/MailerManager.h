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

class TTaskHandler;
class TTPKTClient;
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

class TMailerManager {
public:
  static constexpr uint32_t DefaultIdleTimeout = 10000;
  static constexpr size_t BufferSize = 8192;
  static constexpr uint32_t CommandSendTimeout = 1000;
  // Requests kept while their answers are awaited; beyond this the oldest
  // are given up (and logged as dropped).
  static constexpr size_t OutstandingCapacity = 65536;

  // Reads the settings, starts the worker and the client. Transport failures
  // are logged, never raised; a worker that cannot be started raises.
  TMailerManager(TScenarioCallback Callback, uintptr_t UserValue,
                 uint32_t IdleTimeout = DefaultIdleTimeout);
  // Detaches and closes the connection, stops the worker, frees everything;
  // every failure on the way is logged and the rest still runs.
  ~TMailerManager();
  TMailerManager(const TMailerManager&) = delete;
  TMailerManager& operator=(const TMailerManager&) = delete;

  // Host thread: copies the command into a task record and queues it.
  // Always 0; failures are logged.
  int32_t QueueCommand(int32_t SessionACT, const void* Data, int32_t Length) noexcept;

private:
  // A record kind of the manager's own, queued by ClientDisconnect behind
  // the messages received before the loss; its session field carries the
  // generation of the lost connection.
  static constexpr uint8_t TaskConnectionLost = 3;

  // Both skip an empty File (the module's path could not be read): the
  // settings in effect stay, and nothing is written anywhere.
  void ReadSettings(const std::string& File);
  void WriteMissingSettings(const std::string& File);
  void StartWorker(uint32_t IdleTimeout);
  void StopWorker();
  void QueueRecord(uint8_t Kind, int32_t SessionACT, const void* Payload, uint32_t Length);
  void StartClient();
  void StopClient() noexcept;

  // Worker thread only.
  void DispatchTask(TTaskRecord* Task, bool& Stop);
  void ProcessCommand(const TTaskRecord* Task);
  void ReceiveResponse(const TTaskRecord* Task);
  void SendKeepAlive();
  // Accounting of requests handed to the transport: each one ends as an
  // answer to the host or as one "ProcessCommand ... EXCEPTION: " line.
  void TrackSent(int32_t SessionACT) noexcept;
  void ConnectionLost(uint32_t Generation) noexcept;
  void DropOutstanding() noexcept;
  static void LogDropped(int32_t SessionACT, const char* Reason) noexcept;

  // Transport threads (and the failing operation's thread for ClientError).
  void ClientReceive(TTPKTClient& Sender, const void* Data, int32_t Size);
  void ClientError(TTPKTClient& Sender, uint8_t Operation, const std::string& Message,
                   int32_t& ErrorCode);
  void ClientConnect(TTPKTClient& Sender);
  void ClientDisconnect(TTPKTClient& Sender, bool& DeactivateRequested);

  const TScenarioCallback Callback;  // may be null: server messages are then dropped
  const uintptr_t UserValue;
  // The client, owned here; null when its creation failed. The worker is
  // already running while the host thread creates it, so the worker reads it
  // only through Client, published once the object exists.
  std::unique_ptr<TTPKTClient> OwnedClient;
  std::atomic<TTPKTClient*> Client{nullptr};
  std::unique_ptr<TTaskHandler> Worker;
  std::unique_ptr<TParamList> Params;   // worker thread only
  // Requests sent and not yet answered; worker thread only. Kept only while
  // there is a Callback (without one no answer reaches the host anyway).
  TOutstandingRequests Outstanding{OutstandingCapacity};
  // Connections lost so far: ClientDisconnect (a transport thread) advances
  // it before the client clears its connected state; the worker reads it
  // right after each successful send, so a request that went out on a new
  // connection never carries the number of the one lost before.
  std::atomic<uint32_t> ConnectionGeneration{0};
  alignas(8) uint8_t Buffer[BufferSize];  // worker thread only
};
