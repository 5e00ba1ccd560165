// The platform interface as every backend must provide it: the same cases run
// natively against the posix emulation and under Wine against Win32.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Sync.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"
#include "platform/testing/WakeFlag.h"
#include "tests/support/DataTable.h"
#include "tests/support/TestSupport.h"

using namespace Platform;
using TestSupport::ReadFileBytes;
using TestSupport::TScratchDir;
using TestSupport::WriteFileBytes;

namespace {

constexpr const char* TestLibrary = "PlatformTestLib.dll";

bool StartsWith(const std::string& Text, const std::string& Head) {
  return Text.compare(0, Head.size(), Head) == 0;
}

// Runs Body(Context) on a platform thread to its end.
void RunOnThread(TThread::TBody Body, void* Context) {
  TThread Thread;
  ASSERT_TRUE(Thread.Create(Body, Context));
  ASSERT_TRUE(Thread.Start());
  ASSERT_TRUE(Thread.WaitForEnd());
}

}  // namespace

// ------------------------------------------------------------------ libraries

TEST(PlatformLibraries, MissingLibraryGivesNullAndModNotFound) {
  SetLastError(0);
  EXPECT_EQ(LoadLibraryByName("VelmoraNoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(LastError(), ErrorModNotFound);
  EXPECT_EQ(LoadLibraryFallback("VelmoraNoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(LoadLibraryByName(TestSupport::BinaryDir() + "VelmoraNoSuchLibrary.dll"), nullptr);
  EXPECT_EQ(GetLibraryProc(nullptr, "PlatformTestAnswer"), nullptr);
}

TEST(PlatformLibraries, SystemLibraryLoadsAndMissingEntryGivesNull) {
  TLibrary Library = LoadLibraryByName(VELMORA_TEST_SYSTEM_LIBRARY);
  ASSERT_NE(Library, nullptr);
  SetLastError(0);
  EXPECT_EQ(GetLibraryProc(Library, "VelmoraNoSuchEntry"), nullptr);
  EXPECT_EQ(LastError(), ErrorProcNotFound);
  UnloadLibrary(Library);
}

TEST(PlatformLibraries, BareNameIsFoundBesideTheProgram) {
  // Searched in the program's directory, whatever the current directory is.
  TLibrary Library = LoadLibraryByName(TestLibrary);
  ASSERT_NE(Library, nullptr) << LastError();
  using TAnswer = int (*)(int);
  auto Answer = LibraryEntryPoint<TAnswer>(Library, "PlatformTestAnswer");
  ASSERT_NE(Answer, nullptr);
  EXPECT_EQ(Answer(41), 42);
  UnloadLibrary(Library);
}

// The typed lookup's contract, the same for every entry type: a found entry
// arrives with its own type and works; a missing entry and a missing library
// give null, each with its own reason in LastError.
TEST(PlatformLibraries, TypedEntryPointIsFoundOrNullWithTheReason) {
  using TAnswer = int (*)(int);
  TLibrary Library = LoadLibraryByName(TestLibrary);
  ASSERT_NE(Library, nullptr) << LastError();
  struct TCase {
    const char* What;
    TLibrary From;
    const char* Name;
    bool Found;
    uint32_t Error;  // LastError after a miss
  };
  const TCase Cases[] = {
      {"entry found", Library, "PlatformTestAnswer", true, 0},
      {"entry missing", Library, "VelmoraNoSuchEntry", false, ErrorProcNotFound},
      {"name differs in case", Library, "platformtestanswer", false, ErrorProcNotFound},
      {"no library", nullptr, "PlatformTestAnswer", false, 6},  // ERROR_INVALID_HANDLE
  };
  for (const TCase& Case : Cases) {
    SetLastError(0);
    const TAnswer Answer = LibraryEntryPoint<TAnswer>(Case.From, Case.Name);
    EXPECT_EQ(Answer != nullptr, Case.Found) << Case.What;
    if (Answer != nullptr) {
      EXPECT_EQ(Answer(1), 2) << Case.What;
    } else {
      EXPECT_EQ(LastError(), Case.Error) << Case.What;
    }
  }
  UnloadLibrary(Library);
}

TEST(PlatformLibraries, NameWithoutExtensionAndFullPathLoadTheSameLibrary) {
  TLibrary ByBareName = LoadLibraryByName(TestLibrary);
  TLibrary NoExtension = LoadLibraryByName("PlatformTestLib");
  TLibrary ByPath = LoadLibraryByName(TestSupport::BinaryDir() + TestLibrary);
  TLibrary ByFallback = LoadLibraryFallback(TestLibrary);
  ASSERT_NE(ByBareName, nullptr);
  EXPECT_EQ(NoExtension, ByBareName);
  EXPECT_EQ(ByPath, ByBareName);
  EXPECT_EQ(ByFallback, ByBareName);
  for (TLibrary Library : {ByBareName, NoExtension, ByPath, ByFallback}) UnloadLibrary(Library);
}

// ------------------------------------------------------------- module names

TEST(PlatformModuleNames, HostExeIsTheTestProgram) {
  const std::string Exe = HostExePath();
  EXPECT_FALSE(DirectoryPart(Exe).empty());
  const std::string Name = FileNamePart(Exe);
  EXPECT_TRUE(SameTextNoCase(Name.substr(0, 13), "platform_test")) << Exe;
  EXPECT_TRUE(Name.size() == 13 || SameTextNoCase(Name.substr(13), ".exe")) << Exe;
  EXPECT_EQ(Exe.find('/'), std::string::npos) << "Windows form expected: " << Exe;
}

TEST(PlatformModuleNames, OwnModuleOfTheProgramIsTheProgram) {
  EXPECT_FALSE(OwnModulePath().empty());
  EXPECT_EQ(OwnModulePath(), HostExePath());
}

TEST(PlatformModuleNames, OwnModuleInsideALibraryIsTheLibrary) {
  TLibrary Library = LoadLibraryByName(TestLibrary);
  ASSERT_NE(Library, nullptr);
  using TModulePath = unsigned (*)(char*, unsigned);
  auto ModulePath = LibraryEntryPoint<TModulePath>(Library, "PlatformTestModulePath");
  ASSERT_NE(ModulePath, nullptr);
  char Buffer[1024];
  const std::string Path(Buffer, ModulePath(Buffer, sizeof Buffer));
  EXPECT_TRUE(StartsWith(FileNamePart(Path), "PlatformTestLib.")) << Path;
  EXPECT_TRUE(SameTextNoCase(DirectoryPart(Path), TestSupport::BinaryDir())) << Path;
  UnloadLibrary(Library);
}

TEST(PlatformModuleNames, SmallBufferTruncatesLikeTheSystem) {
  const std::string Full = HostExePath();
  const std::string Short = HostExePath(5);
  EXPECT_EQ(Short, Full.substr(0, 4));
  EXPECT_EQ(OwnModulePath(5), Full.substr(0, 4));
}

// --------------------------------------------------------------- path parts

TEST(PlatformPaths, DirectoryAndFileParts) {
  for (const TestSupport::TDataRow& Row : DataTable("platform/path_parts.txt")) {
    EXPECT_EQ(DirectoryPart(Row.Text(0)), Row.Text(1)) << Row.Where();
    EXPECT_EQ(FileNamePart(Row.Text(0)), Row.Text(2)) << Row.Where();
  }
}

TEST(PlatformPaths, NativeFormRoundTrips) {
  for (const std::string Path : {"C:\\Host\\Logs\\x.log", "\\tmp\\a b\\c", "relative\\name.ini"}) {
    EXPECT_EQ(FromNativePath(ToNativePath(Path)), Path);
  }
}

// ------------------------------------------------------------- append files

class PlatformFiles : public ::testing::Test {
protected:
  TScratchDir Dir;
  std::string Log = Dir.Path() + "10.log";

  void Append(const std::string& Bytes) {
    const TFile File = OpenForAppend(Log);
    ASSERT_NE(File, InvalidFile) << LastError();
    ASSERT_TRUE(SeekToEnd(File));
    ASSERT_TRUE(WriteToFile(File, Bytes.data(), static_cast<uint32_t>(Bytes.size())));
    CloseFile(File);
  }
};

TEST_F(PlatformFiles, AppendCreatesAndNeverTruncates) {
  Append("first\r\n");
  EXPECT_EQ(ReadFileBytes(Log), "first\r\n");
  Append("second\r\n");
  EXPECT_EQ(ReadFileBytes(Log), "first\r\nsecond\r\n");
  const TFile File = OpenForAppend(Log);  // opened and closed without writing
  ASSERT_NE(File, InvalidFile);
  CloseFile(File);
  EXPECT_EQ(ReadFileBytes(Log), "first\r\nsecond\r\n");
}

TEST_F(PlatformFiles, SecondWriterIsRefusedWhileReadersMayRead) {
  Append("kept\r\n");
  const TFile Writer = OpenForAppend(Log);
  ASSERT_NE(Writer, InvalidFile);
  SetLastError(0);
  EXPECT_EQ(OpenForAppend(Log), InvalidFile);
  EXPECT_EQ(LastError(), ErrorSharingViolation);
  EXPECT_EQ(ReadFileBytes(Log), "kept\r\n");
  ASSERT_TRUE(SeekToEnd(Writer));
  ASSERT_TRUE(WriteToFile(Writer, "more", 4));
  CloseFile(Writer);
  // The closed handle frees the file for the next writer.
  Append("\r\n");
  EXPECT_EQ(ReadFileBytes(Log), "kept\r\nmore\r\n");
}

TEST_F(PlatformFiles, SecondWriterOnAnotherThreadIsRefusedToo) {
  const TFile Writer = OpenForAppend(Log);
  ASSERT_NE(Writer, InvalidFile);
  struct TProbe {
    std::string Path;
    TFile File = 0;
    uint32_t Error = 0;
  } Probe{Log};
  RunOnThread(
      [](void* Context) {
        auto& P = *static_cast<TProbe*>(Context);
        P.File = OpenForAppend(P.Path);
        P.Error = LastError();
      },
      &Probe);
  EXPECT_EQ(Probe.File, InvalidFile);
  EXPECT_EQ(Probe.Error, ErrorSharingViolation);
  CloseFile(Writer);
}

TEST_F(PlatformFiles, OpenInMissingDirectoryFails) {
  SetLastError(0);
  EXPECT_EQ(OpenForAppend(Dir.Path() + "missing\\10.log"), InvalidFile);
  EXPECT_EQ(LastError(), ErrorPathNotFound);
}

TEST_F(PlatformFiles, DirectoriesAreCreatedOneLevelAtATime) {
  const std::string Day = Dir.Path() + "Logs";
  EXPECT_TRUE(DirectoryExists(Dir.Path()));
  EXPECT_FALSE(DirectoryExists(Day));
  ASSERT_TRUE(CreateOneDirectory(Day));
  EXPECT_TRUE(DirectoryExists(Day));
  EXPECT_TRUE(DirectoryExists(Day + "\\"));
  SetLastError(0);
  EXPECT_FALSE(CreateOneDirectory(Day));
  EXPECT_EQ(LastError(), ErrorAlreadyExists);
  SetLastError(0);
  EXPECT_FALSE(CreateOneDirectory(Day + "\\a\\b"));
  EXPECT_EQ(LastError(), ErrorPathNotFound);
  Append("x");
  EXPECT_FALSE(DirectoryExists(Log));  // a file is not a directory
}

// ----------------------------------------------------------- kernel objects

TEST(PlatformCriticalSection, IsReentrantAndExcludesOtherThreads) {
  struct TShared {
    TCriticalSection Lock;
    std::atomic<bool> Entered{false};
  } Shared;
  Shared.Lock.Enter();
  Shared.Lock.Enter();
  TThread Other;
  ASSERT_TRUE(Other.Create(
      [](void* Context) {
        auto& S = *static_cast<TShared*>(Context);
        TLockGuard Guard(S.Lock);
        S.Entered = true;
      },
      &Shared));
  ASSERT_TRUE(Other.Start());
  SleepMs(50);
  Shared.Lock.Leave();
  SleepMs(50);
  EXPECT_FALSE(Shared.Entered);  // still held once by this thread
  Shared.Lock.Leave();
  ASSERT_TRUE(Other.WaitForEnd());
  EXPECT_TRUE(Shared.Entered);
}

TEST(PlatformCriticalSection, CountsExactlyUnderContention) {
  struct TShared {
    TCriticalSection Lock;
    int Counter = 0;  // guarded by Lock
  } Shared;
  auto Body = [](void* Context) {
    auto& S = *static_cast<TShared*>(Context);
    for (int I = 0; I < 5000; ++I) {
      TLockGuard Guard(S.Lock);
      ++S.Counter;
    }
  };
  TThread Threads[3];
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.Create(Body, &Shared));
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.Start());
  for (TThread& Thread : Threads) ASSERT_TRUE(Thread.WaitForEnd());
  EXPECT_EQ(Shared.Counter, 15000);
}

TEST(PlatformSemaphore, CountsAndRefusesPastMaximum) {
  TSemaphore Semaphore(2, 3);
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Timeout);
  EXPECT_TRUE(Semaphore.Release());
  EXPECT_FALSE(Semaphore.Release(3));  // 1 + 3 > 3: refused, count unchanged
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Timeout);
  EXPECT_TRUE(Semaphore.Release(3));
  EXPECT_FALSE(Semaphore.Release());
  for (int I = 0; I < 3; ++I) EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Timeout);
}

