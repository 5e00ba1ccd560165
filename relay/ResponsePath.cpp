// The response path: a server message is copied and queued on the transport
// thread, then unwrapped and handed to the host's callback on the worker.
#include <exception>
#include <stdexcept>

#include "log/ProcessLog.h"
#include "params/IntegerText.h"
#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "platform/ForeignCall.h"
#include "relay/MailerManager.h"
#include "relay/TaskHandler.h"

void TMailerManager::ClientReceive(TTPKTClient&, const void* Data, int32_t Size) {
  if (Size <= 0 || Callback == nullptr) return;
  RunLoggingFailure("OnReceive response EXCEPTION: ", [&] {
    if (Data == nullptr) {
      throw std::invalid_argument("no message bytes: a null data pointer with a size of " +
                                  IntegerToText(Size) + " bytes");
    }
    QueueRecord(TaskMessage, 0, Data, static_cast<uint32_t>(Size));
  });
}

// Restores the host's own "UserData" and the session from the wrapped value,
// adds the server's error and operation codes, and calls the host back with
// the packed list in Buffer. The callback is the host's code: a fault inside
// it (an access violation, an exception raised through the system) ends as
// the "Receive response EXCEPTION: " line with the guard's text, without the
// "Send to SCENARIO" line; the request counts as answered (the host was
// called) and the worker goes on.
void TMailerManager::ReceiveResponse(const TTaskRecord* Task) {
  if (Callback == nullptr) return;
  RunLoggingFailure("Receive response EXCEPTION: ", [&] {
    const uint32_t Length = TaskLength(Task);
    const uint8_t* Message = TaskPayload(Task);
    if (Length < 2) {
      throw std::length_error("server message of " + IntegerToText(Length) +
                              " byte(s) lacks the operation and error bytes (2 needed); dropped");
    }
    UnpackParams(*Params, Message + 2, static_cast<int32_t>(Length - 2));
    Log("Receive response. Params=" + Params->ParamsToText());

    TParamList Wrapped;
    Wrapped.ParamsFromText(Params->GetParam("UserData"));
    int32_t SessionACT = -1;
    // An answer that names its session settles that session's oldest request
    // (should the rest of this fail, the line below accounts for it). One
    // without a readable "Sess" goes to session -1 and settles nothing, not
    // even a request of a host session numbered -1.
    if (TryIntegerText(Wrapped.GetParam("Sess"), SessionACT)) Outstanding.Answered(SessionACT);
    Params->SetParam("UserData", Wrapped.GetParam("SrcUserData"));
    Params->SetParam("Error", IntegerToText(Message[1]));
    Params->SetParam("Operation", IntegerToText(Message[0]));

    size_t Count = 0;
    if (!PackParams(*Params, reinterpret_cast<char*>(Buffer), BufferSize, Count)) {
      throw std::length_error("response list of " + IntegerToText(Count) + " bytes exceeds the " +
                              IntegerToText(BufferSize) + "-byte buffer; dropped");
    }
    const void* const Data = Buffer;
    Platform::CallForeign(Callback, SessionACT, static_cast<const char*>(PluginNameText), Data,
                          static_cast<int32_t>(Count), UserValue);
    Log("Send to SCENARIO [SessionACT=" + IntegerToText(SessionACT) +
        "], Params=" + Params->ParamsToText());
  });
}
