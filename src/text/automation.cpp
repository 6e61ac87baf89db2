#include "text/automation.h"

#include <string>
#include <vector>

#include "runtime/external.h"

namespace tobrine::text {
namespace {

thread_local int32_t t_lastError = 0;

platform::AutomationValue ToSystem(const AutomationArg& a) {
  platform::AutomationValue v;
  v.kind = a.kind;
  if (a.kind == AutomationArg::Kind::kText) v.text = detail::Widen(a.text);
  v.boolean = a.boolean;
  v.int32 = a.int32;
  v.number = a.number;
  v.byReference = a.byReference();
  return v;
}

// Writes an output value back into the caller's variable.
void CopyBack(const platform::AutomationValue& v, const AutomationArg& a) {
  switch (a.kind) {
    case AutomationArg::Kind::kText:
      *static_cast<TextValue*>(a.variable) = detail::Narrow(v.text);
      break;
    case AutomationArg::Kind::kBoolean:
      *static_cast<bool*>(a.variable) = v.boolean;
      break;
    case AutomationArg::Kind::kInt32:
      *static_cast<int32_t*>(a.variable) = v.int32;
      break;
    case AutomationArg::Kind::kDouble:
      *static_cast<double*>(a.variable) = v.number;
      break;
    default:
      break;
  }
}

}  // namespace

std::string_view AutomationErrorMessage(int32_t code) {
  switch (code) {
#define TOBRINE_AUTOMATION_CASE(name, value, text) \
  case platform::name:                             \
    return text;
    TOBRINE_AUTOMATION_ERRORS(TOBRINE_AUTOMATION_CASE)
#undef TOBRINE_AUTOMATION_CASE
    default:
      return {};
  }
}

int32_t LastAutomationError() {
  return t_lastError;
}

namespace detail {

std::u16string Widen(std::string_view text) {
  TextValue source = TextValue::Allocated(text);  // NUL-terminated, also when empty
  const int32_t n = CallExternal<kExtMultiByteToWideChar>(0u, 0u, source.get(), -1, nullptr, 0);
  if (n <= 1) return {};
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  CallExternal<kExtMultiByteToWideChar>(0u, 0u, source.get(), -1,
                                        reinterpret_cast<winapi::WideChar*>(wide.data()), n);
  wide.resize(std::char_traits<char16_t>::length(wide.c_str()));  // up to the terminator
  return wide;
}

TextValue Narrow(std::u16string_view text) {
  const auto units = static_cast<int32_t>(text.size());
  if (units == 0) return TextValue();
  auto* source = reinterpret_cast<const winapi::WideChar*>(text.data());
  const int32_t n =
      CallExternal<kExtWideCharToMultiByte>(0u, 0u, source, units, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return TextValue();
  std::string bytes(static_cast<std::size_t>(n), '\0');
  CallExternal<kExtWideCharToMultiByte>(0u, 0u, source, units, bytes.data(), n, nullptr, nullptr);
  return TextValue::FromBytes(bytes);  // taken up to a NUL the value may hold
}

}  // namespace detail

ComObject::ComObject(const ComObject& other) : object_(other.object_) {
  if (object_) platform::AddAutomationReference(object_);
}

ComObject& ComObject::operator=(const ComObject& other) {
  if (this != &other) {
    if (other.object_) platform::AddAutomationReference(other.object_);
    Clear();
    object_ = other.object_;
  }
  return *this;
}

ComObject& ComObject::operator=(ComObject&& other) noexcept {
  if (this != &other) {
    Clear();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

void ComObject::Clear() {
  if (void* o = std::exchange(object_, nullptr)) platform::ReleaseAutomationReference(o);
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    value_ = std::exchange(other.value_, nullptr);
  }
  return *this;
}

void Variant::Clear() {
  if (void* v = std::exchange(value_, nullptr)) platform::FreeAutomationValue(v);
}

bool Variant::IsEmpty() const {
  return !value_ || platform::AutomationValueIsEmpty(value_);
}

bool Create(ComObject& target, std::string_view identifier) {
  void* object = nullptr;
  if (!platform::CreateAutomationObject(detail::Widen(identifier), &object) || !object)
    return false;
  target = ComObject::Adopt(object);
  return true;
}

InvokeResult InvokeByName(const ComObject& object, std::string_view name, AccessKind kind,
                          AutomationArgs args, ResultType type) {
  InvokeResult result;
  int32_t code = platform::kAutomationEmptyObject;
  if (!object.IsEmpty()) {
    std::vector<platform::AutomationValue> values;
    for (const AutomationArg& a : args) values.push_back(ToSystem(a));
    platform::AutomationResult out;
    code = platform::InvokeAutomationMember(object.get(), detail::Widen(name), kind, values, type,
                                            out);
    // Outputs come back even when the result then does not convert.
    for (std::size_t i = 0; i < args.size(); ++i)
      if (values[i].written && args[i].byReference()) CopyBack(values[i], args[i]);
    ComObject returnedObject = ComObject::Adopt(out.object);
    Variant returnedValue = Variant::Adopt(out.variant);
    if (code == 0) {
      if (type == ResultType::kText) result.text = detail::Narrow(out.text);
      result.number = out.number;
      result.boolean = out.boolean;
      result.object = std::move(returnedObject);
      result.variant = std::move(returnedValue);
    }
  }
  t_lastError = code;
  return result;
}

TextValue ReadText(const ComObject& object, std::string_view name, ArgList args) {
  return InvokeByName(object, name, AccessKind::kPropertyGet, Span(args), ResultType::kText).text;
}

double ReadNumber(const ComObject& object, std::string_view name, ArgList args) {
  return InvokeByName(object, name, AccessKind::kPropertyGet, Span(args), ResultType::kNumber)
      .number;
}

ComObject ReadObject(const ComObject& object, std::string_view name, ArgList args) {
  return std::move(
      InvokeByName(object, name, AccessKind::kPropertyGet, Span(args), ResultType::kObject).object);
}

Variant ReadVariant(const ComObject& object, std::string_view name, ArgList args) {
  return std::move(
      InvokeByName(object, name, AccessKind::kPropertyGet, Span(args), ResultType::kVariant)
          .variant);
}

bool WriteProperty(const ComObject& object, std::string_view name, const AutomationArg& value) {
  InvokeByName(object, name, AccessKind::kPropertyPut, AutomationArgs(&value, 1),
               ResultType::kNone);
  return LastAutomationError() == 0;
}

TextValue CallText(const ComObject& object, std::string_view name, ArgList args) {
  return InvokeByName(object, name, AccessKind::kMethodCall, Span(args), ResultType::kText).text;
}

ComObject CallObject(const ComObject& object, std::string_view name, ArgList args) {
  return std::move(
      InvokeByName(object, name, AccessKind::kMethodCall, Span(args), ResultType::kObject).object);
}

TextValue VariantToText(const Variant& value) {
  std::u16string text;
  if (!value.get() || !platform::AutomationValueToText(value.get(), text)) return TextValue();
  return detail::Narrow(text);
}

}  // namespace tobrine::text