TEST(PlatformSemaphore, LargestMaximumIsAccepted) {
  TSemaphore Semaphore(0, 0x7FFFFFFF);
  EXPECT_TRUE(Semaphore.Release(0x7FFFFFFF));
  EXPECT_FALSE(Semaphore.Release(1));
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Signaled);
  EXPECT_TRUE(Semaphore.Release(1));
}

TEST(PlatformSemaphore, InvalidCountsThrow) {
  EXPECT_THROW(TSemaphore(2, 1), std::runtime_error);
  EXPECT_THROW(TSemaphore(0, 0), std::runtime_error);
  EXPECT_THROW(TSemaphore(-1, 5), std::runtime_error);
}

TEST(PlatformSemaphore, TimeoutIsHonoured) {
  TSemaphore Semaphore(0, 1);
  const uint64_t Before = TickCountMs();
  EXPECT_EQ(Semaphore.Wait(150), TWaitResult::Timeout);
  const uint64_t Waited = TickCountMs() - Before;
  EXPECT_GE(Waited, 120u);  // the system may end a wait up to one timer tick early
  EXPECT_LT(Waited, 5000u);
}

TEST(PlatformSemaphore, ReleaseOnAnotherThreadWakesAnEndlessWait) {
  TSemaphore Semaphore(0, 10);
  TThread Releaser;
  ASSERT_TRUE(Releaser.Create(
      [](void* Context) {
        SleepMs(50);
        static_cast<TSemaphore*>(Context)->Release(2);
      },
      &Semaphore));
  ASSERT_TRUE(Releaser.Start());
  EXPECT_EQ(Semaphore.Wait(Infinite), TWaitResult::Signaled);
  EXPECT_EQ(Semaphore.Wait(Infinite), TWaitResult::Signaled);
  EXPECT_TRUE(Releaser.WaitForEnd());
  EXPECT_EQ(Semaphore.Wait(0), TWaitResult::Timeout);
}

