// The test host's own pipes natively, each told by its inode.
#include <sys/stat.h>
#include <unistd.h>

#include "platform/testing/HostObjects.h"

namespace Platform {

namespace {

uint64_t Inode(int Descriptor) {
  struct stat Status {};
  return fstat(Descriptor, &Status) == 0 ? static_cast<uint64_t>(Status.st_ino) : 0;
}

}  // namespace

void THostObjects::Release(const TObject& Object) { close(static_cast<int>(Object.Value)); }

bool THostObjects::Open(int Count) {
  for (int I = 0; I < Count; I += 2) {
    int Ends[2];
    if (pipe(Ends) != 0) return false;
    for (const int End : Ends) {
      Objects.push_back(TObject{static_cast<uintptr_t>(End), Inode(End), 0});
    }
  }
  return true;
}

int THostObjects::Broken() const {
  int Count = 0;
  for (const TObject& Object : Objects) {
    const uint64_t Now = Inode(static_cast<int>(Object.Value));
    Count += Now == 0 || Now != Object.Identity ? 1 : 0;
  }
  return Count;
}

}  // namespace Platform
