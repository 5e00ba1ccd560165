// Scratch folders and file reads for the tests, through the C++ library.
#include "tests/support/TestSupport.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "platform/Files.h"
#include "platform/Libraries.h"
#include "platform/Thread.h"

namespace fs = std::filesystem;

namespace TestSupport {

namespace {
fs::path Native(const std::string& Path) { return fs::path(Platform::ToNativePath(Path)); }
}  // namespace

TScratchDir::TScratchDir() {
  static std::atomic<unsigned> Counter{0};
  std::random_device Random;
  const fs::path Base = fs::temp_directory_path() / "velmora-tests";
  fs::create_directories(Base);
  for (;;) {
    // 't' as a character: GCC 12 at -O3 reports a false -Wrestrict for a
    // one-letter literal added in front of a temporary string.
    const fs::path Candidate =
        Base / ('t' + std::to_string(Random()) + "_" + std::to_string(Counter++));
    if (fs::create_directory(Candidate)) {
      DirPath = Platform::FromNativePath(Candidate.string());
      break;
    }
  }
  if (DirPath.empty() || DirPath.back() != '\\') DirPath += '\\';
}

TScratchDir::~TScratchDir() { RemoveTree(DirPath); }

std::string BinaryDir() { return Platform::DirectoryPart(Platform::HostExePath()); }

bool FileExists(const std::string& Path) {
  std::error_code Error;
  return fs::exists(Native(Path), Error);
}

std::string ReadFileBytes(const std::string& Path) {
  std::ifstream In(Native(Path), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const std::string& Path, const std::string& Bytes) {
  std::ofstream Out(Native(Path), std::ios::binary | std::ios::trunc);
  Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
}

void RemoveTree(const std::string& Path) {
  std::error_code Error;
  fs::permissions(Native(Path), fs::perms::owner_all, fs::perm_options::add, Error);
  fs::remove_all(Native(Path), Error);
}

bool WaitUntil(const std::function<bool()>& Condition, uint32_t TimeoutMs) {
  const uint64_t Deadline = Platform::TickCountMs() + TimeoutMs;
  while (!Condition()) {
    if (Platform::TickCountMs() > Deadline) return false;
    Platform::SleepMs(1);
  }
  return true;
}

}  // namespace TestSupport
