// The parameter list: plain access and the name-and-value operations.
#include "params/ParamList.h"

#include <stdexcept>

#include "platform/TimeText.h"

void TParamList::CheckIndex(int Index) const {
  if (Index < 0 || Index >= Count()) {
    throw std::runtime_error("List index out of bounds (" + std::to_string(Index) + ")");
  }
}

void TParamList::Delete(int Index) {
  CheckIndex(Index);
  Items.erase(Items.begin() + Index);
}

const std::string& TParamList::Item(int Index) const {
  CheckIndex(Index);
  return Items[static_cast<size_t>(Index)];
}

void TParamList::SetItem(int Index, std::string Item) {
  CheckIndex(Index);
  Items[static_cast<size_t>(Index)] = std::move(Item);
}

int TParamList::FindParam(std::string_view Name) const {
  // Byte scanning for '=' is sound: in the single-byte code page of the
  // target systems (1251) every character is one byte, so no trail byte of a
  // character can be mistaken for the separator.
  for (size_t I = 0; I < Items.size(); ++I) {
    const std::string& Text = Items[I];
    const size_t Equals = Text.find('=');
    if (Equals != std::string::npos &&
        Platform::SameTextNoCase(Text.data(), Equals, Name.data(), Name.size())) {
      return static_cast<int>(I);
    }
  }
  return -1;
}

std::string TParamList::GetParam(std::string_view Name) const {
  const int Index = FindParam(Name);
  if (Index < 0) return std::string();
  const std::string& Text = Items[static_cast<size_t>(Index)];
  return Text.substr(Text.find('=') + 1);
}

void TParamList::SetParam(std::string_view Name, std::string_view Value) {
  const int Index = FindParam(Name);
  if (Value.empty()) {
    if (Index >= 0) Items.erase(Items.begin() + Index);
    return;
  }
  std::string& Target = Index >= 0 ? Items[static_cast<size_t>(Index)] : Items.emplace_back();
  Target.clear();
  Target.reserve(Name.size() + 1 + Value.size());
  Target.append(Name).append(1, '=').append(Value);
}
