// Automation on Linux: objects of the in-process host, bound by member name
// without regard to case, with the error codes of the COM build.
#include "platform/automation.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

#include "platform/posix/automation_host.h"

namespace tobrine::posix {

// --- HostValue ---------------------------------------------------------------

HostValue::HostValue(const HostValue& other)
    : type(other.type),
      boolean(other.boolean),
      int32(other.int32),
      number(other.number),
      text(other.text),
      object(other.object) {
  if (object) object->AddRef();
}

HostValue& HostValue::operator=(const HostValue& other) {
  if (this != &other) *this = HostValue(other);
  return *this;
}

HostValue::HostValue(HostValue&& other) noexcept
    : type(std::exchange(other.type, Type::kEmpty)),
      boolean(other.boolean),
      int32(other.int32),
      number(other.number),
      text(std::move(other.text)),
      object(std::exchange(other.object, nullptr)) {}

HostValue& HostValue::operator=(HostValue&& other) noexcept {
  if (this != &other) {
    if (object) object->Release();
    type = std::exchange(other.type, Type::kEmpty);
    boolean = other.boolean;
    int32 = other.int32;
    number = other.number;
    text = std::move(other.text);
    object = std::exchange(other.object, nullptr);
  }
  return *this;
}

HostValue::~HostValue() {
  if (object) object->Release();
}

HostValue HostValue::Boolean(bool v) {
  HostValue h;
  h.type = Type::kBoolean;
  h.boolean = v;
  return h;
}
HostValue HostValue::Int32(int32_t v) {
  HostValue h;
  h.type = Type::kInt32;
  h.int32 = v;
  return h;
}
HostValue HostValue::Double(double v) {
  HostValue h;
  h.type = Type::kDouble;
  h.number = v;
  return h;
}
HostValue HostValue::Text(std::u16string v) {
  HostValue h;
  h.type = Type::kText;
  h.text = std::move(v);
  return h;
}
HostValue HostValue::Object(HostObject* v) {
  HostValue h;
  h.type = v ? Type::kObject : Type::kEmpty;
  h.object = v;
  return h;
}
HostValue HostValue::Missing() {
  HostValue h;
  h.type = Type::kMissing;
  return h;
}

// --- Conversions ---------------------------------------------------------------

namespace {

std::u16string Ascii(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}

std::u16string FormatNumber(double d) {
  char buf[40];
  if (std::fabs(d) < 1e15 && d == std::trunc(d)) {
    std::snprintf(buf, sizeof buf, "%.0f", d);
  } else {
    std::snprintf(buf, sizeof buf, "%.15G", d);
  }
  return Ascii(buf);
}

bool ParseNumber(const std::u16string& text, double& out) {
  std::string ascii;
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    ascii.push_back(static_cast<char>(c));
  }
  const auto first = ascii.find_first_not_of(' ');
  if (first == std::string::npos) return false;
  const char* begin = ascii.c_str() + first;
  char* end = nullptr;
  out = std::strtod(begin, &end);
  if (end == begin) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

// The object's default member read as a value.
bool DefaultValue(HostObject* object, HostValue& out) {
  auto members = object->Members();
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (members[i].isDefault && members[i].params == 0) {
      std::vector<HostValue> none;
      return object->Invoke(static_cast<int>(i), false, none, out) == 0;
    }
  }
  return false;
}

template <typename Fn>
bool ThroughDefault(const HostValue& v, Fn convert) {
  HostValue inner;
  if (!v.object || !DefaultValue(v.object, inner) || inner.type == HostValue::Type::kObject) {
    return false;
  }
  return convert(inner);
}

}  // namespace

bool ToText(const HostValue& v, std::u16string& out) {
  switch (v.type) {
    case HostValue::Type::kEmpty:
      out.clear();
      return true;
    case HostValue::Type::kBoolean:
      out = v.boolean ? u"-1" : u"0";
      return true;
    case HostValue::Type::kInt32:
      out = FormatNumber(v.int32);
      return true;
    case HostValue::Type::kDouble:
      out = FormatNumber(v.number);
      return true;
    case HostValue::Type::kText:
      out = v.text;
      return true;
    case HostValue::Type::kObject:
      return ThroughDefault(v, [&](const HostValue& i) { return ToText(i, out); });
    case HostValue::Type::kMissing:
      return false;
  }
  return false;
}

bool ToNumber(const HostValue& v, double& out) {
  switch (v.type) {
    case HostValue::Type::kEmpty:
      out = 0;
      return true;
    case HostValue::Type::kBoolean:
      out = v.boolean ? -1 : 0;
      return true;
    case HostValue::Type::kInt32:
      out = v.int32;
      return true;
    case HostValue::Type::kDouble:
      out = v.number;
      return true;
    case HostValue::Type::kText:
      return ParseNumber(v.text, out);
    case HostValue::Type::kObject:
      return ThroughDefault(v, [&](const HostValue& i) { return ToNumber(i, out); });
    case HostValue::Type::kMissing:
      return false;
  }
  return false;
}

bool ToBoolean(const HostValue& v, bool& out) {
  if (v.type == HostValue::Type::kText) {
    if (v.text == u"True" || v.text == u"true") return out = true, true;
    if (v.text == u"False" || v.text == u"false") return out = false, true;
  }
  double d = 0;
  if (!ToNumber(v, d)) return false;
  out = d != 0;
  return true;
}

