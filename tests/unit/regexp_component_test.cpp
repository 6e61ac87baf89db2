// The Linux build's own "VBScript.RegExp" component: what the shared behaviour
// table cannot check against the system's component.
#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "text/automation.h"

namespace tobrine {
namespace {

using text::AutomationArg;
using text::ComObject;

ComObject Search(const std::string& pattern, const std::string& subject, bool global = true) {
  ComObject re;
  EXPECT_TRUE(text::Create(re, "vbscript.regexp"));  // identifiers are not case-sensitive
  text::WriteProperty(re, "Global", AutomationArg::Boolean(global));
  text::WriteProperty(re, "Pattern", AutomationArg::Text(pattern));
  return text::CallObject(re, "Execute", {AutomationArg::Text(subject)});
}

TEST(RegExpComponent, RunawaySearchEndsTheMatchList) {
  // Nested repeats over a long run that fails at its end take exponential time;
  // the limit ends the list after the two matches before, and the last x, which
  // an unlimited search would reach only after ages, is not listed.
  const std::string subject = "x x " + std::string(40, 'a') + "! x";
  ComObject matches = Search("x|(a+)+y", subject);
  ASSERT_FALSE(matches.IsEmpty());
  EXPECT_EQ(text::ReadNumber(matches, "Count"), 2);
}

TEST(RegExpComponent, EmptyMatchesAdvanceOneCharacter) {
  ComObject matches = Search("x*", "ab");
  EXPECT_EQ(text::ReadNumber(matches, "Count"), 3);  // before a, before b, at the end
}

TEST(RegExpComponent, FirstIndexCountsUtf16Units) {
  ComObject matches = Search("b",
                             "\xD6\xD0\xCE\xC4"
                             "ab");  // two double-byte characters first
  ComObject match = text::ReadObject(matches, "Item", {AutomationArg::Int32(0)});
  EXPECT_EQ(text::ReadNumber(match, "FirstIndex"), 3);
  EXPECT_EQ(text::ReadNumber(match, "Length"), 1);
  // A match object reads as its value.
  EXPECT_EQ(text::ReadText(matches, "Item", {AutomationArg::Int32(0)}).view(), "b");
}

TEST(RegExpComponent, ReplaceAndMembers) {
  ComObject re;
  ASSERT_TRUE(text::Create(re, "VBScript.RegExp"));
  text::WriteProperty(re, "Global", AutomationArg::Boolean(true));
  text::WriteProperty(re, "Pattern", AutomationArg::Text("(o)"));
  EXPECT_EQ(
      text::CallText(re, "Replace", {AutomationArg::Text("foo"), AutomationArg::Text("[$&$1$$]")})
          .view(),
      "f[oo$][oo$]");
  EXPECT_EQ(text::CallText(re, "Test", {AutomationArg::Text("xyz")}).view(), "0");
  text::WriteProperty(re, "Pattern", AutomationArg::Text("(unclosed"));
  EXPECT_TRUE(text::CallObject(re, "Execute", {AutomationArg::Text("x")}).IsEmpty());
  EXPECT_EQ(text::LastAutomationError(), -11);  // the pattern is refused
  EXPECT_FALSE(text::WriteProperty(re, "Test", AutomationArg::Boolean(true)));
  EXPECT_EQ(text::LastAutomationError(), -13);  // a method takes no put
  ComObject matches = Search("a", "a");
  EXPECT_FALSE(text::WriteProperty(matches, "Count", AutomationArg::Int32(3)));
  EXPECT_EQ(text::LastAutomationError(), -3);  // read-only
  EXPECT_FALSE(text::WriteProperty(re, "IgnoreCase", AutomationArg::Text("maybe")));
  EXPECT_EQ(text::LastAutomationError(), -16);
}

}  // namespace
}  // namespace tobrine
