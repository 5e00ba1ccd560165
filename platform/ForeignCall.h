// Calls into code the plug-in does not own (the host's callback, the
// transport library, the log client) with that code's faults contained: a
// structured exception raised inside the call that the foreign code does not
// handle itself leaves the call as EForeignFault, a C++ exception like any
// other failure of the caller's.
//
// The win32 backend puts a guard frame on the calling thread's own exception
// chain, so foreign code that handles its own exceptions deeper down keeps
// them (no vectored handler, the process's unhandled-exception filter is left
// alone); the foreign frames between the guard and the fault are unwound
// (their unwind handlers run) before the call returns by throwing. A stack
// overflow is let pass: it ends the process as it would without the guard,
// since resuming on a stack whose guard page is spent is not safe. C++
// exceptions of our own pass through the guard untouched (in the 32-bit
// build none can cross the frames of another module at all: each module's
// static runtime unwinds only through its own tables, and code from another
// compiler has none; so a callback handed to foreign code catches everything
// itself). The normal path makes no system call.
//
// The posix backend calls straight through: there are no structured
// exceptions natively, and faults are not turned into exceptions by signal
// tricks (a fault there ends the process as it would without the guard).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace Platform {

// How an access violation touched memory.
enum class TFaultAccess : uint8_t { None, Read, Write, Execute };

// What the guard learnt of a structured exception it caught.
struct TForeignFault {
  uint32_t Code = 0;                         // the exception code (C0000005 for an access violation)
  uintptr_t At = 0;                          // address of the instruction that raised it
  TFaultAccess Access = TFaultAccess::None;  // access violations only
  uintptr_t Address = 0;                     // the address accessed (access violations only)
};

constexpr uint32_t AccessViolationCode = 0xC0000005u;

// "access violation writing address 00000010 at 0041F68D" for an access
// violation, "exception E0ABC001 at 7B012866" for anything else; addresses in
// upper-case hex as wide as a pointer (8 digits in the 32-bit build, 16 in the
// 64-bit ones), codes in 8 digits.
inline std::string DescribeForeignFault(const TForeignFault& Fault) {
  const auto Hex = [](std::string& Text, uint64_t Value, int Digits) {
    for (int Shift = (Digits - 1) * 4; Shift >= 0; Shift -= 4) Text += "0123456789ABCDEF"[(Value >> Shift) & 0xF];
  };
  constexpr int PointerDigits = static_cast<int>(sizeof(uintptr_t) * 2);
  std::string Text;
  if (Fault.Code == AccessViolationCode && Fault.Access != TFaultAccess::None) {
    Text = Fault.Access == TFaultAccess::Read    ? "access violation reading address "
           : Fault.Access == TFaultAccess::Write ? "access violation writing address "
                                                 : "access violation executing address ";
    Hex(Text, Fault.Address, PointerDigits);
  } else {
    Text = "exception ";
    Hex(Text, Fault.Code, 8);
  }
  Text += " at ";
  Hex(Text, Fault.At, PointerDigits);
  return Text;
}

// A structured exception raised inside a guarded foreign call; what() is
// DescribeForeignFault's text.
class EForeignFault : public std::runtime_error {
public:
  explicit EForeignFault(const TForeignFault& Fault)
      : std::runtime_error(DescribeForeignFault(Fault)), Details(Fault) {}
  const TForeignFault& Fault() const { return Details; }

private:
  TForeignFault Details;
};

// Whether this backend turns faults into EForeignFault (true on win32; false
// natively, where the guard calls straight through).
bool ForeignFaultsContained();

// The core: calls Thunk(Context) on this thread. True when it returned; false
// when a structured exception raised inside it was caught, with Fault filled
// in and every frame above the guard unwound. A C++ exception thrown inside
// leaves GuardedCall as it came. Frames of our own C++ code between the guard
// and a fault are abandoned without their destructors (structured exceptions
// do not run them), so the guarded code itself should own nothing.
bool GuardedCall(void (*Thunk)(void* Context), void* Context, TForeignFault& Fault);

// Calls Function(Args...) under the guard and returns its result; a
// structured exception raised inside it is thrown as EForeignFault. Function
// is a plain function pointer of any calling convention (the stdcall entries
// of a library loaded at run time included); Args are passed by value (a
// pointer for anything the function writes).
template <typename TFunction, typename... TArgs>
auto CallForeign(TFunction Function, TArgs... Args) {
  using TResult = decltype(Function(Args...));
  TForeignFault Fault;
  if constexpr (std::is_void_v<TResult>) {
    auto Body = [&] { Function(Args...); };
    using TBody = decltype(Body);
    if (!GuardedCall([](void* Call) { (*static_cast<TBody*>(Call))(); }, &Body, Fault)) throw EForeignFault(Fault);
  } else {
    TResult Result{};
    auto Body = [&] { Result = Function(Args...); };
    using TBody = decltype(Body);
    if (!GuardedCall([](void* Call) { (*static_cast<TBody*>(Call))(); }, &Body, Fault)) throw EForeignFault(Fault);
    return Result;
  }
}

// Calls Function(Args...) under the guard without raising for a fault: its
// result (for a void function: true) when it returned; nothing (false) when a
// structured exception raised inside it was caught. No C++ exception is made
// on the way: for callers that must not raise and have no use for the text.
template <typename TFunction, typename... TArgs>
auto TryCallForeign(TFunction Function, TArgs... Args) {
  using TResult = decltype(Function(Args...));
  TForeignFault Fault;
  if constexpr (std::is_void_v<TResult>) {
    auto Body = [&] { Function(Args...); };
    using TBody = decltype(Body);
    return GuardedCall([](void* Call) { (*static_cast<TBody*>(Call))(); }, &Body, Fault);
  } else {
    TResult Value{};
    auto Body = [&] { Value = Function(Args...); };
    using TBody = decltype(Body);
    std::optional<TResult> Result;
    if (GuardedCall([](void* Call) { (*static_cast<TBody*>(Call))(); }, &Body, Fault)) Result = Value;
    return Result;
  }
}

}  // namespace Platform
