// Thread-local-storage slots (pthread keys) and file descriptors of this
// process, counted natively.
#include <dirent.h>
#include <pthread.h>

#include <vector>

#include "platform/testing/ThreadSlots.h"

namespace Platform {

int32_t CountFreeThreadSlots() {
  std::vector<pthread_key_t> Taken;
  pthread_key_t Key;
  while (pthread_key_create(&Key, nullptr) == 0) Taken.push_back(Key);
  for (const pthread_key_t Each : Taken) pthread_key_delete(Each);
  return static_cast<int32_t>(Taken.size());
}

int32_t CountOpenHandles() {
  DIR* Folder = opendir("/proc/self/fd");
  if (Folder == nullptr) return -1;
  int32_t Open = 0;
  while (const dirent* Entry = readdir(Folder)) {
    if (Entry->d_name[0] != '.') ++Open;
  }
  closedir(Folder);
  return Open - 1;  // the listing's own descriptor
}

int32_t CountThreads() {
  DIR* Folder = opendir("/proc/self/task");
  if (Folder == nullptr) return -1;
  int32_t Threads = 0;
  while (const dirent* Entry = readdir(Folder)) {
    if (Entry->d_name[0] != '.') ++Threads;
  }
  closedir(Folder);
  return Threads;
}

}  // namespace Platform
