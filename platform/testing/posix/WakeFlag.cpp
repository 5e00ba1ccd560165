// The wake flag on a pthread mutex and condition variable.
#include <pthread.h>

#include "platform/testing/WakeFlag.h"

namespace Platform {

struct TWakeFlag::TImpl {
  pthread_mutex_t Lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t Changed = PTHREAD_COND_INITIALIZER;
  bool Woken = false;
  ~TImpl() {
    pthread_cond_destroy(&Changed);
    pthread_mutex_destroy(&Lock);
  }
};

TWakeFlag::TWakeFlag() : Impl(std::make_unique<TImpl>()) {}
TWakeFlag::~TWakeFlag() = default;

void TWakeFlag::Wait() {
  pthread_mutex_lock(&Impl->Lock);
  while (!Impl->Woken) pthread_cond_wait(&Impl->Changed, &Impl->Lock);
  Impl->Woken = false;
  pthread_mutex_unlock(&Impl->Lock);
}

void TWakeFlag::Wake() {
  pthread_mutex_lock(&Impl->Lock);
  Impl->Woken = true;
  pthread_cond_signal(&Impl->Changed);
  pthread_mutex_unlock(&Impl->Lock);
}

}  // namespace Platform