bool ToInt32(const HostValue& v, int32_t& out) {
  double d = 0;
  if (!ToNumber(v, d)) return false;
  d = std::nearbyint(d);  // round half to even, as the automation conversion does
  if (!(d >= -2147483648.0 && d <= 2147483647.0)) return false;
  out = static_cast<int32_t>(d);
  return true;
}

}  // namespace tobrine::posix

// --- The automation contract of platform/automation.h ----------------------------

namespace tobrine::platform {
namespace {

using posix::HostMember;
using posix::HostObject;
using posix::HostValue;

char16_t Fold(char16_t c) {
  return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

enum class Bound { kNone, kGet, kPut, kMethod };

// The member and how it binds, trying the invoke kinds in the order of the COM
// build: get (get, function), put (put, function), call (function, get, put).
Bound Bind(const HostObject& object, const std::u16string& name, AccessKind kind, int& index) {
  auto members = object.Members();
  for (std::size_t i = 0; i < members.size(); ++i) {
    if (!SameName(members[i].name, name)) continue;
    const HostMember& m = members[i];
    index = static_cast<int>(i);
    switch (kind) {
      case AccessKind::kPropertyGet:
        if (m.get) return Bound::kGet;
        if (m.method) return Bound::kMethod;
        break;
      case AccessKind::kPropertyPut:
        if (m.put) return Bound::kPut;
        if (m.method) return Bound::kMethod;
        break;
      case AccessKind::kMethodCall:
        if (m.method) return Bound::kMethod;
        if (m.get) return Bound::kGet;
        if (m.put) return Bound::kPut;
        break;
    }
  }
  return Bound::kNone;
}

bool ToHost(const AutomationValue& a, HostValue& out) {
  switch (a.kind) {
    case AutomationValue::Kind::kAbsent:
      out = HostValue::Missing();
      return true;
    case AutomationValue::Kind::kText:
      out = HostValue::Text(a.text);
      return true;
    case AutomationValue::Kind::kBoolean:
      out = HostValue::Boolean(a.boolean);
      return true;
    case AutomationValue::Kind::kInt32:
      out = HostValue::Int32(a.int32);
      return true;
    case AutomationValue::Kind::kDouble:
      out = HostValue::Double(a.number);
      return true;
    case AutomationValue::Kind::kOther:
      return false;
  }
  return false;
}

int32_t ToResult(HostValue& value, ResultType type, AutomationResult& result) {
  switch (type) {
    case ResultType::kNone:
      return 0;
    case ResultType::kText:
      return posix::ToText(value, result.text) ? 0 : kAutomationBadResult;
    case ResultType::kNumber:
      return posix::ToNumber(value, result.number) ? 0 : kAutomationBadResult;
    case ResultType::kBoolean:
      return posix::ToBoolean(value, result.boolean) ? 0 : kAutomationBadResult;
    case ResultType::kObject:
      if (value.type != HostValue::Type::kObject) return kAutomationBadResult;
      value.object->AddRef();
      result.object = value.object;
      return 0;
    case ResultType::kVariant:
      result.variant = std::make_unique<HostValue>(value).release();  // FreeAutomationValue
      return 0;
  }
  return kAutomationBadResult;
}

}  // namespace

bool CreateAutomationObject(const std::u16string& identifier, void** object) {
  if (SameName(identifier, u"VBScript.RegExp")) {
    *object = posix::CreateRegExpComponent();
    return true;
  }
  return false;  // not registered
}

void AddAutomationReference(void* object) {
  static_cast<HostObject*>(object)->AddRef();
}
void ReleaseAutomationReference(void* object) {
  static_cast<HostObject*>(object)->Release();
}

void FreeAutomationValue(void* value) {
  std::unique_ptr<HostValue> owned(static_cast<HostValue*>(value));
}

bool AutomationValueIsEmpty(const void* value) {
  return static_cast<const HostValue*>(value)->type == HostValue::Type::kEmpty;
}

bool AutomationValueToText(const void* value, std::u16string& text) {
  return posix::ToText(*static_cast<const HostValue*>(value), text);
}

int32_t InvokeAutomationMember(void* object, const std::u16string& name, AccessKind kind,
                               std::span<AutomationValue> args, ResultType type,
                               AutomationResult& result) {
  auto* target = static_cast<HostObject*>(object);
  int index = -1;
  const Bound bound = Bind(*target, name, kind, index);
  if (bound == Bound::kNone) return kAutomationNoMember;
  const HostMember& member = target->Members()[static_cast<std::size_t>(index)];

  std::size_t count = args.size();
  while (count > 0 && args[count - 1].kind == AutomationValue::Kind::kAbsent)
    --count;  // trailing absent ones are not passed
  const bool putValue = kind == AccessKind::kPropertyPut;
  const std::size_t declared = static_cast<std::size_t>(member.params) + (putValue ? 1 : 0);
  if (count > declared) return kAutomationTooManyArgs;
  // A put bound to a method would pass its value as a named argument.
  if (putValue && bound == Bound::kMethod) return kAutomationNoNamedArgs;

  std::vector<HostValue> values(count);
  for (std::size_t i = 0; i < count; ++i) {
    if (!ToHost(args[i], values[i])) return kAutomationBadArgKind;
  }
  if (bound == Bound::kPut && values.size() != declared) return kAutomationBadParamCount;
  HostValue value;
  const int32_t code = target->Invoke(index, bound == Bound::kPut, values, value);
  if (code != 0) return code;
  return ToResult(value, type, result);
}

}  // namespace tobrine::platform
