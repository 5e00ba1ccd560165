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

// A message the queue has no room for is dropped here, counted, without a
// line of its own: a flood must not become a flood of lines.
void TMailerManager::ClientReceive(TTPKTClient&, const void* Data, int32_t Size) {
  if (Size <= 0 || Callback == nullptr) return;
  RunLoggingFailure("OnReceive response EXCEPTION: ", [&] {
    if (Data == nullptr) {
      throw std::invalid_argument("no message bytes: a null data pointer with a size of " +
                                  IntegerToText(Size) + " bytes");
    }
    const size_t Bytes = TaskHeaderSize + static_cast<uint32_t>(Size);
    if (!ReserveMessage(Bytes)) {
      DropMessage();
      return;
    }
    try {
      QueueRecord(TaskMessage, 0, Data, static_cast<uint32_t>(Size));
    } catch (...) {
      ReleaseMessage(Bytes);
      throw;
    }
  });
}

// Both limits are checked by adding first and taking back on refusal, so
// that several transport threads never pass one together. Once a burst of
// drops has begun, room is given only below half of each limit: the worker
// drains a real backlog before the next burst starts, and bursts stay few.
// A message larger than the byte limit is refused before it is counted, and
// the check subtracts instead of adding: in the 32-bit build the count plus a
// message near 2 GiB would wrap around and pass. (The count itself stays
// below 2^32 while fewer than 31 transport threads reserve at once.)
bool TMailerManager::ReserveMessage(size_t Bytes) noexcept {
  const bool Draining = Overflowing.load(std::memory_order_relaxed);
  const uint32_t MostMessages = Draining ? Limits.QueuedMessages / 2 : Limits.QueuedMessages;
  const size_t MostBytes = Draining ? Limits.QueuedMessageBytes / 2 : Limits.QueuedMessageBytes;
  if (Bytes > MostBytes) return false;
  if (QueuedMessages.fetch_add(1) >= MostMessages) {
    QueuedMessages.fetch_sub(1);
    return false;
  }
  if (QueuedMessageBytes.fetch_add(Bytes) > MostBytes - Bytes) {
    QueuedMessageBytes.fetch_sub(Bytes);
    QueuedMessages.fetch_sub(1);
    return false;
  }
  return true;
}

void TMailerManager::ReleaseMessage(size_t Bytes) noexcept {
  QueuedMessageBytes.fetch_sub(Bytes);
  QueuedMessages.fetch_sub(1);
}

void TMailerManager::DropMessage() noexcept {
  DroppedMessages.fetch_add(1);
  Overflowing.store(true, std::memory_order_relaxed);
}

// Worker, after each message: a burst ends when the queue is down to half of
// both limits. A drop that a transport thread counts just after the line is
// in the next line (the next burst's, or the stop's).
void TMailerManager::EndOverflowWhenDrained() noexcept {
  if (!Overflowing.load(std::memory_order_relaxed)) return;
  if (QueuedMessages.load() > Limits.QueuedMessages / 2 ||
      QueuedMessageBytes.load() > Limits.QueuedMessageBytes / 2) {
    return;
  }
  Overflowing.store(false, std::memory_order_relaxed);
  LogDroppedMessages();
}

void TMailerManager::LogDroppedMessages() noexcept {
  const uint32_t Dropped = DroppedMessages.exchange(0);
  if (Dropped == 0) return;
  try {
    Log("OnReceive response EXCEPTION: worker queue full (" + IntegerToText(Limits.QueuedMessages) +
        " server messages or " + IntegerToText(static_cast<int64_t>(Limits.QueuedMessageBytes)) +
        " bytes); " + IntegerToText(Dropped) + " server messages dropped");
  } catch (...) {
    // A line that cannot be built is lost, as any log line may be.
  }
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
    const std::string HostValue = Wrapped.GetParam("SrcUserData");
    // An answer that names its session settles the oldest request of that
    // session and host value (should the rest of this fail, the line below
    // accounts for it). One without a readable "Sess" goes to session -1 and
    // settles nothing, not even a request of a host session numbered -1.
    if (TryIntegerText(Wrapped.GetParam("Sess"), SessionACT)) {
      Outstanding.Answered(SessionACT, TOutstandingRequests::HostValueKey(HostValue));
    }
    Params->SetParam("UserData", HostValue);
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
