// The command path: the host's command is copied and queued on the host's
// thread, then turned into a request message and sent on the worker thread.
#include <cstring>
#include <exception>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "params/IntegerText.h"
#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "relay/MailerManager.h"
#include "relay/TaskHandler.h"
#include "transport/TPKTClient.h"

namespace {

std::string SessionPrefix(const char* Operation, int32_t SessionACT) {
  return std::string(Operation) + " [SessionACT=" + IntegerToText(SessionACT) + "]";
}

// The prefix of a failure line of Operation for SessionACT, made only when
// the line is written.
auto FailurePrefix(const char* Operation, int32_t SessionACT) {
  return [Operation, SessionACT] { return SessionPrefix(Operation, SessionACT) + " EXCEPTION: "; };
}

constexpr uint8_t DefaultOperation = 4;

}  // namespace

int32_t TMailerManager::QueueCommand(int32_t SessionACT, const void* Data,
                                     int32_t Length) noexcept {
  if (Length <= 0) return 0;
  RunLoggingFailure(FailurePrefix("Command_Plugin", SessionACT), [&] {
    if (Data == nullptr) {
      throw std::invalid_argument("no command bytes: a null data pointer with a length of " +
                                  IntegerToText(Length) + " bytes");
    }
    QueueRecord(TaskCommand, SessionACT, Data, static_cast<uint32_t>(Length));
  });
  return 0;
}

// Builds the request message in Buffer (operation byte, then the packed list
// with "UserData" wrapping the session) and sends it. Every failure drops the
// command with one log line; nothing reaches the host.
void TMailerManager::ProcessCommand(const TTaskRecord* Task) {
  const int32_t SessionACT = TaskSession(Task);
  RunLoggingFailure(FailurePrefix("ProcessCommand", SessionACT), [&] {
    UnpackParams(*Params, TaskPayload(Task), static_cast<int32_t>(TaskLength(Task)));
    Log(SessionPrefix("Command_Plugin", SessionACT) + ", Params=" + Params->ParamsToText());

    TParamList Wrapped;
    const std::string HostValue = Params->GetParam("UserData");
    Wrapped.SetParam("Sess", IntegerToText(SessionACT));
    Wrapped.SetParam("SrcUserData", HostValue);
    Params->SetParam("UserData", Wrapped.ParamsToText());

    Buffer[0] = static_cast<uint8_t>(IntegerTextOr(Params->GetParam("Operation"), DefaultOperation));
    const int Operation = Params->FindParam("Operation");
    if (Operation >= 0) Params->Delete(Operation);

    size_t Count = 0;
    if (!PackParams(*Params, reinterpret_cast<char*>(Buffer) + 1, BufferSize - 1, Count)) {
      throw std::length_error("request message of " + IntegerToText(static_cast<int64_t>(Count) + 1) +
                              " bytes exceeds the " + IntegerToText(BufferSize) +
                              "-byte message buffer; command dropped");
    }
    TTPKTClient* const Current = Client.load();
    if (Current == nullptr) throw std::runtime_error("no transport client; command dropped");
    if (Current->Send(Buffer, static_cast<int32_t>(Count + 1), CommandSendTimeout)) {
      TrackSent(SessionACT, TOutstandingRequests::HostValueKey(HostValue));
    }
  });
}

// The request is with the transport: from now on it ends as an answer or as
// one "No answer" line (lost connection, or the stop), unless the cap makes
// it one of the untracked a burst line counts.
void TMailerManager::TrackSent(int32_t SessionACT, uint64_t HostValue) noexcept {
  if (Callback == nullptr) return;
  try {
    if (!Outstanding.Sent(SessionACT, HostValue, ConnectionGeneration.load())) EndUntrackedBurst();
  } catch (...) {
    // Memory exhausted: this request goes unfollowed. A line saying it got
    // no answer would be wrong when its answer does come.
  }
}

void TMailerManager::EndUntrackedBurst() noexcept {
  const size_t Untracked = Outstanding.TakeUntracked();
  if (Untracked == 0) return;
  try {
    Log("No answer followed: " + IntegerToText(static_cast<int64_t>(Untracked)) +
        " sent commands awaited longest are no longer followed (more than " +
        IntegerToText(static_cast<int64_t>(Limits.AwaitedRequests)) +
        " awaited at once); their answers still reach the host");
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
}

// Worker thread, at the stop record: the connection is already closed and
// every message it delivered has been handled.
void TMailerManager::DropOutstanding() noexcept {
  EndUntrackedBurst();
  try {
    Outstanding.DropAll([](int32_t SessionACT) {
      LogUnanswered(SessionACT, "the relay stopped before an answer came");
    });
  } catch (...) {
    // Only the log is called; it raises nothing.
  }
}

void TMailerManager::LogUnanswered(int32_t SessionACT, const char* When) noexcept {
  try {
    Log(SessionPrefix("No answer", SessionACT) + ": the command was sent; " + When);
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
}

void TMailerManager::LogDropped(int32_t SessionACT, const char* Reason) noexcept {
  try {
    Log(SessionPrefix("ProcessCommand", SessionACT) + " EXCEPTION: " + Reason);
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
}
