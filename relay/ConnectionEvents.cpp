// Reactions to the connection's state: connect and disconnect lines, transport
// failures logged (and cancelled but for sends), and the idle keep-alive.
#include <exception>

#include "log/ProcessLog.h"
#include "params/IntegerText.h"
#include "relay/MailerManager.h"
#include "transport/TPKTClient.h"

namespace {
constexpr uint8_t SendOperation = 4;
}

void TMailerManager::ClientError(TTPKTClient& Sender, uint8_t Operation,
                                 const std::string& Message, int32_t& ErrorCode) {
  Log("FSClient Error (TermID=" + IntegerToText(Sender.TermID()) +
      ", Operate=" + IntegerToText(Operation) + ", Error=" + Message + "(" +
      IntegerToText(ErrorCode) + "))");
  // A failed send raises into its caller, which logs it and drops the work;
  // every other failure simply ends the operation.
  if (Operation != SendOperation) ErrorCode = 0;
}

void TMailerManager::ClientConnect(TTPKTClient&) { Log("FS Client connected to FileServer"); }

// Called before the client clears its connected state: the line is written
// only when an established connection is lost.
void TMailerManager::ClientDisconnect(TTPKTClient& Sender, bool&) {
  if (Sender.Connected()) Log("FS Client disconnected from FileServer");
}

void TMailerManager::SendKeepAlive() {
  try {
    TTPKTClient* const Current = Client.load();
    if (Current != nullptr && Current->Connected()) Current->Send(nullptr, 0, 0);
  } catch (const std::exception& Failure) {
    Log(std::string("SEND KEEP ALIVE EXCEPTION: ") + Failure.what());
  } catch (...) {
    Log("SEND KEEP ALIVE EXCEPTION: unknown failure");
  }
}
