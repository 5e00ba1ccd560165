// The log-server writer with the log-client stand-in named by its full path:
// what reaches the client, which lines reach the file, and a client that
// lacks an entry.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "log/ProcessNames.h"
#include "log/ProcessLog.h"
#include "log/UniLog.h"
#include "platform/Files.h"
#include "platform/ForeignCall.h"
#include "platform/TimeText.h"
#include "platform/testing/LibraryProbe.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/TestSupport.h"

using namespace LogTestSupport;
using TestSupport::FileExists;
using TestSupport::ReadFileBytes;
using TestSupport::TScratchDir;

namespace {

std::string Client() { return StandInLogClient(TestSupport::BinaryDir(), "logclient"); }
std::string ClientWithoutFinalize() {
  return StandInLogClient(TestSupport::BinaryDir(), "logclient-nofinalize");
}

// A log under Dir with the process log's pattern and its own record file.
struct TClientLog {
  explicit TClientLog(const std::string& Answer, const std::string& Library = Client())
      : Record(Dir.Path() + "record.txt"),
        LogFile(std::make_unique<tUniLog>(ProcessLogPattern(Dir.Path(), "Velmora.dll"),
                                          Answer + ";record=" + Record, Library)) {}
  TScratchDir Dir;
  std::string Record;
  std::unique_ptr<tUniLog> LogFile;
};

// The kinds of the calls the client recorded, in order ("IMF").
std::string KindsOf(const std::string& Record) {
  std::string Kinds;
  for (const TRecordedCall& Call : ReadRecord(Record)) Kinds += Call.Kind;
  return Kinds;
}

// The stand-in's answers carry set bits above the low byte ("take" is
// 0xABCD0001, "decline" 0xABCD0100): only the low byte may count.
TEST(UniLog, TakenLinesReachTheClientAndNoFileOrDirectory) {
  SetProcessNames("Host.exe", "Velmora.dll");
  TClientLog L("take");
  ASSERT_TRUE(L.LogFile->ClientLoaded());
  EXPECT_TRUE(L.LogFile->LastServerResult());
  const std::vector<TestSupport::TDataRow> Rows = DataTable("log_client/offered.txt");
  const int64_t Before = Platform::MillisecondsSince1899(Platform::LocalNow());
  for (const TestSupport::TDataRow& Row : Rows) {
    const std::string Entry = Row.Text(0), Tag = Row.Text(1), Text = Row.Text(2);
    ASSERT_TRUE(Entry == "Write" || Entry == "WriteTagged" || Entry == "WriteRaw" || Entry == "WriteRawTagged")
        << Row.Where();
    EXPECT_TRUE(Entry == "Write"         ? L.LogFile->Write(Text)
                : Entry == "WriteTagged" ? L.LogFile->WriteTagged(Text, Tag)
                : Entry == "WriteRaw"    ? L.LogFile->WriteRaw(Text)
                                         : L.LogFile->WriteRawTagged(Text, Tag))
        << Row.Where();
  }
  const int64_t After = Platform::MillisecondsSince1899(Platform::LocalNow());
  L.LogFile.reset();
  EXPECT_FALSE(FileExists(L.Dir.Path() + "Logs"));

  const std::vector<TRecordedCall> Calls = ReadRecord(L.Record);
  ASSERT_EQ(Calls.size(), Rows.size() + 2);
  EXPECT_EQ(Calls[0].Kind, "I");
  EXPECT_EQ(Calls[0].Fields, (std::vector<std::string>{"take;record=" + L.Record, "500"}));
  for (size_t I = 0; I < Rows.size(); ++I) {
    SCOPED_TRACE(Rows[I].Where());
    const TRecordedCall& Call = Calls[I + 1];
    ASSERT_EQ(Call.Kind, "M");
    ASSERT_EQ(Call.Fields.size(), 5u);
    EXPECT_EQ(Call.Fields[1], "Host.exe");
    EXPECT_EQ(Call.Fields[2], "Velmora.dll");
    EXPECT_EQ(Call.Fields[3], Rows[I].Text(1));
    EXPECT_EQ(Call.Fields[4], Rows[I].Text(2));
    if (Rows[I].Text(3) == "stamped") {
      EXPECT_GE(Call.Milliseconds, Before);
      EXPECT_LE(Call.Milliseconds, After);
    } else {
      EXPECT_EQ(Call.Time, static_cast<double>(Rows[I].Int(3)));
    }
  }
  EXPECT_EQ(Calls.back().Kind, "F");
}

TEST(UniLog, DeclinedLinesGoToTheFileAsAFileLogWritesThem) {
  SetProcessNames("Host.exe", "Velmora.dll");
  TClientLog L("decline");
  ASSERT_TRUE(L.LogFile->ClientLoaded());
  EXPECT_TRUE(L.LogFile->Write("stamped"));
  EXPECT_FALSE(L.LogFile->LastServerResult());
  EXPECT_TRUE(L.LogFile->WriteRaw("raw"));
  EXPECT_TRUE(L.LogFile->WriteRawTagged("raw tagged", "S1"));
  const std::string Name = L.LogFile->GetFileName();
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(Name));
  ASSERT_EQ(Lines.size(), 2u);
  EXPECT_TRUE(HasStamp(Lines[0]));
  EXPECT_EQ(Lines[0].substr(13), "stamped");
  EXPECT_EQ(Lines[1], "raw");
  EXPECT_EQ(ReadFileBytes(Platform::DirectoryPart(Name) + "S1_" + Platform::FileNamePart(Name)),
            "raw tagged\r\n");
  L.LogFile.reset();
  EXPECT_EQ(KindsOf(L.Record), "IMMMF");
}

