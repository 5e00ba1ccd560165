// The release kit's sample settings file as the plug-in meets it beside
// itself: read as the defaults, and kept with every comment when the
// plug-in writes a missing key back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/SampleSettings.h"
#include "tests/support/PluginHost.h"
#include "tests/support/TestSupport.h"
#include "tests/support/TransportDouble.h"

using TestSupport::TPluginHost;
using TestSupport::TTransportDouble;

namespace {

const std::string Sample(reinterpret_cast<const char*>(SampleSettingsBytes), sizeof SampleSettingsBytes);

struct TSampleRun {
  std::string ConnectionText;  // as the client handed it to the transport
  std::string FileAfter;
  std::vector<std::string> Log;
};

TSampleRun RunWith(const std::string& Settings) {
  TTransportDouble Double;
  Double.SetAutoDisconnect(true);
  TPluginHost Host(Settings);
  Host.Init(1);
  Host.Finalize();
  TSampleRun Run;
  const std::string Calls = Double.CallLog();
  const std::string Entry = "CreateTermination(";
  const size_t Start = Calls.find(Entry);
  if (Start != std::string::npos) {
    const size_t Open = Start + Entry.size();
    Run.ConnectionText = Calls.substr(Open, Calls.find(')', Open) - Open);
  }
  Run.FileAfter = TestSupport::ReadFileBytes(Host.SettingsPath());
  Run.Log = Host.LogLines();
  return Run;
}

std::vector<std::string> CommentLines(const std::string& Text) {
  std::vector<std::string> Comments;
  size_t At = 0;
  while (At < Text.size()) {
    size_t End = Text.find("\r\n", At);
    if (End == std::string::npos) End = Text.size();
    if (Text.compare(At, 1, ";") == 0) Comments.push_back(Text.substr(At, End - At));
    At = End + 2;
  }
  return Comments;
}

// Whether every one of Lines occurs in Text, in their order.
bool InOrder(const std::string& Text, const std::vector<std::string>& Lines) {
  size_t At = 0;
  for (const auto& Line : Lines) {
    At = Text.find(Line, At);
    if (At == std::string::npos) return false;
    At += Line.size();
  }
  return true;
}

}  // namespace

TEST(SampleSettings, SampleGivesTheDefaultsAndStaysByteForByte) {
  ASSERT_NE(Sample.find("[Server]\r\n"), std::string::npos);
  ASSERT_GE(CommentLines(Sample).size(), 4u) << "the sample explains its keys";
  const auto Run = RunWith(Sample);
  EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,127.0.0.1:25001");
  EXPECT_EQ(Run.FileAfter, Sample);
  for (const auto& Line : Run.Log) EXPECT_EQ(Line.find("ERR: Settings"), std::string::npos) << Line;
}

// An operator who deletes a key gets it back with its default; the comments,
// the other key and the section stay (Wine's profile writer rewrites the
// whole file, Windows and the posix backend only add the line).
TEST(SampleSettings, KeyMissingFromTheSampleIsWrittenBackAndEveryCommentStays) {
  const std::string Keys[] = {"FSServerAddr=127.0.0.1", "FSServerPort=25001"};
  for (const auto& Removed : Keys) {
    SCOPED_TRACE(Removed);
    std::string Settings = Sample;
    const size_t At = Settings.find(Removed + "\r\n");
    ASSERT_NE(At, std::string::npos);
    Settings.erase(At, Removed.size() + 2);

    const auto Run = RunWith(Settings);
    EXPECT_EQ(Run.ConnectionText, "0.0.0.0:0,127.0.0.1:25001");
    EXPECT_TRUE(InOrder(Run.FileAfter, CommentLines(Sample))) << Run.FileAfter;
    const size_t Section = Run.FileAfter.find("[Server]");
    ASSERT_NE(Section, std::string::npos) << Run.FileAfter;
    for (const auto& Key : Keys) {
      const size_t Line = Run.FileAfter.find(Key + "\r\n");
      EXPECT_NE(Line, std::string::npos) << Key << " in\n" << Run.FileAfter;
      if (Line != std::string::npos) {
        EXPECT_GT(Line, Section) << Key << " lies in [Server]";
      }
    }
  }
}
