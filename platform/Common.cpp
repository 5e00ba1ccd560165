// The parts of the platform interface that are the same on every system:
// path splitting, the library search with fallback and the trimming of
// system texts.
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Libraries.h"

namespace Platform {

namespace {
size_t LastDelimiter(const std::string& Path) {
  return Path.find_last_of("\\:");
}
}  // namespace

std::string DirectoryPart(const std::string& Path) {
  const size_t At = LastDelimiter(Path);
  return At == std::string::npos ? std::string() : Path.substr(0, At + 1);
}

std::string FileNamePart(const std::string& Path) {
  const size_t At = LastDelimiter(Path);
  return At == std::string::npos ? Path : Path.substr(At + 1);
}

TLibrary LoadLibraryFallback(const std::string& Name) {
  TLibrary Library = LoadLibraryByName(Name);
  if (Library == nullptr && DirectoryPart(Name).empty()) {
    Library = LoadLibraryByName(DirectoryPart(HostExePath()) + Name);
  }
  return Library;
}

std::string TrimSystemText(std::string Text) {
  if (Text.size() > 256) Text.resize(256);
  while (!Text.empty()) {
    const unsigned char Last = static_cast<unsigned char>(Text.back());
    if (Last > ' ' && Last != 0x7F && Last != '.') break;
    Text.pop_back();
  }
  return Text;
}

std::string TrimmedSystemText(uint32_t Code) { return TrimSystemText(SystemErrorText(Code)); }

}  // namespace Platform