// A lost wake hangs the test (the suite's time-out ends it); a wake that
// touched the flag after its waiter freed it shows under the sanitizers.
TEST(PlatformWakeFlag, KeepsAnEarlyWakeLosesNoneAndMayBeFreedByItsWaiter) {
  TWakeFlag Early;
  Early.Wake();
  Early.Wake();
  Early.Wait();  // the wake was kept

  struct TPair {
    TWakeFlag Ping, Pong;
    int Rounds = 20000;
  } Pair;
  TThread Echo;
  ASSERT_TRUE(Echo.Create(
      [](void* Context) {
        auto& P = *static_cast<TPair*>(Context);
        for (int I = 0; I < P.Rounds; ++I) {
          P.Ping.Wait();
          P.Pong.Wake();
        }
      },
      &Pair));
  ASSERT_TRUE(Echo.Start());
  for (int I = 0; I < Pair.Rounds; ++I) {
    Pair.Ping.Wake();
    Pair.Pong.Wait();
  }
  EXPECT_TRUE(Echo.WaitForEnd());

  for (int I = 0; I < 200; ++I) {
    auto* Flag = new TWakeFlag;
    TThread Waker;
    ASSERT_TRUE(Waker.Create([](void* Context) { static_cast<TWakeFlag*>(Context)->Wake(); }, Flag));
    ASSERT_TRUE(Waker.Start());
    Flag->Wait();
    delete Flag;
    EXPECT_TRUE(Waker.WaitForEnd());
  }
}

