// The packed parameter list: writing into a bounded buffer and reading back.
#include "params/PackedParams.h"

#include <cstring>

size_t PackedSize(const TParamList& List) {
  size_t Size = 0;
  for (int I = 0, N = List.Count(); I < N; ++I) Size += List.Item(I).size() + 1;
  return Size;
}

bool PackParams(const TParamList& List, char* Target, size_t Capacity, size_t& Count) {
  Count = PackedSize(List);
  if (Count > Capacity) return false;
  char* Out = Target;
  for (int I = 0, N = List.Count(); I < N; ++I) {
    const std::string& Item = List.Item(I);
    if (!Item.empty()) std::memcpy(Out, Item.data(), Item.size());
    Out += Item.size();
    *Out++ = '\0';
  }
  return true;
}

void UnpackParams(TParamList& List, const void* Data, int32_t Length) {
  List.Clear();
  if (Length <= 0) return;
  const char* const Begin = static_cast<const char*>(Data);
  const size_t N = static_cast<size_t>(Length);
  size_t P = 0;
  while (P < N) {
    const void* Nul = std::memchr(Begin + P, '\0', N - P);
    const size_t End = Nul ? static_cast<size_t>(static_cast<const char*>(Nul) - Begin) : N;
    List.Add(std::string(Begin + P, End - P));
    P = End + 1;
  }
}
