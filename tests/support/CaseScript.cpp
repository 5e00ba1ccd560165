// Reading case files, escaped bytes and line patterns.
#include "tests/support/CaseScript.h"

#include <cctype>
#include <cstdlib>
#include <map>
#include <stdexcept>

#include "platform/ForeignCall.h"
#include "platform/testing/WineProbe.h"

namespace TestSupport {

namespace {

std::string Trimmed(const std::string& Text) {
  const size_t First = Text.find_first_not_of(" \t\r");
  if (First == std::string::npos) return std::string();
  return Text.substr(First, Text.find_last_not_of(" \t\r") - First + 1);
}

std::string Substituted(std::string Text, const std::map<std::string, std::string>& Names) {
  for (size_t At = Text.find("${"); At != std::string::npos; At = Text.find("${", At)) {
    const size_t End = Text.find('}', At);
    const auto Found =
        End == std::string::npos ? Names.end() : Names.find(Text.substr(At + 2, End - At - 2));
    if (Found == Names.end()) throw std::runtime_error("unknown name in " + Text);
    Text.replace(At, End - At + 1, Found->second);
    At += Found->second.size();
  }
  return Text;
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  throw std::runtime_error(std::string("bad hex digit '") + C + "'");
}

// The wildcards of a pattern; a literal piece between them is escaped bytes.
const char* const Wildcards[] = {"{*}", "{n}", "{sys}"};

bool MatchFrom(const std::vector<std::string>& Parts, size_t Part, const std::string& Text,
               size_t At) {
  if (Part == Parts.size()) return At == Text.size();
  const std::string& Token = Parts[Part];
  if (Token != Wildcards[0] && Token != Wildcards[1] && Token != Wildcards[2]) {
    return Text.compare(At, Token.size(), Token) == 0 &&
           MatchFrom(Parts, Part + 1, Text, At + Token.size());
  }
  for (size_t End = Text.size(); End + 1 > At; --End) {  // longest first
    const std::string Piece = Text.substr(At, End - At);
    bool Fits = true;
    if (Token == "{n}") {
      Fits = !Piece.empty();
      for (const char C : Piece) Fits = Fits && std::isdigit(static_cast<unsigned char>(C));
    } else if (Token == "{sys}") {
      Fits = !Piece.empty() && Piece.find_first_of("\r\n") == std::string::npos &&
             Piece.back() != '.' && static_cast<unsigned char>(Piece.back()) > ' ';
    }
    if (Fits && MatchFrom(Parts, Part + 1, Text, End)) return true;
    if (End == At) break;
  }
  return false;
}

}  // namespace

std::vector<TCaseStep> ReadCase(const std::string& Text) {
  std::vector<TCaseStep> Steps;
  std::map<std::string, std::string> Names;
  struct TBlock {
    size_t First;
    int Times;
  };
  std::vector<TBlock> Blocks;
  size_t Start = 0;
  for (int Number = 1; Start < Text.size(); ++Number) {
    size_t End = Text.find('\n', Start);
    if (End == std::string::npos) End = Text.size();
    std::string Line = Trimmed(Text.substr(Start, End - Start));
    Start = End + 1;
    if (Line.empty() || Line[0] == '#') continue;
    try {
      TCaseStep Step{Number, TakeWord(Line), Substituted(Line, Names)};
      if (Step.Verb == "define") {
        const std::string Name = TakeWord(Step.Rest);
        Names[Name] = Step.Rest;
      } else if (Step.Verb == "repeat") {  // repeat N [VARIABLE]: the variable's count when set
        int Times = static_cast<int>(TestSupport::Number(TakeWord(Step.Rest)));
        const char* Wanted = Step.Rest.empty() ? nullptr : std::getenv(Step.Rest.c_str());
        if (Wanted != nullptr && std::atoi(Wanted) > 0) Times = std::atoi(Wanted);
        if (!Step.Rest.empty()) Names[Step.Rest] = std::to_string(Times);
        Blocks.push_back({Steps.size(), Times});
      } else if (Step.Verb == "end") {
        if (Blocks.empty()) throw std::runtime_error("end without repeat");
        const TBlock Block = Blocks.back();
        Blocks.pop_back();
        const std::vector<TCaseStep> Body(Steps.begin() + static_cast<long>(Block.First),
                                          Steps.end());
        for (int Time = 1; Time < Block.Times; ++Time)
          Steps.insert(Steps.end(), Body.begin(), Body.end());
      } else {
        Steps.push_back(Step);
      }
    } catch (const std::exception& Error) {
      throw std::runtime_error("line " + std::to_string(Number) + ": " + Error.what());
    }
  }
  if (!Blocks.empty()) throw std::runtime_error("repeat without end");
  return Steps;
}

std::string TakeWord(std::string& Rest) {
  const size_t Space = Rest.find(' ');
  std::string Word = Rest.substr(0, Space);
  Rest = Space == std::string::npos ? std::string() : Trimmed(Rest.substr(Space + 1));
  return Word;
}

std::string TakeResult(std::string& Rest) {
  if (Rest.rfind("=>", 0) == 0) Rest.insert(0, " ");  // a step of no words but its result
  const size_t Arrow = Rest.rfind(" =>");
  if (Arrow == std::string::npos || (Arrow + 3 < Rest.size() && Rest[Arrow + 3] != ' ')) return "";
  std::string Result = Arrow + 4 < Rest.size() ? Rest.substr(Arrow + 4) : std::string();
  Rest.erase(Arrow);
  return Result;
}

bool InRange(long Value, const std::string& Range) {
  const size_t Dots = Range.find("..");
  const long Low = static_cast<long>(Signed(Range.substr(0, Dots)));
  const long High = Dots == std::string::npos ? Low : static_cast<long>(Signed(Range.substr(Dots + 2)));
  return Value >= Low && Value <= High;
}

namespace {

// The byte at Text[I], escaped or as it is; I moves past it.
char DecodeUnit(const std::string& Text, size_t& I) {
  const char C = Text[I++];
  if (C != '\\') return C;
  if (I == Text.size()) throw std::runtime_error("lone \\ at the end of " + Text);
  switch (const char Next = Text[I++]) {
    case '0': return '\0';
    case 'r': return '\r';
    case 'n': return '\n';
    case 't': return '\t';
    case '\\': case '|': case '"': return Next;
    case 'x':
      if (I + 2 > Text.size()) throw std::runtime_error("short \\x in " + Text);
      I += 2;
      return static_cast<char>(HexDigit(Text[I - 2]) * 16 + HexDigit(Text[I - 1]));
    default:
      throw std::runtime_error("unknown escape in " + Text);
  }
}

}  // namespace

std::string DecodeBytes(const std::string& Text) {
  std::string Bytes;
  for (size_t I = 0; I < Text.size();) {
    if (Text[I] != '{') {
      Bytes += DecodeUnit(Text, I);
      continue;
    }
    const size_t Star = Text.find('*', I);
    if (Star == std::string::npos || Star == I + 1 ||
        Text.find_first_not_of("0123456789", I + 1) != Star || Star + 1 >= Text.size())
      throw std::runtime_error("bad {N*c} in " + Text);
    size_t At = Star + 1;
    const char Byte = DecodeUnit(Text, At);
    if (At >= Text.size() || Text[At] != '}') throw std::runtime_error("bad {N*c} in " + Text);
    Bytes.append(std::stoul(Text.substr(I + 1, Star - I - 1)), Byte);
    I = At + 1;
  }
  return Bytes;
}

std::string EscapeBytes(const std::string& Bytes) {
  static const char Hex[] = "0123456789ABCDEF";
  std::string Text;
  for (size_t I = 0; I < Bytes.size(); ++I) {
    const unsigned char C = static_cast<unsigned char>(Bytes[I]);
    size_t Run = 1;
    while (I + Run < Bytes.size() && Bytes[I + Run] == Bytes[I]) ++Run;
    if (Run > 16 && C > ' ' && C < 0x7F) {  // long runs as {N*c}
      Text += "{" + std::to_string(Run) + "*" + static_cast<char>(C) + "}";
      I += Run - 1;
    } else if (C == 0 || C == '\n' || C == '\r') {
      Text += C == 0 ? "\\0" : C == '\n' ? "\\n" : "\\r";
    } else if (C == '\\' || C == '{') {
      Text += C == '\\' ? "\\\\" : "\\x7B";
    } else if (C >= ' ' && C < 0x7F) {
      Text += static_cast<char>(C);
    } else {
      Text += std::string("\\x") + Hex[C >> 4] + Hex[C & 15];
    }
  }
  return Text;
}

bool MatchesPattern(const std::string& Pattern, const std::string& Text) {
  std::vector<std::string> Parts;
  size_t Literal = 0;
  for (size_t At = 0; At < Pattern.size();) {
    const char* Found = nullptr;
    for (const char* Wildcard : Wildcards) {
      if (Pattern.compare(At, std::char_traits<char>::length(Wildcard), Wildcard) == 0)
        Found = Wildcard;
    }
    if (Found == nullptr) {
      At += Pattern[At] == '\\' ? 2 : 1;
      continue;
    }
    if (At > Literal) Parts.push_back(DecodeBytes(Pattern.substr(Literal, At - Literal)));
    Parts.emplace_back(Found);
    At += std::char_traits<char>::length(Found);
    Literal = At;
  }
  if (Literal < Pattern.size()) Parts.push_back(DecodeBytes(Pattern.substr(Literal)));
  return MatchFrom(Parts, 0, Text, 0);
}

bool TextCheck(const std::string& How, const std::string& Pattern, const std::string& Text) {
  if (How == "is") return MatchesPattern(Pattern, Text);
  if (How == "has" || How == "lacks")
    return MatchesPattern("{*}" + Pattern + "{*}", Text) == (How == "has");
  if (How == "starts") return MatchesPattern(Pattern + "{*}", Text);
  throw std::runtime_error("unknown text check " + How);
}

std::vector<std::string> SplitFields(const std::string& Text) {
  std::vector<std::string> Found;
  size_t Start = 0;
  for (size_t At = 0; At < Text.size(); ++At) {
    if (Text[At] == '\\') {
      ++At;  // an escaped byte, \| among them, stays in its field
    } else if (Text[At] == '|') {
      Found.push_back(DecodeBytes(Text.substr(Start, At - Start)));
      Start = At + 1;
    }
  }
  Found.push_back(DecodeBytes(Text.substr(Start)));
  return Found;
}

long CountMatching(const std::vector<std::string>& Lines, const std::string& Pattern) {
  long Count = 0;
  for (const std::string& Line : Lines) Count += MatchesPattern(Pattern, Line) ? 1 : 0;
  return Count;
}

std::vector<std::string> DecodedWords(std::string Rest) {
  std::vector<std::string> Words;
  while (!Rest.empty()) Words.push_back(DecodeBytes(TakeWord(Rest)));
  return Words;
}

uint32_t Number(const std::string& Word) {
  if (Word.empty() || Word.size() > 10 || Word.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(Word) > UINT32_MAX)
    throw std::runtime_error("not a number: '" + Word + "'");
  return static_cast<uint32_t>(std::stoull(Word));
}

int64_t Signed(const std::string& Word) {
  const size_t Digits = !Word.empty() && (Word[0] == '-' || Word[0] == '+') ? 1 : 0;
  if (Word.size() == Digits || Word.size() > Digits + 18 ||
      Word.find_first_not_of("0123456789", Digits) != std::string::npos)
    throw std::runtime_error("not a number: '" + Word + "'");
  return std::stoll(Word);
}

const char* Flag(bool Value) { return Value ? "1" : "0"; }

std::string Replaced(std::string Text, const std::string& Name, const std::string& Value) {
  for (size_t At = Text.find(Name); At != std::string::npos; At = Text.find(Name, At + Value.size()))
    Text.replace(At, Name.size(), Value);
  return Text;
}

bool ResultCheck(const std::string& Step, const std::string& Got, const std::string& Wanted, std::string& Why) {
  Why = Step + " gave " + EscapeBytes(Got) + ", expected " + (Wanted.empty() ? "no result" : Wanted);
  return MatchesPattern(Wanted, Got);
}

bool TookCheck(uint64_t Ms, const std::string& Range, std::string& Why) {
  Why = "took " + std::to_string(Ms) + " ms, expected " + Range;
  return InRange(static_cast<long>(Ms), Range);
}

bool TextExpect(const std::string& What, std::string HowPattern, const std::string& Text, std::string& Why) {
  const std::string How = TakeWord(HowPattern);
  Why = What + " " + How + " " + HowPattern + "; it was:\n" + EscapeBytes(Text);
  return TextCheck(How, HowPattern, Text);
}

bool OwnStep(TCaseStep& Step, bool& SkipRest) {
  if (Step.Verb == "kind" || Step.Verb == "label") return false;
  if (Step.Verb == "require") {
    if (Step.Rest != "faults-contained") throw std::runtime_error("unknown condition " + Step.Rest);
    SkipRest = !Platform::ForeignFaultsContained();
    if (SkipRest) std::printf("skipped: natively a fault cannot be caught\n");
    return false;
  }
#ifdef _WIN32
  const bool Win32 = true;
#else
  const bool Win32 = false;
#endif
  const std::string& V = Step.Verb;
  if (V != "if-posix" && V != "if-win32" && V != "if-wine" && V != "if-not-wine") return true;
  const bool Here =
      V == "if-posix" ? !Win32 : V == "if-win32" ? Win32 : (V == "if-wine") == Platform::RunningUnderWine();
  Step.Verb = TakeWord(Step.Rest);
  return Here && OwnStep(Step, SkipRest);
}

}  // namespace TestSupport