TEST(PlatformEvent, ManualResetStaysSetUntilReset) {
  TEvent Event;
  EXPECT_FALSE(Event.IsSet());
  EXPECT_EQ(Event.Wait(0), TWaitResult::Timeout);
  Event.Set();
  EXPECT_TRUE(Event.IsSet());
  EXPECT_EQ(Event.Wait(0), TWaitResult::Signaled);
  EXPECT_EQ(Event.Wait(Infinite), TWaitResult::Signaled);
  EXPECT_TRUE(Event.IsSet());
  Event.Set();
  Event.Reset();
  EXPECT_FALSE(Event.IsSet());
  const uint64_t Before = TickCountMs();
  EXPECT_EQ(Event.Wait(100), TWaitResult::Timeout);
  EXPECT_GE(TickCountMs() - Before, 70u);
}

TEST(PlatformEvent, WaitForEitherPrefersFirst) {
  TEvent First;
  TEvent Second;
  EXPECT_EQ(WaitForEither(First, Second, 0), TWhichEvent::Timeout);
  Second.Set();
  EXPECT_EQ(WaitForEither(First, Second, 0), TWhichEvent::Second);
  EXPECT_EQ(WaitForEither(First, Second, Infinite), TWhichEvent::Second);
  First.Set();
  EXPECT_EQ(WaitForEither(First, Second, 0), TWhichEvent::First);
  EXPECT_EQ(WaitForEither(First, Second, 1000), TWhichEvent::First);
  Second.Reset();
  EXPECT_EQ(WaitForEither(First, Second, 0), TWhichEvent::First);
  First.Reset();
  const uint64_t Before = TickCountMs();
  EXPECT_EQ(WaitForEither(First, Second, 120), TWhichEvent::Timeout);
  const uint64_t Waited = TickCountMs() - Before;
  EXPECT_GE(Waited, 90u);
  EXPECT_LT(Waited, 5000u);
}