// The log's end is the client library's end: "DLL_Finalize" is its last
// call, made once, and the library is no longer mapped afterwards.
TEST(UniLog, DestructionFinalisesAndUnloadsTheClient) {
  TClientLog L("take");
  ASSERT_TRUE(L.LogFile->ClientLoaded());
  ASSERT_TRUE(Platform::IsLibraryLoaded(Client()));
  EXPECT_TRUE(L.LogFile->Write("taken"));
  L.LogFile.reset();
  EXPECT_EQ(KindsOf(L.Record), "IMF");
  EXPECT_FALSE(Platform::IsLibraryLoaded(Client())) << "the client library is still mapped";
}

TEST(UniLog, FailedInitialisationIsOnlyRecorded) {
  TClientLog L("take;initfail");
  ASSERT_TRUE(L.LogFile->ClientLoaded());
  EXPECT_FALSE(L.LogFile->LastServerResult());
  EXPECT_TRUE(L.LogFile->Write("taken all the same"));
  EXPECT_TRUE(L.LogFile->LastServerResult());
  EXPECT_FALSE(FileExists(L.Dir.Path() + "Logs"));
}

TEST(UniLog, LibraryLackingAnEntryIsUnloadedAndNeverCalled) {
  TClientLog L("take", ClientWithoutFinalize());
  EXPECT_FALSE(L.LogFile->ClientLoaded());
  EXPECT_FALSE(L.LogFile->LastServerResult());
  EXPECT_TRUE(L.LogFile->Write("to the file"));
  const std::vector<std::string> Lines = SplitLines(ReadFileBytes(L.LogFile->GetFileName()));
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0].substr(13), "to the file");
  L.LogFile.reset();
  EXPECT_FALSE(FileExists(L.Record)) << "an entry of the library was called";
}

// A fault inside the client (an access violation) never reaches the writer
// and costs no line: a faulting message goes to the file as a declined one
// would, and the next line is offered again; after a faulting initialisation
// every line stays on files, and the client is still finalised and unloaded
// with the log; a faulting finalisation does not keep the library mapped.
TEST(UniLogFaults, AFaultInsideTheClientCostsNoLineAndStopsNothing) {
  if (!Platform::ForeignFaultsContained()) {
    GTEST_SKIP() << "natively a fault cannot be caught: the guard calls straight through";
  }
  SetProcessNames("Host.exe", "Velmora.dll");
  for (const TestSupport::TDataRow& Row : DataTable("log_client/faults.txt")) {
    SCOPED_TRACE(Row.Where());
    const std::string Taken = Row.Text(2);
    TClientLog L(Row.Text(0));
    EXPECT_EQ(L.LogFile->ClientLoaded(), Row.Int(1) == 1);
    EXPECT_TRUE(L.LogFile->Write("first"));
    EXPECT_EQ(L.LogFile->LastServerResult(), Taken.at(0) == '+');
    EXPECT_TRUE(L.LogFile->Write("second"));
    EXPECT_EQ(L.LogFile->LastServerResult(), Taken.at(1) == '+');
    L.LogFile.reset();
    std::string InFile;
    for (const std::string& Line : LinesOfAllFilesUnder(L.Dir.Path() + "Logs")) {
      if (!InFile.empty()) InFile += '|';
      InFile += Line.substr(13);
    }
    EXPECT_EQ(InFile, Row.Text(3));
    EXPECT_EQ(KindsOf(L.Record), Row.Text(4));
    EXPECT_FALSE(Platform::IsLibraryLoaded(Client())) << "the client library is still mapped";
  }
}

TEST(UniLogConcurrency, ThreadsOfferingAtOnceReachTheClientWhole) {
  SetProcessNames("Host.exe", "Velmora.dll");
  for (const std::string Answer : {"take", "decline"}) {
    TClientLog L(Answer);
    constexpr int ThreadCount = 4, LinesEach = 100;
    RunOnThreads(ThreadCount, [&](int Thread) {
      for (int Line = 0; Line < LinesEach; ++Line) {
        EXPECT_TRUE(L.LogFile->Write('T' + std::to_string(Thread) + " L" + std::to_string(Line)));
      }
    });
    std::set<std::string> Offered;
    for (const TRecordedCall& Call : ReadRecord(L.Record)) {
      if (Call.Kind == "M") {
        EXPECT_TRUE(Offered.insert(Call.Fields.at(4)).second);
      }
    }
    EXPECT_EQ(Offered.size(), static_cast<size_t>(ThreadCount * LinesEach)) << Answer;
    if (Answer == "take") {
      EXPECT_FALSE(FileExists(L.Dir.Path() + "Logs"));
    } else {
      std::set<std::string> Written;
      for (const std::string& Line : LinesOfAllFilesUnder(L.Dir.Path() + "Logs")) {
        EXPECT_TRUE(Written.insert(Line.substr(13)).second);
      }
      EXPECT_EQ(Written, Offered);
    }
  }
}

}  // namespace
