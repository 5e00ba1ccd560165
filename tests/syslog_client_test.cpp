// The syslog log client: its setting, its messages and its time as tables,
// then LogClient.dll itself against a private rsyslogd (started by the
// rsyslog fixture, scripts/lib/rsyslog.sh): the lines the plug-in's log
// offers arrive in order, byte for byte, with their fields and their time;
// long datagrams are cut; lines the client cannot send are declined, so the
// log writes them to its file.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "log/ProcessLog.h"
#include "log/ProcessNames.h"
#include "log/UniLog.h"
#include "platform/FaultSeam.h"
#include "platform/Libraries.h"
#include "platform/Thread.h"
#include "platform/TimeText.h"
#include "syslogclient/SyslogMessage.h"
#include "syslogclient/SyslogSetting.h"
#include "tests/support/DataTable.h"
#include "tests/support/LogTestSupport.h"
#include "tests/support/RequiredEntry.h"
#include "tests/support/TestSupport.h"

using namespace TestSupport;
using LogTestSupport::At;

namespace {

TEST(SyslogSetting, ReadsTheDocumentedFormsAndRefusesTheRest) {
  for (const TDataRow& Row : DataTable("syslog_client/settings.txt")) {
    SCOPED_TRACE(Row.Where());
    TSyslogSetting Setting;
    ASSERT_EQ(ParseSyslogSetting(Row.Text(0), Setting), Row.Text(1) != "-");
    if (Row.Text(1) == "-") continue;
    EXPECT_EQ(Setting.Transport, Row.Text(1) == "tcp" ? TSyslogTransport::Tcp : TSyslogTransport::Udp);
    EXPECT_TRUE(Row.Text(1) == "tcp" || Row.Text(1) == "udp");
    EXPECT_EQ(Setting.Host, Row.Text(2));
    EXPECT_EQ(Setting.Port, Row.Int(3));
    EXPECT_EQ(Setting.Facility, Row.Int(4));
  }
}

TEST(SyslogMessage, EachFieldAsRfc5424SaysAndTheDatagramCut) {
  for (const TDataRow& Row : DataTable("syslog_client/messages.txt")) {
    SCOPED_TRACE(Row.Where());
    TSyslogFields Fields;
    Fields.Facility = static_cast<uint8_t>(Row.Int(0));
    Fields.HasTime = Row.Text(1) != "-";
    if (Fields.HasTime) Fields.Time = At(Row.Text(1));
    Fields.OffsetMinutes = static_cast<int32_t>(Row.Int(2));
    Fields.HostName = Row.Text(3);
    Fields.AppName = Row.Text(4);
    Fields.ProcessId = static_cast<uint32_t>(Row.Int(5));
    Fields.MessageId = Row.Text(6);
    Fields.Utf8Text = Row.Text(7);
    EXPECT_EQ(FormatSyslogMessage(Fields, static_cast<size_t>(Row.Int(8))), Row.Text(9));
  }
  std::string Frame = "x";
  AppendOctetFrame(Frame, "abc");
  EXPECT_EQ(Frame, "x3 abc");
}

TEST(SyslogMessage, TheLogsTimeComesBackToTheMillisecond) {
  for (const Platform::TDateTime& Time :
       {At(2013, 4, 17, 12, 0, 0, 0), At(2026, 12, 31, 23, 59, 59, 999), At(2024, 2, 29, 0, 0, 0, 1),
        At(1900, 3, 1, 1, 2, 3, 4), At(9999, 12, 31, 23, 59, 59, 999)}) {
    Platform::TDateTime Back;
    ASSERT_TRUE(LocalTimeFromDays(Platform::DaysSince1899(Time), Back));
    EXPECT_EQ(LogTestSupport::MillisecondsOfDay(Back), LogTestSupport::MillisecondsOfDay(Time));
    EXPECT_EQ(Back.Year * 10000 + Back.Month * 100 + Back.Day, Time.Year * 10000 + Time.Month * 100 + Time.Day);
  }
  Platform::TDateTime Unused;
  EXPECT_FALSE(LocalTimeFromDays(0.0, Unused));  // a line without time stamp
  EXPECT_EQ(Platform::AnsiToUtf8("\xCF\xF0\xE8\xE2\xE5\xF2 \xB8\xA8 \xB9"),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD1\x91\xD0\x81 \xE2\x84\x96");
}

// --- against rsyslogd --------------------------------------------------------

std::string RsyslogDir() {
  const char* Dir = std::getenv("VELMORA_RSYSLOG_DIR");
  return Dir != nullptr ? Dir : "";
}

uint16_t Port(const char* Transport) {
  const std::string Ports = ReadFileBytes(RsyslogDir() + "\\ports");
  const size_t At = Ports.find(std::string(Transport) + "=");
  return At == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(Ports.c_str() + At + 4));
}

std::string Setting(const char* Transport, const char* Facility = "") {
  return std::string(Transport) + "://127.0.0.1:" + std::to_string(Port(Transport)) + Facility;
}

std::string NewMarker() {
  std::random_device Random;
  return "m" + std::to_string(Random()) + "-";
}

// The fields rsyslogd logged for each message whose text holds Marker, once
// Count of them arrived or 10 s passed.
std::vector<std::vector<std::string>> Received(const std::string& Marker, size_t Count) {
  std::vector<std::vector<std::string>> Found;
  const uint64_t Deadline = Platform::TickCountMs() + 10000;
  do {
    Found.clear();
    std::istringstream Lines(ReadFileBytes(RsyslogDir() + "\\messages.log"));
    for (std::string Line; std::getline(Lines, Line);) {
      if (Line.find(Marker) == std::string::npos) continue;
      std::vector<std::string> Fields;
      std::istringstream Parts(Line);
      for (std::string Part; std::getline(Parts, Part, '\t');) Fields.push_back(Part);
      Found.push_back(Fields);
    }
    if (Found.size() >= Count) break;
    Platform::SleepMs(20);
  } while (Platform::TickCountMs() < Deadline);
  return Found;
}

class Rsyslog : public ::testing::Test {
protected:
  void SetUp() override {
    if (RsyslogDir().empty()) GTEST_SKIP() << "no rsyslogd: run through ctest (the rsyslog fixture)";
    Platform::FaultSeam::Reset();
    SetProcessNames("host.exe", "Velmora.dll");
  }
  void TearDown() override { Platform::FaultSeam::Reset(); }
  const std::string Client = LogTestSupport::StandInLogClient(BinaryDir(), "syslog");
  TScratchDir Dir;
};

// Writes probe lines until the client takes one (its connection is up).
bool WaitUntilTaken(tUniLog& Log) {
  for (int I = 0; I < 500; ++I) {
    Log.Write("probe");
    if (Log.LastServerResult()) return true;
    Platform::SleepMs(10);
  }
  return false;
}

TEST_F(Rsyslog, TcpLinesArriveInOrderWithTheirFieldsAndTheLogsTime) {
  const std::string Marker = NewMarker();
  const Platform::TDateTime Start = At(2013, 4, 17, 15, 26, 9, 123);
  {
    tUniLog Log(ProcessLogPattern(Dir.Path(), "Velmora.dll"), Setting("tcp", "/local3"), Client);
    ASSERT_TRUE(WaitUntilTaken(Log));
    Platform::FaultSeam::SetClockFixed(Start, 1);  // each line one millisecond later
    for (int I = 0; I < 300; ++I) {
      const std::string Text = Marker + std::to_string(I) + " \xCF\xF0\xE8\xE2\xE5\xF2";
      if (I % 100 == 7) {
        Log.WriteTagged(Text, "Tag7");
      } else {
        Log.Write(Text);
      }
      ASSERT_TRUE(Log.LastServerResult()) << I;
    }
  }  // the client sends what is queued before it ends
  const auto Messages = Received(Marker, 300);
  ASSERT_EQ(Messages.size(), 300u);
  const int32_t Offset = Platform::UtcOffsetMinutes(Start);
  char Zone[24];
  std::snprintf(Zone, sizeof Zone, "%c%02d:%02d", Offset < 0 ? '-' : '+', std::abs(Offset) / 60,
                std::abs(Offset) % 60);
  for (int I = 0; I < 300; ++I) {
    const auto& M = Messages[static_cast<size_t>(I)];
    ASSERT_EQ(M.size(), 7u);
    char Time[64];
    std::snprintf(Time, sizeof Time, "2013-04-17T15:26:%02d.%03d%s", 9 + (123 + I) / 1000,
                  (123 + I) % 1000, Zone);
    EXPECT_EQ(M[0], Time) << I;
    EXPECT_EQ(M[2], "Velmora.dll");
    EXPECT_EQ(M[3], std::to_string(Platform::CurrentProcessId()));
    EXPECT_EQ(M[4], I % 100 == 7 ? "Tag7" : "-");
    EXPECT_EQ(M[5], "158");  // local3, informational
    EXPECT_EQ(M[6], "\xEF\xBB\xBF" + Marker + std::to_string(I) + " \xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  }
  // Taken lines never reach the file (only declined probes may be there).
  for (const std::string& Line : LogTestSupport::LinesOfAllFilesUnder(Dir.Path())) {
    EXPECT_EQ(Line.find(Marker), std::string::npos) << Line;
  }
}

TEST_F(Rsyslog, UdpLinesArriveAndALongOneIsCutToTheDatagramSize) {
  const std::string Marker = NewMarker();
  {
    tUniLog Log(ProcessLogPattern(Dir.Path(), "Velmora.dll"), Setting("udp"), Client);
    ASSERT_TRUE(WaitUntilTaken(Log));
    Log.Write(Marker + "short");
    Log.Write(Marker + std::string(5000, '\xE9'));  // 10,000 bytes as UTF-8
  }
  const auto Messages = Received(Marker, 2);
  ASSERT_EQ(Messages.size(), 2u);
  EXPECT_EQ(Messages[0][6], "\xEF\xBB\xBF" + Marker + "short");
  const std::string Raw = ReadFileBytes(RsyslogDir() + "\\raw.log");
  const size_t Long = Raw.find(Marker + "\xD0\xB9");
  ASSERT_NE(Long, std::string::npos);
  const size_t Begin = Raw.rfind('\n', Long) + 1;
  const size_t Size = Raw.find('\n', Long) - Begin;
  EXPECT_TRUE(Size == 2048 || Size == 2047) << Size;  // a half character is left out
}

TEST_F(Rsyslog, UnreachableServerOrUnreadableSettingDeclinesEveryLine) {
  const Platform::TLibrary Library = Platform::LoadLibraryByName(Client);
  ASSERT_NE(Library, nullptr);
  const auto Initialize = RequiredEntry<TLogClientInitialize>(Library, "DLL_Initialize");
  const auto Message = RequiredEntry<TLogClientMessage>(Library, "DLL_MessageToLogServer");
  const auto Finalize = RequiredEntry<TLogClientFinalize>(Library, "DLL_Finalize");
  for (const char* Bad : {"udp:/127.0.0.1", "tcp://127.0.0.1:1/nosuch"}) {
    EXPECT_EQ(Initialize(Bad, 500) & 0xFF, 0u) << Bad;
    EXPECT_EQ(Message(41381.5, "h.exe", "Velmora.dll", "", "line") & 0xFF, 0u) << Bad;
  }
  ASSERT_EQ(Initialize("tcp://127.0.0.1:1", 500) & 0xFF, 1u);  // nobody listens on port 1
  for (int I = 0; I < 50; ++I, Platform::SleepMs(20)) {
    ASSERT_EQ(Message(41381.5, "h.exe", "Velmora.dll", "", "line") & 0xFF, 0u) << I;
  }
  const uint64_t Started = Platform::TickCountMs();
  Finalize();
  EXPECT_LT(Platform::TickCountMs() - Started, 2000u);  // bounded, however the server is
  Platform::UnloadLibrary(Library);
}

TEST_F(Rsyslog, ThreadsOfferingAtOnceLoseNoTakenLine) {
  const Platform::TLibrary Library = Platform::LoadLibraryByName(Client);
  ASSERT_NE(Library, nullptr);
  const auto Message = RequiredEntry<TLogClientMessage>(Library, "DLL_MessageToLogServer");
  const auto Initialize = RequiredEntry<TLogClientInitialize>(Library, "DLL_Initialize");
  ASSERT_EQ(Initialize(Setting("tcp").c_str(), 500) & 0xFF, 1u);
  while (Message(41381.5, "h.exe", "Velmora.dll", "", "probe") == 0) Platform::SleepMs(10);
  const std::string Marker = NewMarker();
  std::atomic<size_t> Taken{0};
  LogTestSupport::RunOnThreads(4, [&](int Thread) {
    for (int I = 0; I < 2000; ++I) {
      const std::string Text = Marker + std::to_string(Thread) + ":" + std::to_string(I);
      if (Message(41381.5, "h.exe", "Velmora.dll", "", Text.c_str()) & 0xFF) Taken.fetch_add(1);
    }
  });
  RequiredEntry<TLogClientFinalize>(Library, "DLL_Finalize")();
  Platform::UnloadLibrary(Library);
  EXPECT_GT(Taken.load(), 0u);
  EXPECT_EQ(Received(Marker, Taken.load()).size(), Taken.load());
}

}  // namespace
