// Fuzz target for the parameter list: any bytes read as list text and as a
// packed list must write out and read back to the same items, and integer
// text that reads must write and read back to the same number.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "params/IntegerText.h"
#include "params/PackedParams.h"
#include "params/ParamList.h"

namespace {

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "params fuzz: %s\n", What);
  std::abort();
}

bool SameItems(const TParamList& A, const TParamList& B) {
  if (A.Count() != B.Count()) return false;
  for (int I = 0; I < A.Count(); ++I) {
    if (A.Item(I) != B.Item(I)) return false;
  }
  return true;
}

// The list written as text and read back, and packed and unpacked, must give
// the same items. Returns the packed block.
std::string CheckRoundTrips(const TParamList& List) {
  TParamList Back;
  Back.ParamsFromText(List.ParamsToText());
  if (!SameItems(List, Back)) Fail("text form does not read back");

  std::string Block(PackedSize(List), '\0');
  size_t Count = 0;
  if (!PackParams(List, Block.data(), Block.size(), Count) || Count != Block.size()) {
    Fail("packing into the exact size failed");
  }
  if (Count > 0) {
    size_t Short = 0;
    if (PackParams(List, Block.data(), Count - 1, Short) || Short != Count) {
      Fail("packing into one byte less did not refuse");
    }
  }
  UnpackParams(Back, Block.data(), static_cast<int32_t>(Block.size()));
  if (!SameItems(List, Back)) Fail("packed form does not read back");
  return Block;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  if (Size > 1 << 20) return 0;
  const std::string_view Input(reinterpret_cast<const char*>(Data), Size);

  TParamList FromText;
  FromText.ParamsFromText(Input);
  CheckRoundTrips(FromText);

  TParamList FromPacked;
  UnpackParams(FromPacked, Data, static_cast<int32_t>(Size));
  const std::string Block = CheckRoundTrips(FromPacked);
  // Packing what was read gives the input back, with a final NUL added when
  // it lacked one.
  const bool EndsWithNul = Size > 0 && Data[Size - 1] == 0;
  if (Block != (EndsWithNul || Size == 0 ? std::string(Input) : std::string(Input) + '\0')) {
    Fail("packed block differs from the input");
  }

  int32_t Value = 0;
  if (TryIntegerText(Input, Value)) {
    int32_t Again = 0;
    if (!TryIntegerText(IntegerToText(Value), Again) || Again != Value) {
      Fail("integer text does not read back");
    }
  }
  return 0;
}
