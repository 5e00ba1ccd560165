// Kernel objects a test host holds across a library's load-unload cycles:
// events, semaphores and thread-local-storage slots on Windows, pipes
// natively, each in a state only it has, so that one closed or freed behind
// the host's back (and its value given out again) is told from the host's own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace Platform {

class THostObjects {
public:
  THostObjects() = default;
  ~THostObjects() { CloseOldest(Objects.size()); }
  THostObjects(const THostObjects&) = delete;
  THostObjects& operator=(const THostObjects&) = delete;

  // Opens Count more, taking the lowest values the system has free (those a
  // library released last); false when the system refuses one.
  bool Open(int Count);
  // How many of those opened are no longer what was opened. Looking leaves
  // each object's state as it was.
  int Broken() const;
  // Closes (frees) the Count opened first, so a long run keeps a window.
  void CloseOldest(size_t Count) {
    Count = Count < Objects.size() ? Count : Objects.size();
    for (size_t I = 0; I < Count; ++I) Release(Objects[I]);
    Objects.erase(Objects.begin(), Objects.begin() + static_cast<std::ptrdiff_t>(Count));
  }
  size_t Size() const { return Objects.size(); }

private:
  struct TObject {
    uintptr_t Value;     // handle, slot or descriptor
    uint64_t Identity;   // what only this object shows
    int Kind;
  };
  static void Release(const TObject& Object);
  std::vector<TObject> Objects;
};

}  // namespace Platform
