// Automation objects and variants: create a component by its identifier, then
// read, write and call its members by name with typed arguments. On Windows this
// is COM automation; on Linux an in-process host with the same contract.
//
// Nothing here throws or shows a message: a failed access gives the empty value of
// the requested type and leaves a negative code in the thread's last automation
// error (0 after a successful access).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "platform/automation.h"
#include "runtime/value.h"

namespace tobrine::text {

// The codes of a failed access (platform/automation.h holds the table).
using platform::AutomationError;

// The meaning of a code of the table; empty for any other.
std::string_view AutomationErrorMessage(int32_t code);
// The calling thread's last automation error.
int32_t LastAutomationError();

// ---------------------------------------------------------------------------
// ComObject: one counted reference to an automation object, or none. Copies add
// a reference; clearing or overwriting releases the one held.

class ComObject {
 public:
  ComObject() = default;
  ComObject(const ComObject& other);
  ComObject& operator=(const ComObject& other);
  ComObject(ComObject&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComObject& operator=(ComObject&& other) noexcept;
  ~ComObject() { Clear(); }

  // Takes over a reference the caller owns (platform code).
  static ComObject Adopt(void* object) {
    ComObject c;
    c.object_ = object;
    return c;
  }
  void Clear();
  bool IsEmpty() const { return object_ == nullptr; }
  // The platform's object pointer (IUnknown* on Windows), still owned by this value.
  void* get() const { return object_; }

 private:
  void* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Variant: an owned heap copy of one automation value; empty when it holds none.

class Variant {
 public:
  Variant() = default;
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  Variant(Variant&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
  Variant& operator=(Variant&& other) noexcept;
  ~Variant() { Clear(); }

  // Takes over a heap value (platform code).
  static Variant Adopt(void* value) {
    Variant v;
    v.value_ = value;
    return v;
  }
  void Clear();
  // No value at all, or a value of the empty type.
  bool IsEmpty() const;
  void* get() const { return value_; }

 private:
  void* value_ = nullptr;
};

// ---------------------------------------------------------------------------
// Member-call arguments: a typed value, a reference to a variable of that type
// (written back when the member declares the parameter as an output), or absent.

struct AutomationArg {
  using Kind = platform::AutomationValue::Kind;
  Kind kind = Kind::kAbsent;
  std::string_view text;
  bool boolean = false;
  int32_t int32 = 0;
  double number = 0;
  void* variable = nullptr;  // TextValue*, bool*, int32_t* or double* when by reference

  static AutomationArg Absent() { return {}; }
  static AutomationArg Text(std::string_view v) {
    return Make(Kind::kText, [&](auto& a) { a.text = v; });
  }
  static AutomationArg Boolean(bool v) {
    return Make(Kind::kBoolean, [&](auto& a) { a.boolean = v; });
  }
  static AutomationArg Int32(int32_t v) {
    return Make(Kind::kInt32, [&](auto& a) { a.int32 = v; });
  }
  static AutomationArg Double(double v) {
    return Make(Kind::kDouble, [&](auto& a) { a.number = v; });
  }
  // A value of a runtime kind with no automation form (a byte block, an array...).
  static AutomationArg Other() {
    return Make(Kind::kOther, [](auto&) {});
  }
  static AutomationArg Ref(TextValue& v) {
    return MakeRef(Kind::kText, &v, [&](auto& a) { a.text = v.view(); });
  }
  static AutomationArg Ref(bool& v) {
    return MakeRef(Kind::kBoolean, &v, [&](auto& a) { a.boolean = v; });
  }
  static AutomationArg Ref(int32_t& v) {
    return MakeRef(Kind::kInt32, &v, [&](auto& a) { a.int32 = v; });
  }
  static AutomationArg Ref(double& v) {
    return MakeRef(Kind::kDouble, &v, [&](auto& a) { a.number = v; });
  }

  bool absent() const { return kind == Kind::kAbsent; }
  bool byReference() const { return variable != nullptr; }

 private:
  template <typename F>
  static AutomationArg Make(Kind k, F set) {
    AutomationArg a;
    a.kind = k;
    set(a);
    return a;
  }
  template <typename F>
  static AutomationArg MakeRef(Kind k, void* var, F set) {
    AutomationArg a = Make(k, set);
    a.variable = var;
    return a;
  }
};

using AutomationArgs = std::span<const AutomationArg>;
using ArgList = std::initializer_list<AutomationArg>;
inline AutomationArgs Span(ArgList args) {
  return AutomationArgs(args.begin(), args.size());
}

using platform::AccessKind;
using platform::ResultType;

// What a member access gave; only the field of the requested type is set.
struct InvokeResult {
  TextValue text;
  double number = 0;
  bool boolean = false;
  ComObject object;
  Variant variant;
};

// Creates an object from a programmatic identifier or a "{...}" class identifier.
// On failure the target keeps what it held.
bool Create(ComObject& target, std::string_view identifier);
inline void Clear(ComObject& object) {
  object.Clear();
}
inline bool IsEmpty(const ComObject& object) {
  return object.IsEmpty();
}

// The one member access routine; records the thread's last automation error.
InvokeResult InvokeByName(const ComObject& object, std::string_view name, AccessKind kind,
                          AutomationArgs args, ResultType type);

TextValue ReadText(const ComObject& object, std::string_view name, ArgList args = {});
double ReadNumber(const ComObject& object, std::string_view name, ArgList args = {});
ComObject ReadObject(const ComObject& object, std::string_view name, ArgList args = {});
Variant ReadVariant(const ComObject& object, std::string_view name, ArgList args = {});
// True exactly when the last automation error after the put is 0.
bool WriteProperty(const ComObject& object, std::string_view name, const AutomationArg& value);
TextValue CallText(const ComObject& object, std::string_view name, ArgList args = {});
ComObject CallObject(const ComObject& object, std::string_view name, ArgList args = {});

// The value as text (by-reference values followed); the empty text when it is
// empty or does not convert.
TextValue VariantToText(const Variant& value);
inline void ClearVariant(Variant& value) {
  value.Clear();
}

namespace detail {

// Text across the automation boundary, in the system's ANSI code page through the
// bound conversion functions. Widen stops at the first NUL.
std::u16string Widen(std::string_view text);
TextValue Narrow(std::u16string_view text);

}  // namespace detail
}  // namespace tobrine::text
