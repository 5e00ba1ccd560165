// The file server's operations on the files under its root, and the request
// and response message forms around them.
#include "standins/fileserver/FileOperations.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

#include "params/PackedParams.h"
#include "params/ParamList.h"

namespace fs = std::filesystem;

namespace {

// Notes the reason of a failure in the response and yields its code.
uint8_t Fail(TParamList& Out, uint8_t Code, const std::string& Reason) {
  Out.SetParam("Reason", Reason);
  return Code;
}

// The response list of a failure: the request's "UserData" and the reason.
TParamList FailureList(const TParamList& In, const std::string& Reason) {
  TParamList Out;
  const int UserData = In.FindParam("UserData");
  if (UserData >= 0) Out.Add(In.Item(UserData));
  Out.SetParam("Reason", Reason);
  return Out;
}

}  // namespace

TFileOperations::TFileOperations(const fs::path& Root) : CanonicalRoot(fs::canonical(Root)) {
  if (!fs::is_directory(CanonicalRoot)) throw std::runtime_error("root is not a directory: " + Root.string());
}

std::string TFileOperations::Handle(const std::string& Request, TRequestOutcome& Outcome) const {
  Outcome = TRequestOutcome();
  if (Request.empty()) return {};  // keep-alive: nothing to answer
  Outcome.Answered = true;
  Outcome.Operation = static_cast<uint8_t>(Request[0]);
  TParamList In;
  UnpackParams(In, Request.data() + 1, static_cast<int32_t>(Request.size() - 1));
  Outcome.Path = In.GetParam("Path");

  TParamList Out;
  const int UserData = In.FindParam("UserData");
  if (UserData >= 0) Out.Add(In.Item(UserData));
  uint8_t Error = fserrOk;
  try {
    Error = Dispatch(Outcome.Operation, In, Out);
  } catch (const std::exception& Failure) {
    Out = FailureList(In, std::string("I/O error: ") + Failure.what());
    Error = fserrIoError;
  }

  std::string Response(2 + MaxResponseList, '\0');
  size_t Count = 0;
  if (!PackParams(Out, Response.data() + 2, MaxResponseList, Count)) {
    Out = FailureList(In, "response of " + std::to_string(Count) + " bytes exceeds " +
                              std::to_string(MaxResponseList));
    Error = fserrTooLarge;
    if (!PackParams(Out, Response.data() + 2, MaxResponseList, Count)) Count = 0;  // UserData alone too big
  }
  Response.resize(2 + Count);
  Response[0] = static_cast<char>(Outcome.Operation);
  Response[1] = static_cast<char>(Error);
  Outcome.Error = Error;
  return Response;
}

uint8_t TFileOperations::Dispatch(uint8_t Operation, const TParamList& In, TParamList& Out) const {
  switch (Operation) {
    case fsopList: return List(In, Out);
    case fsopInfo: return Info(In, Out);
    case fsopRead: return Read(In, Out);
    case fsopWrite: return Write(In, Out);
    case fsopDelete: return Delete(In, Out);
    case fsopEcho:
      Out = In;
      return fserrOk;
    default: return Fail(Out, fserrUnknownOperation, "unknown operation " + std::to_string(Operation));
  }
}

uint8_t TFileOperations::Resolve(const std::string& Text, fs::path& Result, TParamList& Out) const {
  if (Text.empty()) return Fail(Out, fserrBadParameter, "Path is missing");
  if (Text.find(':') != std::string::npos || Text[0] == '/' || Text[0] == '\\') {
    return Fail(Out, fserrOutsideRoot, "Path must be relative to the root");
  }
  fs::path Relative;
  size_t Start = 0;
  while (Start <= Text.size()) {
    const size_t End = std::min(Text.find_first_of("/\\", Start), Text.size());
    const std::string Name = Text.substr(Start, End - Start);
    if (Name == "..") return Fail(Out, fserrOutsideRoot, "Path leaves the root");
    if (!Name.empty() && Name != ".") Relative /= Name;
    Start = End + 1;
  }
  // Without "..", the names lead out of the root only through a symbolic
  // link, and a link whose target is missing would be followed by a write
  // that creates its target anywhere: so no name on the way may be a link,
  // whatever it points to. The walk ends at the first name that does not
  // exist, below which nothing can.
  fs::path Candidate = CanonicalRoot;
  bool Exists = true;
  for (const fs::path& Name : Relative) {
    Candidate /= Name;
    if (!Exists) continue;
    std::error_code Code;
    const fs::file_status Status = fs::symlink_status(Candidate, Code);
    if (Code && Status.type() != fs::file_type::not_found) {
      return Fail(Out, fserrIoError, "cannot resolve Path: " + Code.message());
    }
    if (fs::is_symlink(Status)) return Fail(Out, fserrOutsideRoot, "Path passes through a symbolic link");
    Exists = fs::exists(Status);
  }
  Result = Candidate;
  return fserrOk;
}