TEST(PlatformEvent, SetOnAnotherThreadWakesTheWaiters) {
  struct TShared {
    TEvent Connected;
    TEvent Deactivated;
    TEvent Unrelated;
  } Shared;
  TThread Setter;
  ASSERT_TRUE(Setter.Create(
      [](void* Context) {
        auto& S = *static_cast<TShared*>(Context);
        SleepMs(30);
        S.Unrelated.Set();  // wakes nobody's condition
        SleepMs(30);
        S.Deactivated.Set();
      },
      &Shared));
  ASSERT_TRUE(Setter.Start());
  EXPECT_EQ(WaitForEither(Shared.Connected, Shared.Deactivated, 10000), TWhichEvent::Second);
  EXPECT_EQ(Shared.Deactivated.Wait(Infinite), TWaitResult::Signaled);
  EXPECT_TRUE(Setter.WaitForEnd());
  EXPECT_FALSE(Shared.Connected.IsSet());
}

// --------------------------------------------------------------------- threads

namespace {
struct TRunRecord {
  std::atomic<bool> Ran{false};
  std::atomic<uint32_t> ThreadId{0};
};
void RecordRun(void* Context) {
  auto& Record = *static_cast<TRunRecord*>(Context);
  Record.ThreadId = CurrentThreadId();
  Record.Ran = true;
}
}  // namespace

