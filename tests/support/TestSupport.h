// Helpers shared by the test suites: scratch folders and whole-file reads,
// on Windows-form paths as the code under test sees them, and polling.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace TestSupport {

// A fresh, empty folder for one test, removed with everything in it when the
// object goes. Path() ends with "\".
class TScratchDir {
public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return DirPath; }

private:
  std::string DirPath;
};

// Windows-form path of the folder that holds the running test program (and
// every binary of the build).
std::string BinaryDir();

bool FileExists(const std::string& Path);
std::string ReadFileBytes(const std::string& Path);  // empty when missing
void WriteFileBytes(const std::string& Path, const std::string& Bytes);
void RemoveTree(const std::string& Path);

// Polls Condition every millisecond: true once it holds, false when TimeoutMs
// passed first.
bool WaitUntil(const std::function<bool()>& Condition, uint32_t TimeoutMs = 20000);

}  // namespace TestSupport
