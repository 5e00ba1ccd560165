#include "tests/support/DoubleSteps.h"

#include <stdexcept>

#include "tests/support/CaseScript.h"

namespace TestSupport {

void ScriptDouble(TTransportDouble& Double, std::string Rest) {
  const std::string Setting = TakeWord(Rest), First = TakeWord(Rest), Second = TakeWord(Rest);
  if (Setting == "auto-disconnect")  // "off": the one step that turns a setting off again
    Double.SetAutoDisconnect(First != "off");
  else if (Setting == "auto-echo")
    Double.SetAutoEcho(true);
  else if (Setting == "result")
    Double.SetResult(First, Signed(Second), Rest.empty() ? 0 : static_cast<uint32_t>(Number(Rest)));
  else if (Setting == "fault")
    Double.SetFault(First, Signed(Second));
  else if (Setting == "late-notices")  // the kinds' mask as DoubleControl.h has it
    Double.SetLateNotices(First == "all" ? 15 : Signed(First), Signed(Second));
  else if (Setting != "rewrite-termid" || !Double.RewriteTermID(Signed(First)))
    throw std::runtime_error("double " + Setting + " failed or unknown");
}

bool FireNotice(TTransportDouble& Double, std::string Rest) {
  const std::string Kind = TakeWord(Rest);
  if (Kind == "connect") return Double.FireConnect();
  if (Kind == "disconnect") return Double.FireDisconnect();
  if (Kind == "receive") return Double.FireReceive(DecodeBytes(Rest));
  if (Kind == "aux") return Double.FireAuxReceive(DecodeBytes(Rest));
  if (Kind == "end-strays") return Double.EndStrays(), true;
  if (Kind == "flood") {  // the same message N times without pause
    const int32_t Count = Signed(TakeWord(Rest));
    return Double.FloodReceive(DecodeBytes(Rest), Count);
  }
  if (Kind == "stream") {
    const int32_t AfterMs = Signed(TakeWord(Rest));
    return Double.StreamReceive(DecodeBytes(Rest), AfterMs);
  }
  throw std::runtime_error("unknown notice " + Kind);
}

}  // namespace TestSupport
