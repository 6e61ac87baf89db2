#include "text/regex_object.h"

#include "runtime/commands.h"
#include "runtime/external.h"

namespace tobrine::text {
namespace {

void InitialiseCom() {
  CallExternal<kExtCoInitialize>(nullptr);
}
void UninitialiseCom() {
  CallExternal<kExtCoUninitialize>();
}

// The component counts from 0; numbers given to the object count from 1.
AutomationArg Index(int32_t n) {
  return AutomationArg::Double(n - 1.0);
}

int32_t Truncated(double d) {
  return static_cast<int32_t>(TruncateToInteger(d));
}

}  // namespace

RegexObject::RegexObject() {
  InitialiseCom();
}

RegexObject::RegexObject(const RegexObject& other)
    : regexp_(other.regexp_), matches_(other.matches_), subject_(other.subject_.Copy()) {
  InitialiseCom();
}

RegexObject::~RegexObject() {
  regexp_.Clear();
  subject_.reset();
  // The match collection goes before this object's COM initialisation ends, so
  // that it is sound also on a thread where no other initialisation holds COM.
  matches_.Clear();
  UninitialiseCom();
}

bool RegexObject::Create(std::string_view pattern, std::string_view subject,
                         std::optional<bool> caseSensitive, std::optional<bool> multiline,
                         std::optional<bool> global) {
  const bool ignoreCase = !caseSensitive.value_or(false);
  regexp_.Clear();
  text::Create(regexp_, "VBScript.RegExp");
  WriteProperty(regexp_, "IgnoreCase", AutomationArg::Boolean(ignoreCase));
  WriteProperty(regexp_, "Multiline", AutomationArg::Boolean(multiline.value_or(true)));
  // No "Singleline": the component has no such member (a write would be
  // refused), so '.' never matches a line feed.
  WriteProperty(regexp_, "Global", AutomationArg::Boolean(global.value_or(true)));
  WriteProperty(regexp_, "Pattern", AutomationArg::Text(pattern));
  matches_ = CallObject(regexp_, "Execute", {AutomationArg::Text(subject)});
  subject_ = TextValue::FromBytes(subject);
  return !matches_.IsEmpty();
}

TextValue RegexObject::GetPattern() const {
  if (regexp_.IsEmpty()) return TextValue();
  return ReadText(regexp_, "Pattern");
}

TextValue RegexObject::Replace(std::optional<std::string_view> replacement) const {
  return CallText(regexp_, "Replace",
                  {AutomationArg::Text(subject_.view()),
                   AutomationArg::Text(replacement.value_or(std::string_view()))});
}

int32_t RegexObject::GetMatchCount() const {
  return Truncated(ReadNumber(matches_, "Count"));
}

// FirstIndex counts UTF-16 units and every unit takes at least one byte of the
// subject, so the match starts at or after that byte: find it again from there.
// The search starts on the character boundary at or before that byte, so that
// it never pairs the trail byte of one character with the next.
int32_t RegexObject::BytePosition(const ComObject& match, std::string_view found) const {
  const int32_t index = Truncated(ReadNumber(match, "FirstIndex"));
  const bool ignoreCase = ReadText(regexp_, "IgnoreCase").view() != "0";
  const std::string_view subject = subject_.view();
  int32_t boundary = 0;
  while (boundary < index && boundary < static_cast<int32_t>(subject.size())) {
    const bool lead =
        static_cast<unsigned char>(subject[static_cast<std::size_t>(boundary)]) >= 0x80;
    const int32_t step = lead && boundary + 1 < static_cast<int32_t>(subject.size()) ? 2 : 1;
    if (boundary + step > index) break;
    boundary += step;
  }
  return FindText(subject, found, boundary + 1, ignoreCase) - 1;
}

TextValue RegexObject::GetMatchText(int32_t n, int32_t* position) const {
  ComObject match = ReadObject(matches_, "Item", {Index(n)});
  TextValue value = ReadText(match, "Value");
  if (position) *position = BytePosition(match, value.view());
  return value;
}

TextValue RegexObject::GetSubMatchText(int32_t n, int32_t k, int32_t* position) const {
  ComObject match = ReadObject(matches_, "Item", {Index(n)});
  ComObject subMatches = ReadObject(match, "SubMatches");
  Variant item = ReadVariant(subMatches, "Item", {Index(k)});
  TextValue value = VariantToText(item);
  ClearVariant(item);
  if (position) *position = BytePosition(match, value.view());
  return value;
}

int32_t RegexObject::GetSubMatchCount() const {
  ComObject match = ReadObject(matches_, "Item", {AutomationArg::Int32(0)});
  ComObject subMatches = ReadObject(match, "SubMatches");
  return Truncated(ReadNumber(subMatches, "Count"));
}

}  // namespace tobrine::text