TEST(PlatformThread, CreatedSuspendedRunsOnlyAfterStart) {
  TRunRecord Record;
  TThread Thread;
  ASSERT_TRUE(Thread.Create(&RecordRun, &Record));
  EXPECT_NE(Thread.Id(), 0u);
  SleepMs(100);
  EXPECT_FALSE(Record.Ran);
  ASSERT_TRUE(Thread.Start());
  ASSERT_TRUE(Thread.WaitForEnd());
  EXPECT_TRUE(Record.Ran);
  EXPECT_EQ(Record.ThreadId, Thread.Id());
  EXPECT_NE(Thread.Id(), CurrentThreadId());
  EXPECT_TRUE(Thread.WaitForEnd());  // an ended thread is waited for at once
}

TEST(PlatformThread, NeverStartedThreadIsDestroyedWithoutRunning) {
  TRunRecord Record;
  {
    TThread Thread;
    ASSERT_TRUE(Thread.Create(&RecordRun, &Record));
  }
  SleepMs(50);
  EXPECT_FALSE(Record.Ran);
}

TEST(PlatformThread, ThreadIdsDiffer) {
  TRunRecord A;
  TRunRecord B;
  RunOnThread(&RecordRun, &A);
  RunOnThread(&RecordRun, &B);
  EXPECT_NE(A.ThreadId, 0u);
  EXPECT_NE(A.ThreadId, CurrentThreadId());
  EXPECT_EQ(CurrentThreadId(), CurrentThreadId());
}

TEST(PlatformThread, TickCountAdvancesWithSleep) {
  const uint64_t Before = TickCountMs();
  SleepMs(60);
  const uint64_t Slept = TickCountMs() - Before;
  EXPECT_GE(Slept, 45u);
  EXPECT_LT(Slept, 5000u);
}

// ------------------------------------------------------------------------ time

TEST(PlatformTime, LocalNowIsPlausible) {
  const TDateTime Now = LocalNow();
  EXPECT_GE(Now.Year, 2020);
  EXPECT_LE(Now.Year, 2200);
  EXPECT_TRUE(Now.Month >= 1 && Now.Month <= 12);
  EXPECT_TRUE(Now.Day >= 1 && Now.Day <= 31);
  EXPECT_LE(Now.Hour, 23);
  EXPECT_LE(Now.Minute, 59);
  EXPECT_LE(Now.Second, 59);
  EXPECT_LE(Now.Millisecond, 999);
  EXPECT_FALSE(TimeSeparator().empty());
}

// ---------------------------------------------------------------------- errors

TEST(PlatformErrors, LastErrorBelongsToEachThread) {
  SetLastError(1234);
  struct TProbe {
    uint32_t Before = 0;
    uint32_t After = 0;
  } Probe;
  RunOnThread(
      [](void* Context) {
        auto& P = *static_cast<TProbe*>(Context);
        SetLastError(42);
        P.After = LastError();
      },
      &Probe);
  EXPECT_EQ(Probe.After, 42u);
  EXPECT_EQ(LastError(), 1234u);
}