uint8_t TFileOperations::List(const TParamList& In, TParamList& Out) const {
  fs::path Folder = CanonicalRoot;
  const std::string Path = In.GetParam("Path");
  if (!Path.empty()) {
    if (const uint8_t Error = Resolve(Path, Folder, Out)) return Error;
  }
  std::error_code Code;
  const fs::file_status Status = fs::symlink_status(Folder, Code);
  if (!fs::exists(Status)) return Fail(Out, fserrNotFound, "no such folder");
  if (!fs::is_directory(Status)) return Fail(Out, fserrBadParameter, "Path is not a folder");
  std::vector<std::string> Names;
  for (fs::directory_iterator Entry(Folder, Code), End; !Code && Entry != End; Entry.increment(Code)) {
    std::error_code KindCode;
    const bool IsFolder = Entry->is_directory(KindCode);
    Names.push_back(Entry->path().filename().string() + (IsFolder ? "\\" : ""));
  }
  if (Code) return Fail(Out, fserrIoError, "cannot list the folder: " + Code.message());
  std::sort(Names.begin(), Names.end());
  Out.Add("Count=" + std::to_string(Names.size()));
  for (size_t Index = 0; Index < Names.size(); ++Index) {
    Out.Add("Item" + std::to_string(Index + 1) + "=" + Names[Index]);
  }
  return fserrOk;
}

uint8_t TFileOperations::Info(const TParamList& In, TParamList& Out) const {
  fs::path File;
  if (const uint8_t Error = Resolve(In.GetParam("Path"), File, Out)) return Error;
  std::error_code Code;
  const fs::file_status Status = fs::symlink_status(File, Code);
  if (!fs::exists(Status)) return Fail(Out, fserrNotFound, "no such file or folder");
  if (fs::is_regular_file(Status)) {
    const uintmax_t Size = fs::file_size(File, Code);
    if (Code) return Fail(Out, fserrIoError, "cannot read the size: " + Code.message());
    Out.Add("Kind=file");
    Out.Add("Size=" + std::to_string(Size));
  } else {
    Out.Add(fs::is_directory(Status) ? "Kind=dir" : "Kind=other");
    Out.Add("Size=0");
  }
  return fserrOk;
}

uint8_t TFileOperations::Read(const TParamList& In, TParamList& Out) const {
  fs::path File;
  if (const uint8_t Error = Resolve(In.GetParam("Path"), File, Out)) return Error;
  // Only a regular file is opened: a FIFO or a device could hold the
  // client's thread in the open or the read.
  std::error_code Code;
  const fs::file_status Status = fs::symlink_status(File, Code);
  if (!fs::exists(Status)) return Fail(Out, fserrNotFound, "no such file");
  if (!fs::is_regular_file(Status)) return Fail(Out, fserrBadParameter, "Path is not a file");
  const uintmax_t Size = fs::file_size(File, Code);
  if (Code) return Fail(Out, fserrIoError, "cannot read the size: " + Code.message());
  if (Size > MaxTextSize) {
    return Fail(Out, fserrTooLarge, "file of " + std::to_string(Size) + " bytes exceeds " + std::to_string(MaxTextSize));
  }
  std::ifstream Stream(File, std::ios::binary);
  std::string Data((std::istreambuf_iterator<char>(Stream)), std::istreambuf_iterator<char>());
  if (!Stream.good() && !Stream.eof()) return Fail(Out, fserrIoError, "cannot read the file");
  if (Data.size() > MaxTextSize) return Fail(Out, fserrTooLarge, "file grew while read");
  if (Data.find('\0') != std::string::npos) return Fail(Out, fserrNotText, "file holds a NUL byte");
  Out.Add("Size=" + std::to_string(Data.size()));
  Out.Add("Data=" + Data);
  return fserrOk;
}

uint8_t TFileOperations::Write(const TParamList& In, TParamList& Out) const {
  fs::path File;
  if (const uint8_t Error = Resolve(In.GetParam("Path"), File, Out)) return Error;
  if (In.FindParam("Data") < 0) return Fail(Out, fserrBadParameter, "Data is missing");
  const std::string Data = In.GetParam("Data");
  if (Data.size() > MaxTextSize) {
    return Fail(Out, fserrTooLarge, "Data of " + std::to_string(Data.size()) + " bytes exceeds " + std::to_string(MaxTextSize));
  }
  // Only a regular file is replaced, and a new one is created exclusively
  // ("x": nothing that appeared meanwhile, a link above all, is followed).
  std::error_code Code;
  const fs::file_status Status = fs::symlink_status(File, Code);
  if (File == CanonicalRoot || fs::is_directory(Status)) return Fail(Out, fserrBadParameter, "Path is a folder");
  if (fs::exists(Status) && !fs::is_regular_file(Status)) {
    return Fail(Out, fserrBadParameter, "Path is not a regular file");
  }
  if (!fs::is_directory(fs::symlink_status(File.parent_path(), Code))) {
    return Fail(Out, fserrNotFound, "no such folder");
  }
  std::FILE* Stream = std::fopen(File.c_str(), fs::exists(Status) ? "wb" : "wbx");
  if (Stream == nullptr) return Fail(Out, fserrIoError, "cannot open the file");
  const bool Written = std::fwrite(Data.data(), 1, Data.size(), Stream) == Data.size();
  if (std::fclose(Stream) != 0 || !Written) return Fail(Out, fserrIoError, "cannot write the file");
  Out.Add("Size=" + std::to_string(Data.size()));
  return fserrOk;
}

uint8_t TFileOperations::Delete(const TParamList& In, TParamList& Out) const {
  fs::path File;
  if (const uint8_t Error = Resolve(In.GetParam("Path"), File, Out)) return Error;
  std::error_code Code;
  const fs::file_status Status = fs::symlink_status(File, Code);
  if (!fs::exists(Status)) return Fail(Out, fserrNotFound, "no such file");
  if (fs::is_directory(Status)) return Fail(Out, fserrBadParameter, "Path is a folder");
  if (!fs::remove(File, Code) || Code) return Fail(Out, fserrIoError, "cannot delete the file: " + Code.message());
  return fserrOk;
}
