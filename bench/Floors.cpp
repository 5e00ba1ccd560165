// The floor measurements, built from the same platform primitives the
// plug-in uses.
#include "bench/Floors.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

#include "platform/Files.h"
#include "platform/Sync.h"
#include "platform/Thread.h"

namespace Bench {

namespace {

using TClock = std::chrono::steady_clock;

// One queue shared by the producers; Lock guards Items, Ready counts them.
struct TQueue {
  Platform::TCriticalSection Lock;
  Platform::TSemaphore Ready{0, 1 << 30};
  std::deque<void*> Items;
  std::atomic<bool> Stop{false};
};

void Drain(void* Context) {
  TQueue& Queue = *static_cast<TQueue*>(Context);
  for (;;) {
    Queue.Ready.Wait(0xFFFFFFFFu);
    void* Item;
    {
      Platform::TLockGuard Guard(Queue.Lock);
      Item = Queue.Items.front();
      Queue.Items.pop_front();
    }
    if (Item == nullptr) return;  // the end mark
    std::free(Item);
  }
}

struct TProducer {
  TQueue* Queue = nullptr;
  int Calls = 0;
  std::vector<double> Ns;
};

void Produce(void* Context) {
  TProducer& P = *static_cast<TProducer*>(Context);
  char Source[128];
  std::memset(Source, 'x', sizeof Source);
  P.Ns.reserve(static_cast<size_t>(P.Calls));
  for (int I = 0; I < P.Calls; ++I) {
    const auto Start = TClock::now();
    void* Item = std::malloc(137);
    std::memcpy(Item, Source, sizeof Source);
    {
      Platform::TLockGuard Guard(P.Queue->Lock);
      P.Queue->Items.push_back(Item);
    }
    P.Queue->Ready.Release(1);
    P.Ns.push_back(std::chrono::duration<double, std::nano>(TClock::now() - Start).count());
  }
}

}  // namespace

std::vector<double> HandOffFloorNs(int Threads, int Calls) {
  TQueue Queue;
  Platform::TThread Consumer;
  Consumer.Create(&Drain, &Queue);
  Consumer.Start();
  std::vector<TProducer> Producers(static_cast<size_t>(Threads));
  std::vector<std::unique_ptr<Platform::TThread>> Workers;
  for (auto& P : Producers) {
    P.Queue = &Queue;
    P.Calls = Calls;
    Workers.push_back(std::make_unique<Platform::TThread>());
    Workers.back()->Create(&Produce, &P);
  }
  for (auto& W : Workers) W->Start();
  for (auto& W : Workers) W->WaitForEnd();
  {
    Platform::TLockGuard Guard(Queue.Lock);
    Queue.Items.push_back(nullptr);
  }
  Queue.Ready.Release(1);
  Consumer.WaitForEnd();
  std::vector<double> All;
  for (auto& P : Producers) All.insert(All.end(), P.Ns.begin(), P.Ns.end());
  return All;
}

double AppendFloorPerSecond(const std::string& Folder, int RoundTrips, size_t LineBytes) {
  const std::string Path = Folder + "floor.log";
  const std::string Line(LineBytes, 'x');
  const auto Start = TClock::now();
  for (int I = 0; I < RoundTrips * 3; ++I) {
    const Platform::TFile File = Platform::OpenForAppend(Path);
    Platform::SeekToEnd(File);
    Platform::WriteToFile(File, Line.data(), static_cast<uint32_t>(Line.size()));
    Platform::CloseFile(File);
  }
  const double Seconds = std::chrono::duration<double>(TClock::now() - Start).count();
  std::remove(Platform::ToNativePath(Path).c_str());
  return RoundTrips / Seconds;
}

}  // namespace Bench
