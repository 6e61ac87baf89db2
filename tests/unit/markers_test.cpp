// The markers' text operations.
#include "text/markers.h"

#include <gtest/gtest.h>

#include <string>

namespace tobrine {
namespace {

TEST(Markers, TextBetween) {
  struct Row {
    const char* text;
    const char* left;
    const char* right;
    std::optional<bool> caseSensitive;
    const char* want;
    const char* leftAfter;
  } rows[] = {
      {"abc<x>def</x>", "<x>", "</x>", {}, "def", "<x>"},
      {"abc", "<x>", "</x>", {}, "", "<x>"},
      {"abc<x>def", "<x>", "</x>", {}, "", "<x>"},
      {"a[1]b[2]", "[", "]", {}, "1", "["},
      {"A<X>v</X>", "<x>", "</x>", {}, "v", "<x>"},
      {"A<X>v</X>", "<x>", "</x>", true, "", "<x>"},
      {"<x></x>", "<x>", "</x>", {}, "", "<x>"},
      // The placeholder stands for a double quote and is written back.
      {"say \"q\" ok", "#引号", "#引号", {}, "q", "\""},
      {"x \"a\"b;", "#引号a#引号", ";", {}, "b", "\"a\""},
  };
  for (const auto& r : rows) {
    TextValue text = TextValue::FromBytes(r.text);
    TextValue left = TextValue::FromBytes(r.left);
    TextValue right = TextValue::FromBytes(r.right);
    EXPECT_EQ(TextBetween(text, left, right, std::nullopt, r.caseSensitive).view(), r.want)
        << r.text << " " << r.left;
    EXPECT_EQ(left.view(), r.leftAfter) << r.left;
  }
}

TEST(Markers, TextBefore) {
  struct Row {
    const char* text;
    const char* marker;
    std::optional<int32_t> start;
    std::optional<bool> ignoreCase;
    const char* want;
  } rows[] = {
      {"a=1; Path=/", ";", {}, {}, "a=1"}, {"no marker", ";", {}, {}, ""},
      {";first", ";", {}, {}, ""},         {"abcXdef", "x", {}, {}, ""},
      {"abcXdef", "x", {}, true, "abc"},   {"a;b;c", ";", 3, {}, "a;b"},
      {"a;b;c", ";", 0, {}, "a"},          {"a;b;c", ";", -5, {}, "a"},
  };
  for (const auto& r : rows) {
    TextValue text = TextValue::FromBytes(r.text);
    TextValue marker = TextValue::FromBytes(r.marker);
    EXPECT_EQ(TextBefore(text, marker, r.start, r.ignoreCase).view(), r.want) << r.text;
  }
}

}  // namespace
}  // namespace tobrine
