// Automation objects on each system, under the text layer's automation API
// (text/automation.h). Each port implements every function declared here:
// win32/automation.cpp (COM automation through IDispatch, names bound through
// the object's type information) and posix/automation.cpp (the in-process host
// and its one component, "VBScript.RegExp"). Objects and values cross as
// opaque pointers; texts cross as UTF-16.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tobrine::platform {

// The codes of a failed access, with their meaning: one table for the ports and
// the text layer.
#define TOBRINE_AUTOMATION_ERRORS(X)                                          \
  X(kAutomationOk, 0, "success")                                              \
  X(kAutomationEmptyObject, -1, "the object is empty")                        \
  X(kAutomationNoDispatch, -2, "the object offers no IDispatch")              \
  X(kAutomationNoMember, -3, "no member of that name for this access")        \
  X(kAutomationNoTypeInfo, -4, "the object offers no type information")       \
  X(kAutomationTooManyArgs, -5, "more arguments than the member takes")       \
  X(kAutomationBadArgKind, -7, "an argument of a kind that cannot be passed") \
  X(kAutomationBadResult, -8, "the result cannot be converted")               \
  X(kAutomationBadParamCount, -9, "DISP_E_BADPARAMCOUNT")                     \
  X(kAutomationBadVarType, -10, "DISP_E_BADVARTYPE")                          \
  X(kAutomationException, -11, "DISP_E_EXCEPTION")                            \
  X(kAutomationMemberNotFound, -12, "DISP_E_MEMBERNOTFOUND")                  \
  X(kAutomationNoNamedArgs, -13, "DISP_E_NONAMEDARGS")                        \
  X(kAutomationOverflow, -14, "DISP_E_OVERFLOW")                              \
  X(kAutomationParamNotFound, -15, "DISP_E_PARAMNOTFOUND")                    \
  X(kAutomationTypeMismatch, -16, "DISP_E_TYPEMISMATCH")                      \
  X(kAutomationParamNotOptional, -17, "DISP_E_PARAMNOTOPTIONAL")              \
  X(kAutomationInvokeFailed, -18, "any other failure of Invoke")

enum AutomationError : int32_t {
#define TOBRINE_AUTOMATION_ENUM(name, code, text) name = code,
  TOBRINE_AUTOMATION_ERRORS(TOBRINE_AUTOMATION_ENUM)
#undef TOBRINE_AUTOMATION_ENUM
};

enum class AccessKind { kPropertyGet, kPropertyPut, kMethodCall };
enum class ResultType { kNone, kText, kNumber, kBoolean, kObject, kVariant };

// One argument of a member access.
struct AutomationValue {
  enum class Kind { kAbsent, kText, kBoolean, kInt32, kDouble, kOther };
  Kind kind = Kind::kAbsent;  // kOther: a value with no automation form
  std::u16string text;
  bool boolean = false;
  int32_t int32 = 0;
  double number = 0;
  bool byReference = false;  // the caller takes the member's output value back
  bool written = false;      // set by the port: the field of `kind` holds the output
};

// What an access gave: only the field of the requested type is set. `object`
// and `variant` are references the caller then owns.
struct AutomationResult {
  std::u16string text;
  double number = 0;
  bool boolean = false;
  void* object = nullptr;
  void* variant = nullptr;
};

// Creates an object from a programmatic identifier, or from a class identifier
// in braces ("{...}"), and gives the caller its one reference in `object`.
// False, and `object` untouched, when the system cannot create it.
bool CreateAutomationObject(const std::u16string& identifier, void** object);

// Adds one reference to an object / gives one back (the last frees it).
void AddAutomationReference(void* object);
void ReleaseAutomationReference(void* object);

// Frees a value that a kVariant result handed out.
void FreeAutomationValue(void* value);
// Whether the value is of the empty type.
bool AutomationValueIsEmpty(const void* value);
// The value as text, references followed; false when it does not convert.
bool AutomationValueToText(const void* value, std::u16string& text);

// Reads (kPropertyGet), writes (kPropertyPut, value last in `args`) or calls
// member `name` of `object`, bound without regard to case, with `args` in order
// (trailing absent ones are not passed). Returns 0 and fills `result` with the
// requested type, or returns a negative code of the table above and leaves
// `result` empty. Arguments the member declares as outputs come back in their
// own fields when the caller asked by reference.
int32_t InvokeAutomationMember(void* object, const std::u16string& name, AccessKind kind,
                               std::span<AutomationValue> args, ResultType type,
                               AutomationResult& result);

}  // namespace tobrine::platform