// One slot per thread for the whole process: a code set inside one loaded
// library is what the program and another library read on that thread (a
// failed call in the transport library reported by the plug-in), and other
// threads keep theirs.
TEST(PlatformErrors, LastErrorIsSharedByEveryModuleOfTheThread) {
  struct TModule {
    TLibrary Library = nullptr;
    uint32_t (*Get)() = nullptr;
    void (*Set)(uint32_t) = nullptr;
  };
  TModule Modules[2];
  const char* const Names[2] = {TestLibrary, "PlatformTestLibB.dll"};
  for (int I = 0; I < 2; ++I) {
    Modules[I].Library = LoadLibraryByName(Names[I]);
    ASSERT_NE(Modules[I].Library, nullptr) << Names[I] << ": " << LastError();
    Modules[I].Get = LibraryEntryPoint<uint32_t (*)()>(Modules[I].Library, "PlatformTestLastError");
    Modules[I].Set =
        LibraryEntryPoint<void (*)(uint32_t)>(Modules[I].Library, "PlatformTestSetLastError");
    ASSERT_TRUE(Modules[I].Get != nullptr && Modules[I].Set != nullptr) << Names[I];
  }
  TModule& A = Modules[0];
  TModule& B = Modules[1];
  SetLastError(ErrorAccessDenied);  // set by the program
  EXPECT_EQ(A.Get(), ErrorAccessDenied);
  EXPECT_EQ(B.Get(), ErrorAccessDenied);
  A.Set(10054);  // set inside one library
  EXPECT_EQ(B.Get(), 10054u);
  EXPECT_EQ(LastError(), 10054u);
  B.Set(0);
  EXPECT_EQ(A.Get(), 0u);
  EXPECT_EQ(LastError(), 0u);
  // Another thread: its own slot, the same in every module.
  struct TProbe {
    TModule* A;
    TModule* B;
    uint32_t Seen = 1;
    uint32_t Read = 0;
  } Probe{&A, &B};
  A.Set(ErrorSharingViolation);
  RunOnThread(
      [](void* Context) {
        auto& P = *static_cast<TProbe*>(Context);
        P.Seen = P.B->Get();
        P.A->Set(ErrorAlreadyExists);
        P.Read = LastError();
      },
      &Probe);
  EXPECT_EQ(Probe.Seen, 0u);
  EXPECT_EQ(Probe.Read, ErrorAlreadyExists);
  EXPECT_EQ(B.Get(), ErrorSharingViolation);
  for (TModule& Module : Modules) UnloadLibrary(Module.Library);
}

TEST(PlatformErrors, SystemTexts) {
  // The system's wording depends on its language (and differs under Wine);
  // the form does not: a sentence ending in a line break.
  for (uint32_t Code : {ErrorFileNotFound, ErrorAccessDenied, ErrorSharingViolation, ErrorModNotFound}) {
    const std::string Text = SystemErrorText(Code);
    EXPECT_GT(Text.size(), 2u) << Code;
    EXPECT_LE(Text.size(), 256u) << Code;
    EXPECT_EQ(Text.substr(Text.size() - 2), "\r\n") << Code;
  }
  EXPECT_EQ(SystemErrorText(123456789), "Error 123456789");
  SetLastError(ErrorSharingViolation);
  SystemErrorText(ErrorAccessDenied);
  EXPECT_EQ(LastError(), ErrorSharingViolation);  // reading a text keeps the error
#ifdef VELMORA_TEST_ENGLISH_SYSTEM_TEXTS
  EXPECT_EQ(SystemErrorText(ErrorAccessDenied), "Access is denied.\r\n");
  EXPECT_EQ(SystemErrorText(10061),
            "No connection could be made because the target machine actively refused it.\r\n");
#endif
}

