// The shared test harness (tests/support: the plug-in loader, the required
// entry lookup) keeps the promises the suites, the benchmarks and the fuzz
// targets build on: a copy replaces what an interrupted run left and takes
// its files along when it goes; a library that is not a plug-in is refused,
// named and let go.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <string>

#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/testing/LibraryProbe.h"
#include "standins/transport-double/DoubleControl.h"
#include "tests/support/PluginLibrary.h"
#include "tests/support/RequiredEntry.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;

namespace {

// The message of what Action throws; empty when it throws nothing.
template <typename TAction>
std::string Thrown(TAction Action) {
  try {
    Action();
  } catch (const std::runtime_error& Error) {
    return Error.what();
  }
  return std::string();
}

}  // namespace

TEST(TestHarness, PluginCopyReplacesALeftoverAndTakesItsFilesAlong) {
  TScratchDir Scratch;
  const std::string Source = BuiltPluginPath({BinaryDir()});
  const std::string Name = "Velmora_harness_" + std::to_string(std::random_device()()) +
                           Source.substr(Source.rfind('.'));
  const std::string Path = Scratch.Path() + Name;
  WriteFileBytes(Path, "left by an interrupted run");
  // The plug-in's log files lie below the Logs folder beside the host
  // program; a file of another copy in the same folder stays.
  const std::string LogDir = BinaryDir() + "Logs\\harness_test\\";
  const std::string OwnLog = LogDir + "2026_12_08_10_" + Name + ".log";
  const std::string OtherLog = LogDir + "2026_12_08_10_Velmora_other.dll.log";
  {
    const TPluginCopy Copy(Source, Path, "[Server]\r\nFSServerPort=1\r\n");
    EXPECT_EQ(Copy.Path(), Path);
    EXPECT_EQ(Copy.FileName(), Name);
    EXPECT_EQ(ReadFileBytes(Path), ReadFileBytes(Source));
    EXPECT_EQ(ReadFileBytes(Copy.SettingsPath()), "[Server]\r\nFSServerPort=1\r\n");
    EXPECT_EQ(Platform::DirectoryPart(Copy.SettingsPath()), Scratch.Path());
    Platform::CreateOneDirectory(BinaryDir() + "Logs");
    Platform::CreateOneDirectory(LogDir);
    WriteFileBytes(OwnLog, "line\r\n");
    WriteFileBytes(OtherLog, "line\r\n");
  }
  for (const std::string& Gone : {Path, Scratch.Path() + Name.substr(0, Name.rfind('.')) + ".ini",
                                  OwnLog}) {
    EXPECT_FALSE(FileExists(Gone)) << Gone;
  }
  EXPECT_TRUE(FileExists(OtherLog));
  RemoveTree(LogDir);
}

TEST(TestHarness, LibraryThatIsNoPluginIsRefusedNamedAndLetGo) {
  // The transport double lacks every entry point of a plug-in.
  struct TCase {
    const char* Library;
    std::string Message;
  } const Cases[] = {
      {"cl_vexo_transport.dll", "plug-in lacks Init_Plugin"},
      {"VelmoraNoSuchLibrary.dll", "cannot load VelmoraNoSuchLibrary.dll"},
  };
  for (const TCase& Case : Cases) {
    EXPECT_EQ(Thrown([&] { TPluginLibrary Plugin(Case.Library); }), Case.Message) << Case.Library;
    EXPECT_FALSE(Platform::IsLibraryLoaded(Case.Library)) << Case.Library;
  }
}

TEST(TestHarness, RequiredEntryIsTypedOrNamesWhatIsMissing) {
  const Platform::TLibrary Double = Platform::LoadLibraryByName("cl_vexo_transport.dll");
  ASSERT_NE(Double, nullptr);
  struct TCase {
    Platform::TLibrary Library;
    const char* Entry;
    std::string Message;  // empty: found
  } const Cases[] = {
      {Double, "Double_CallCount", ""},
      {Double, "Double_NoSuchEntry", "transport double lacks Double_NoSuchEntry"},
      {nullptr, "Double_CallCount", "transport double lacks Double_CallCount"},
  };
  for (const TCase& Case : Cases) {
    TDouble_CallCount Entry = nullptr;
    EXPECT_EQ(Thrown([&] {
                Entry = RequiredEntry<TDouble_CallCount>(Case.Library, Case.Entry,
                                                         "transport double");
              }),
              Case.Message)
        << Case.Entry;
    if (Case.Message.empty()) {
      ASSERT_NE(Entry, nullptr);
      EXPECT_EQ(Entry("SendToServer"), 0);  // called with its own type
    }
  }
  Platform::UnloadLibrary(Double);
}
