// Profile files for Win32: the system's private-profile string functions.
#include <windows.h>
// <windows.h> maps WriteProfileString to the win.ini writer; ours is a name.
#undef WriteProfileString

#include <climits>
#include <vector>

#include "platform/FaultPoint.h"
#include "platform/Profile.h"
#include "platform/TimeText.h"

namespace Platform {

namespace {
constexpr DWORD ValueBufferChars = 2048;
}  // namespace

std::string ReadProfileString(const std::string& FileName, const std::string& Section,
                              const std::string& Key, const std::string& Default) {
  if (VELMORA_FAULT(ProfileRead)) return Default.substr(0, ValueBufferChars - 1);
  char Buffer[ValueBufferChars] = {};
  const DWORD Length = GetPrivateProfileStringA(Section.c_str(), Key.c_str(), Default.c_str(),
                                                Buffer, ValueBufferChars, FileName.c_str());
  return std::string(Buffer, Length);
}

bool ProfileKeyExists(const std::string& FileName, const std::string& Section,
                      const std::string& Key) {
  if (VELMORA_FAULT(ProfileKeyExists)) return false;
  // A null key name yields every key of the section, each ended by a NUL,
  // the list by a second one. A list that does not fit comes back cut
  // (length = size - 2): read again with room to spare.
  std::vector<char> Names(4096);
  DWORD Length = 0;
  for (;;) {
    Length = GetPrivateProfileStringA(Section.c_str(), nullptr, "", Names.data(),
                                      static_cast<DWORD>(Names.size()), FileName.c_str());
    if (Length + 2 < Names.size() || Names.size() >= (1u << 24)) break;
    Names.assign(Names.size() * 4, '\0');
  }
  for (DWORD At = 0; At < Length;) {
    const std::string Name(&Names[At]);
    if (SameTextNoCase(Name, Key)) return true;
    At += static_cast<DWORD>(Name.size()) + 1;
  }
  return false;
}

bool WriteProfileString(const std::string& FileName, const std::string& Section,
                        const std::string& Key, const std::string& Value) {
  if (VELMORA_FAULT(ProfileWrite)) return false;
  return WritePrivateProfileStringA(Section.c_str(), Key.c_str(), Value.c_str(),
                                    FileName.c_str()) != 0;
}

}  // namespace Platform
