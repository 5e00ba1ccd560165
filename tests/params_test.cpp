// The parameter list: its text and packed forms built from the worked
// examples, name lookup, integer text, and round trips over random lists.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "params/IntegerText.h"
#include "params/PackedParams.h"
#include "params/ParamList.h"
#include "tests/support/DataTable.h"

namespace {

using TestSupport::TDataRow;
using TItems = std::vector<std::string>;

TParamList ListOf(const TItems& Items) {
  TParamList List;
  for (const std::string& Item : Items) List.Add(Item);
  return List;
}

TItems ItemsOf(const TParamList& List) {
  TItems Items;
  for (int I = 0; I < List.Count(); ++I) Items.push_back(List.Item(I));
  return Items;
}

// Read into a list with items of its own, which reading must replace.
TItems ReadText(std::string_view Text) {
  TParamList List = ListOf({"old=1", "old=2"});
  List.ParamsFromText(Text);
  return ItemsOf(List);
}

// Unpacks from a heap copy of exactly Block.size() bytes, so that a read past
// the end is caught by AddressSanitizer.
TItems Unpack(const std::string& Block) {
  std::unique_ptr<char[]> Copy(new char[Block.size() + (Block.empty() ? 1 : 0)]);
  if (!Block.empty()) std::memcpy(Copy.get(), Block.data(), Block.size());
  TParamList List;
  List.Add("stale");
  UnpackParams(List, Copy.get(), static_cast<int32_t>(Block.size()));
  return ItemsOf(List);
}

std::string Pack(const TItems& Items) {
  const TParamList List = ListOf(Items);
  std::string Block(PackedSize(List), '\0');
  size_t Count = 0;
  EXPECT_TRUE(PackParams(List, Block.data(), Block.size(), Count));
  EXPECT_EQ(Count, Block.size());
  return Block;
}

// ------------------------------------------------------------- text form

TEST(ParamsText, ReadsTheWorkedExamples) {
  for (const TDataRow& Row : DataTable("params/read_text.txt")) {
    SCOPED_TRACE(Row.Where());
    EXPECT_EQ(ReadText(Row.Text(0)), Row.Strings(1));
  }
}

TEST(ParamsText, WritesTheWorkedExamples) {
  for (const TDataRow& Row : DataTable("params/write_text.txt")) {
    SCOPED_TRACE(Row.Where());
    EXPECT_EQ(ListOf(Row.Strings(0)).ParamsToText(), Row.Text(1));
    EXPECT_EQ(ReadText(Row.Text(1)), Row.Strings(0)) << "read back";
  }
}

// Long items are scanned several bytes at a time: every byte value, at every
// place of an item of any length up to 19 bytes, must decide the quoting
// exactly as a lone byte does (quote, comma and 1..32 quote; 0 and the rest
// do not).
TEST(ParamsText, QuotingDependsOnEveryByteWhereverItStands) {
  for (int Value = 0; Value < 256; ++Value) {
    const char Byte = static_cast<char>(Value);
    const bool Special = Value == '"' || Value == ',' || (Value >= 1 && Value <= 32);
    for (size_t Size = 1; Size < 20; ++Size) {
      for (size_t At = 0; At < Size; ++At) {
        std::string Item(Size, 'x');
        Item[At] = Byte;
        TParamList List;
        List.Add(Item);
        const std::string Text = List.ParamsToText();
        ASSERT_EQ(Special, Text.size() > Size && Text.front() == '"')
            << "byte " << Value << " at " << At << " of " << Size;
      }
    }
  }
}

// ------------------------------------------------------- names and values

// Each row one lookup or change on a list of its own.
TEST(ParamsNames, FindsReadsAndSetsByName) {
  for (const TDataRow& Row : DataTable("params/names.txt")) {
    SCOPED_TRACE(Row.Where());
    TParamList List = ListOf(Row.Strings(0));
    const std::string Step = Row.Text(1), Name = Row.Text(2);
    if (Step == "find") {
      EXPECT_EQ(List.FindParam(Name), Row.Int(4));
    } else if (Step == "get") {
      EXPECT_EQ(List.GetParam(Name), Row.Text(4));
    } else {
      ASSERT_EQ(Step, "set");
      List.SetParam(Name, Row.Text(3));
      EXPECT_EQ(ItemsOf(List), Row.Strings(4));
    }
  }
}

TEST(ParamsNames, IndexOutOfBoundsRaises) {
  TParamList List = ListOf({"a"});
  EXPECT_THROW(List.Item(1), std::runtime_error);
  EXPECT_THROW(List.Item(-1), std::runtime_error);
  EXPECT_THROW(List.Delete(1), std::runtime_error);
  EXPECT_THROW(List.SetItem(1, "b"), std::runtime_error);
  List.SetItem(0, "b");
  List.Delete(0);
  EXPECT_EQ(List.Count(), 0);
}

// ------------------------------------------------------------ packed form

// Each item followed by a NUL; a block read may lack the last NUL.
TEST(ParamsPacked, WritesAndReadsBlocks) {
  for (const TDataRow& Row : DataTable("params/packed_blocks.txt")) {
    SCOPED_TRACE(Row.Where());
    const std::string Block = Row.Text(0);
    EXPECT_EQ(Unpack(Block), Row.Strings(1));
    if (Row.Text(2) == "written") {
      EXPECT_EQ(Pack(Row.Strings(1)), Block);
    } else {
      EXPECT_EQ(Row.Text(2), "read");
    }
  }
}

// The length bounds the scan (only the first 5 of the 9 bytes belong to the
// block); a zero or negative one gives the empty list.
TEST(ParamsPacked, LengthBoundsTheScan) {
  struct TCase { const char* Data; int32_t Length; TItems Items; };
  const TCase Cases[] = {{"ab\0cdefg", 5, {"ab", "cd"}}, {nullptr, 0, {}}, {"abc", -1, {}}, {nullptr, INT32_MIN, {}}};
  for (const auto& Case : Cases) {
    TParamList List = ListOf({"stale"});
    UnpackParams(List, Case.Data, Case.Length);
    EXPECT_EQ(ItemsOf(List), Case.Items) << Case.Length;
  }
}

TEST(ParamsPacked, NeverWritesBeyondCapacity) {
  const TParamList List = ListOf({"Path=C:\\x", "Mode=1"});
  constexpr char Guard = '\x5A';
  for (const size_t Capacity : {size_t(17), size_t(16), size_t(1), size_t(0)}) {
    std::vector<char> Buffer(Capacity + 1, Guard);
    size_t Count = 12345;
    const bool Fits = PackParams(List, Buffer.data(), Capacity, Count);
    EXPECT_EQ(Fits, Capacity >= 17) << Capacity;
    EXPECT_EQ(Count, 17u);
    EXPECT_EQ(Buffer[Capacity], Guard) << "guard byte overwritten at " << Capacity;
    if (!Fits) {
      // Nothing at all is written when the list does not fit.
      EXPECT_EQ(std::string(Buffer.data(), Capacity), std::string(Capacity, Guard));
    }
  }
  size_t Count = 1;
  EXPECT_TRUE(PackParams(TParamList(), nullptr, 0, Count));
  EXPECT_EQ(Count, 0u);
}

// ----------------------------------------------------------- integer text

TEST(IntegerText, ReadsDecimalAndHexadecimal) {
  for (const TDataRow& Row : DataTable("params/integer_texts.txt")) {
    SCOPED_TRACE(Row.Where());
    const std::string Text = Row.Text(0);
    const bool Integer = Row.Text(1) != "-";
    const int32_t Expected = Integer ? static_cast<int32_t>(Row.Int(1)) : 777;
    int32_t Value = 777;
    EXPECT_EQ(TryIntegerText(Text, Value), Integer);
    EXPECT_EQ(Value, Expected);
    EXPECT_EQ(IntegerTextOr(Text, -99), Integer ? Expected : -99);
  }
  // The text ends where its view ends, even before a NUL.
  int32_t Value = 0;
  EXPECT_FALSE(TryIntegerText(std::string_view("12\0", 3), Value));
  EXPECT_TRUE(TryIntegerText(std::string_view("123", 2), Value));
  EXPECT_EQ(Value, 12);
}

TEST(IntegerText, WritesPlainDecimal) {
  for (const TDataRow& Row : DataTable("params/integer_writes.txt")) {
    EXPECT_EQ(IntegerToText(Row.Int(0)), Row.Text(1)) << Row.Where();
  }
}

// ------------------------------------------------------------- round trips

// Random lists whose items are bytes 1..255, with the characters that matter
// to the text form (quote, comma, blanks, '=') drawn often.
TItems RandomItems(std::mt19937& Random) {
  static const char Special[] = {'"', ',', ' ', '=', '\t', '\r', '\n', '\x01', '\x20', '\x7F', '\xC0', '\xFF'};
  auto Draw = [&Random](uint32_t Below) { return static_cast<uint32_t>(Random() % Below); };
  TItems Items(Draw(7));
  for (std::string& Item : Items) {
    const uint32_t Length = Draw(4) == 0 ? 0 : Draw(24);
    for (uint32_t I = 0; I < Length; ++I) {
      Item += Draw(2) == 0 ? Special[Draw(sizeof Special)] : static_cast<char>(1 + Draw(255));
    }
  }
  return Items;
}

TEST(ParamsRoundTrip, RandomListsReadBackUnchanged) {
  std::mt19937 Random(20130417);
  for (int Round = 0; Round < 4000; ++Round) {
    const TItems Items = RandomItems(Random);
    const TParamList List = ListOf(Items);

    const std::string Text = List.ParamsToText();
    ASSERT_EQ(ReadText(Text), Items) << "round " << Round << " text [" << Text << "]";

    const std::string Block = Pack(Items);
    ASSERT_EQ(Unpack(Block), Items) << "round " << Round;
    // Without its final NUL the block reads the same, unless that drops a
    // final empty item.
    if (!Items.empty() && !Items.back().empty()) {
      ASSERT_EQ(Unpack(Block.substr(0, Block.size() - 1)), Items) << "round " << Round;
    }
  }
}

TEST(ParamsRoundTrip, NestedUserDataSurvivesTwoLevels) {
  // The command path nests the host's value into "UserData" and the response
  // path takes it out again.
  const std::string Host = "Sess=5,\"SrcUserData=x y\",\"q\"\"\",";
  TParamList Inner;
  Inner.SetParam("Sess", "7");
  Inner.SetParam("SrcUserData", Host);
  TParamList Outer = ListOf({"Operation=2"});
  Outer.SetParam("UserData", Inner.ParamsToText());

  TParamList Back;
  UnpackParams(Back, Pack(ItemsOf(Outer)).data(), static_cast<int32_t>(PackedSize(Outer)));
  TParamList InnerBack;
  InnerBack.ParamsFromText(Back.GetParam("UserData"));
  EXPECT_EQ(IntegerTextOr(InnerBack.GetParam("Sess"), -1), 7);
  EXPECT_EQ(InnerBack.GetParam("SrcUserData"), Host);
}

}  // namespace
