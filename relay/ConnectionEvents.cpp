// Reactions to the connection's state: connect and disconnect lines, transport
// failures logged (and cancelled but for sends), and the idle keep-alive.
#include <exception>

#include "log/ProcessLog.h"
#include "params/IntegerText.h"
#include "relay/MailerManager.h"
#include "transport/TPKTClient.h"

void TMailerManager::ClientError(TTPKTClient& Sender, uint8_t Operation,
                                 const std::string& Message, int32_t& ErrorCode) {
  try {
    Log("FSClient Error (TermID=" + IntegerToText(Sender.TermID()) +
        ", Operate=" + IntegerToText(Operation) + ", Error=" + Message + "(" +
        IntegerToText(ErrorCode) + "))");
  } catch (...) {
    // A line that cannot be built is lost; the failure is still answered below.
  }
  // A failed send raises into its caller, which logs it and drops the work;
  // every other failure simply ends the operation.
  if (Operation != TTPKTClient::opSend) ErrorCode = 0;
}

void TMailerManager::ClientConnect(TTPKTClient&) { Log("FS Client connected to FileServer"); }

// Called before the client clears its connected state: the line is written
// only when an established connection is lost. The loss then follows, in the
// worker's queue, every message received on that connection, so the worker
// gives up only requests whose answers can no longer come.
void TMailerManager::ClientDisconnect(TTPKTClient& Sender, bool&) {
  if (!Sender.Connected()) return;
  Log("FS Client disconnected from FileServer");
  const uint32_t Lost = ConnectionGeneration.fetch_add(1);
  if (Callback == nullptr) return;  // no requests are kept
  // Should this fail, the requests stay kept; the next loss, the cap or the
  // stop gives them up.
  RunLoggingFailure("OnDisconnect EXCEPTION: ", [&] {
    QueueRecord(TaskConnectionLost, static_cast<int32_t>(Lost), nullptr, 0);
  });
}

// Worker thread: every request sent on the lost connection or an earlier one
// is still unanswered after all that connection delivered.
void TMailerManager::ConnectionLost(uint32_t Generation) noexcept {
  EndUntrackedBurst();
  try {
    Outstanding.ConnectionLost(Generation, [](int32_t SessionACT) {
      LogUnanswered(SessionACT, "the connection was lost before an answer came");
    });
  } catch (...) {
    // Only the log is called; it raises nothing.
  }
}

// Not once the stop has begun: the connection is going, and sends fail. A
// quiet worker also ends a burst of requests no longer followed.
void TMailerManager::SendKeepAlive() {
  EndUntrackedBurst();
  if (Stopping.load()) return;
  RunLoggingFailure("SEND KEEP ALIVE EXCEPTION: ", [&] {
    TTPKTClient* const Current = Client.load();
    if (Current != nullptr && Current->Connected()) Current->Send(nullptr, 0, 0);
  });
}
