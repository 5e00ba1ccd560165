// The file server's request handling: one request message in, one response
// message out, for the operations on the files under one root directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

class TParamList;

// Operation codes (the request's first byte).
constexpr uint8_t fsopList = 1;
constexpr uint8_t fsopInfo = 2;
constexpr uint8_t fsopRead = 3;
constexpr uint8_t fsopWrite = 4;
constexpr uint8_t fsopDelete = 5;
constexpr uint8_t fsopEcho = 6;

// Error codes (the response's second byte).
constexpr uint8_t fserrOk = 0;
constexpr uint8_t fserrUnknownOperation = 1;
constexpr uint8_t fserrBadParameter = 2;
constexpr uint8_t fserrOutsideRoot = 3;
constexpr uint8_t fserrNotFound = 4;
constexpr uint8_t fserrIoError = 5;
constexpr uint8_t fserrTooLarge = 6;
constexpr uint8_t fserrNotText = 7;

// Largest text read or written, and largest packed list in a response: a
// response always fits the client's 8192-byte buffer with room to spare.
constexpr size_t MaxTextSize = 4000;
constexpr size_t MaxResponseList = 8000;

// What one request was and how it ended, for the server's request line.
struct TRequestOutcome {
  bool Answered = false;  // false for the empty keep-alive message
  uint8_t Operation = 0;
  uint8_t Error = 0;
  std::string Path;  // the request's "Path" value, as sent
};

class TFileOperations {
public:
  // Root must be an existing directory; it is made canonical here.
  explicit TFileOperations(const std::filesystem::path& Root);

  // The response to one request message (operation byte, packed list): the
  // same operation byte, an error byte and a packed list that carries the
  // request's "UserData" item unchanged. Empty for the empty message. Safe for
  // any bytes and from several threads at once.
  std::string Handle(const std::string& Request, TRequestOutcome& Outcome) const;

  const std::filesystem::path& Root() const { return CanonicalRoot; }

private:
  uint8_t Dispatch(uint8_t Operation, const TParamList& In, TParamList& Out) const;
  uint8_t List(const TParamList& In, TParamList& Out) const;
  uint8_t Info(const TParamList& In, TParamList& Out) const;
  uint8_t Read(const TParamList& In, TParamList& Out) const;
  uint8_t Write(const TParamList& In, TParamList& Out) const;
  uint8_t Delete(const TParamList& In, TParamList& Out) const;
  // The file that Text names under the root. Text is relative, with "\" or
  // "/" between names; "..", a leading separator, a drive or any ':' are
  // refused, and so is any path that passes through a symbolic link (to
  // whatever target, missing targets included).
  uint8_t Resolve(const std::string& Text, std::filesystem::path& Result, TParamList& Out) const;

  std::filesystem::path CanonicalRoot;
};
