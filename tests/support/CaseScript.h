// A scenario case as data: the lines of a .case file (tests/cases/README.md)
// read into steps, and the two text forms the steps use: escaped bytes and
// line patterns.
#pragma once

#include <cstdint>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

namespace TestSupport {

// One line of a case: its number in the file, its first word and the rest.
struct TCaseStep {
  int Line = 0;
  std::string Verb;
  std::string Rest;
};

// Reads a case file: comments (#) and blank lines dropped, "define NAME TEXT"
// substituted for ${NAME} in the lines after it, "repeat N" ... "end" blocks
// written out N times ("repeat N VARIABLE": the environment variable's count
// instead, when it is set, and ${VARIABLE} the count below). Throws std::runtime_error naming the line at a fault.
std::vector<TCaseStep> ReadCase(const std::string& Text);

// The first word of Rest (taken off Rest); empty when none is left.
std::string TakeWord(std::string& Rest);

// "STEP => RESULT": RESULT (taken off Rest with the arrow; it may be empty),
// or the empty text when Rest has no arrow.
std::string TakeResult(std::string& Rest);
// Whether Value is in Range, "N" or "N..M".
bool InRange(long Value, const std::string& Range);

// Escaped bytes: \0 \r \n \t \\ \| \" \xHH, and {N*c} for N copies of the
// byte c (itself escaped or not). Throws std::runtime_error at a malformed
// escape.
std::string DecodeBytes(const std::string& Text);
// The opposite, for printing: printable ASCII as it is, the rest escaped.
std::string EscapeBytes(const std::string& Bytes);

// Whether Text matches Pattern (escaped as above), where {*} is any text,
// {n} one or more digits and {sys} a trimmed system text (not empty, no line
// end, not ending in a dot or a space).
bool MatchesPattern(const std::string& Pattern, const std::string& Text);

// A text check of a case line "HOW PATTERN": is (the whole text), has,
// lacks, starts. Throws std::runtime_error at another HOW.
bool TextCheck(const std::string& How, const std::string& Pattern, const std::string& Text);

// "a|b|c": the fields, each decoded as escaped bytes (\| is a bar inside one).
std::vector<std::string> SplitFields(const std::string& Text);
// How many of Lines match Pattern.
long CountMatching(const std::vector<std::string>& Lines, const std::string& Pattern);
// Each word of Rest decoded as escaped bytes.
std::vector<std::string> DecodedWords(std::string Rest);

// A count or milliseconds: the whole word in decimal digits, else it throws
// std::runtime_error (a mistyped line fails rather than reads as another number).
uint32_t Number(const std::string& Word);
// A signed value the same way: decimal digits after an optional sign.
int64_t Signed(const std::string& Word);
// A yes-or-no result as the cases write it: 1 or 0.
const char* Flag(bool Value);
// Text with every Name (a %NAME% of the kind's) replaced by Value.
std::string Replaced(std::string Text, const std::string& Name, const std::string& Value);

// The checks the kinds share, each true when it holds; Why then says what was seen.
// "STEP => WANTED": Got matches the pattern Wanted (the empty text when Wanted is).
bool ResultCheck(const std::string& Step, const std::string& Got, const std::string& Wanted, std::string& Why);
// "expect took N..M": the step's Ms in Range.
bool TookCheck(uint64_t Ms, const std::string& Range, std::string& Why);
// "expect WHAT HOW PATTERN" (HowPattern) about Text, as TextCheck checks it; Why holds the text.
bool TextExpect(const std::string& What, std::string HowPattern, const std::string& Text, std::string& Why);

// The steps every kind plays alike: "kind" and "label" (read before the case
// plays), "if-posix|if-win32|if-wine|if-not-wine STEP" (STEP on that side
// only, the prefix taken off Step) and "require faults-contained" (the rest of
// the case plays only where a fault inside a foreign call is caught: SkipRest
// set, and a line printed, where it is not). Whether Step is the kind's own.
bool OwnStep(TCaseStep& Step, bool& SkipRest);

// Plays Steps through Play(Step, Why), which returns whether the step and
// its checks held (Why says what failed); a throw fails the step with its
// message. Every failure is printed with its line; the rest still play.
template <typename TPlay>
bool PlaySteps(const std::vector<TCaseStep>& Steps, TPlay Play) {
  bool Passed = true;
  for (TCaseStep Step : Steps) {
    std::string Why;
    bool SkipRest = false;
    try {
      if (!OwnStep(Step, SkipRest)) {
        if (SkipRest) break;
        continue;
      }
      if (Play(static_cast<const TCaseStep&>(Step), Why)) continue;
    } catch (const std::exception& Error) {
      Why = Error.what();
    }
    std::printf("FAIL at line %d: %s\n", Step.Line, Why.c_str());
    Passed = false;
  }
  return Passed;
}

}  // namespace TestSupport