// Every system text a log line shows is trimmed by one rule: at most 256
// characters, then no trailing blank, control character or dot.
TEST(PlatformErrors, SystemTextsAreTrimmedForLogLines) {
  const std::string Long(300, 'x');
  const struct {
    std::string Text;
    std::string Trimmed;
  } Cases[] = {
      {"Access is denied.\r\n", "Access is denied"},
      {"", ""},
      {"Error 5", "Error 5"},
      {"...\r\n \t", ""},
      {"  Leading blanks and inner dots (v1.2) stay.", "  Leading blanks and inner dots (v1.2) stay"},
      {std::string("Trailing controls\x7F\x01\0", 20), "Trailing controls"},
      // Code page 1251 letters are above 127 and stay: "Отказано в доступе."
      {"\xCE\xF2\xEA\xE0\xE7\xE0\xED\xEE \xE2 \xE4\xEE\xF1\xF2\xF3\xEF\xE5.\r\n",
       "\xCE\xF2\xEA\xE0\xE7\xE0\xED\xEE \xE2 \xE4\xEE\xF1\xF2\xF3\xEF\xE5"},
      {Long, Long.substr(0, 256)},
      // Cut first, then trimmed: the dot that ends up last goes too.
      {std::string(255, 'y') + ".z", std::string(255, 'y')},
  };
  for (const auto& Case : Cases) EXPECT_EQ(TrimSystemText(Case.Text), Case.Trimmed) << Case.Text;
  for (uint32_t Code : {ErrorFileNotFound, ErrorAccessDenied, ErrorSharingViolation, 123456789u}) {
    EXPECT_EQ(TrimmedSystemText(Code), TrimSystemText(SystemErrorText(Code))) << Code;
  }
  EXPECT_EQ(TrimmedSystemText(123456789), "Error 123456789");
}

// ------------------------------------------------------------------------ text

TEST(PlatformText, SameTextNoCaseOnAscii) {
  EXPECT_TRUE(SameTextNoCase("FSServerAddr", "fsserveraddr"));
  EXPECT_TRUE(SameTextNoCase("", ""));
  EXPECT_FALSE(SameTextNoCase("abc", "abcd"));
  EXPECT_FALSE(SameTextNoCase("abc", "abd"));
  EXPECT_FALSE(SameTextNoCase("@[\\]^", "`{|}~"));  // neighbours of the letters do not fold
  EXPECT_TRUE(SameTextNoCase(std::string("a\0b", 3), std::string("A\0B", 3)));
  EXPECT_FALSE(SameTextNoCase(std::string("a\0b", 3), std::string("A\0C", 3)));
  for (char C = 'A'; C <= 'Z'; ++C) {
    EXPECT_TRUE(SameTextNoCase(std::string(1, C), std::string(1, static_cast<char>(C + 32)))) << C;
  }
}

TEST(PlatformText, SameTextNoCaseFoldsCyrillic1251) {
  // "Команда" and "КОМАНДА".
  EXPECT_TRUE(SameTextNoCase("\xCA\xEE\xEC\xE0\xED\xE4\xE0", "\xCA\xCE\xCC\xC0\xCD\xC4\xC0"));
  EXPECT_FALSE(SameTextNoCase("\xC5", "\xA8"));  // Е is not Ё
  EXPECT_FALSE(SameTextNoCase("\xC0", "A"));     // Cyrillic А is not Latin A
  for (int C = 0xC0; C <= 0xDF; ++C) {
    EXPECT_TRUE(SameTextNoCase(std::string(1, static_cast<char>(C)), std::string(1, static_cast<char>(C + 32))))
        << C;
  }
  const int Pairs[][2] = {{0xA8, 0xB8}, {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C},
                          {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC},
                          {0xA5, 0xB4}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE}};
  for (const auto& Pair : Pairs) {
    EXPECT_TRUE(SameTextNoCase(std::string(1, static_cast<char>(Pair[0])),
                               std::string(1, static_cast<char>(Pair[1]))))
        << Pair[0];
  }
}
