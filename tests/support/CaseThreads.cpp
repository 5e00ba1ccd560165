#include "tests/support/CaseThreads.h"

#include "tests/support/TestSupport.h"

namespace TestSupport {

bool TCaseThread::Start(std::function<bool()> NewBody) {
  if (Thread) return false;
  Body = std::move(NewBody);
  Ended = false;
  Thread = std::make_unique<Platform::TThread>();
  const auto Run = [](void* Context) {
    auto& Self = *static_cast<TCaseThread*>(Context);
    Self.Held = Self.Body();
    Self.Ended = true;
  };
  if (Thread->Create(Run, this) && Thread->Start()) return true;
  Thread.reset();
  return false;
}

bool TCaseThread::StartLater(const TCaseStep& Later, TPlay Play) {
  TCaseStep Step{Later.Line, "", Later.Rest};
  const uint32_t DelayMs = Number(TakeWord(Step.Rest));
  Step.Verb = TakeWord(Step.Rest);
  return Start([Step, Play, DelayMs] {
    Platform::SleepMs(DelayMs);
    return PlaySteps({Step}, Play);
  });
}

bool TCaseThread::EndedWithin(uint32_t WithinMs) const {
  return Thread && WaitUntil([this] { return Ended.load(); }, WithinMs);
}

bool TCaseThread::Join() {
  if (!Thread) return true;
  Thread->WaitForEnd();
  Thread.reset();
  return Held;
}

}  // namespace TestSupport
