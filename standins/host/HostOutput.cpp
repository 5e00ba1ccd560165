// Writing the host runner's lines to the standard streams.
#include "standins/host/HostOutput.h"

#include "platform/Sync.h"
#include "platform/testing/StandardStreams.h"

void TStandardHostOutput::Line(const std::string& Text) {
  Platform::TLockGuard Guard(Lock);
  Platform::WriteStandardOutput(Text + "\n");
}

void TStandardHostOutput::ErrorLine(const std::string& Text) {
  Platform::TLockGuard Guard(Lock);
  Platform::WriteStandardError(Text + "\n");
}
