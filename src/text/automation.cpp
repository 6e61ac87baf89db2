#include "text/automation.h"

#include <string>

#include "runtime/external.h"

namespace tobrine::text {
namespace {
thread_local int32_t t_lastError = 0;
}  // namespace

std::string_view AutomationErrorMessage(int32_t code) {
  switch (code) {
#define TOBRINE_AUTOMATION_CASE(name, value, text) \
  case value:                                      \
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

void SetLastAutomationError(int32_t code) {
  t_lastError = code;
}

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
  if (object_) detail::PlatformAddRef(object_);
}

ComObject& ComObject::operator=(const ComObject& other) {
  if (this != &other) {
    if (other.object_) detail::PlatformAddRef(other.object_);
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
  if (void* o = std::exchange(object_, nullptr)) detail::PlatformRelease(o);
}

Variant& Variant::operator=(Variant&& other) noexcept {
  if (this != &other) {
    Clear();
    value_ = std::exchange(other.value_, nullptr);
  }
  return *this;
}

void Variant::Clear() {
  if (void* v = std::exchange(value_, nullptr)) detail::PlatformFreeVariant(v);
}

bool Variant::IsEmpty() const {
  return !value_ || detail::PlatformVariantIsEmpty(value_);
}

bool Create(ComObject& target, std::string_view identifier) {
  void* object = nullptr;
  if (!detail::PlatformCreate(detail::Widen(identifier), &object) || !object) return false;
  target = ComObject::Adopt(object);
  return true;
}

InvokeResult InvokeByName(const ComObject& object, std::string_view name, AccessKind kind,
                          AutomationArgs args, ResultType type) {
  InvokeResult result;
  int32_t code = kAutomationEmptyObject;
  if (!object.IsEmpty()) {
    code = detail::PlatformInvoke(object.get(), detail::Widen(name), kind, args, type, result);
  }
  if (code != 0) result = InvokeResult();  // the empty value of every type
  detail::SetLastAutomationError(code);
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
  if (!value.get()) return TextValue();
  return detail::PlatformVariantToText(value.get());
}

}  // namespace tobrine::text
