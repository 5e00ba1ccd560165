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

constexpr uint8_t DefaultOperation = 4;

}  // namespace

int32_t TMailerManager::QueueCommand(int32_t SessionACT, const void* Data,
                                     int32_t Length) noexcept {
  if (Length <= 0) return 0;
  try {
    if (Data == nullptr) {
      throw std::invalid_argument("no command bytes: a null data pointer with a length of " +
                                  IntegerToText(Length) + " bytes");
    }
    QueueRecord(TaskCommand, SessionACT, Data, static_cast<uint32_t>(Length));
  } catch (const std::exception& Failure) {
    Log(SessionPrefix("Command_Plugin", SessionACT) + " EXCEPTION: " + Failure.what());
  } catch (...) {
    Log(SessionPrefix("Command_Plugin", SessionACT) + " EXCEPTION: unknown failure");
  }
  return 0;
}

// Builds the request message in Buffer (operation byte, then the packed list
// with "UserData" wrapping the session) and sends it. Every failure drops the
// command with one log line; nothing reaches the host.
void TMailerManager::ProcessCommand(const TTaskRecord* Task) {
  const int32_t SessionACT = TaskSession(Task);
  try {
    UnpackParams(*Params, TaskPayload(Task), static_cast<int32_t>(TaskLength(Task)));
    Log(SessionPrefix("Command_Plugin", SessionACT) + ", Params=" + Params->ParamsToText());

    TParamList Wrapped;
    Wrapped.SetParam("Sess", IntegerToText(SessionACT));
    Wrapped.SetParam("SrcUserData", Params->GetParam("UserData"));
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
    Current->Send(Buffer, static_cast<int32_t>(Count + 1), CommandSendTimeout);
  } catch (const std::exception& Failure) {
    Log(SessionPrefix("ProcessCommand", SessionACT) + " EXCEPTION: " + Failure.what());
  } catch (...) {
    Log(SessionPrefix("ProcessCommand", SessionACT) + " EXCEPTION: unknown failure");
  }
}
