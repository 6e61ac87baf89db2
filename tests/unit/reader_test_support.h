// Shared by the tests of the page and manifest readers: a property list as one
// line of text, and the random choices of the page and manifest generators.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "text/property_list.h"

namespace tobrine::test {

// {key:value,…} [value,…] "string" i42 r1.5 true false d<date> b<data>
inline std::string PropertyListText(const text::PropertyListValue& v) {
  using Kind = text::PropertyListValue::Kind;
  switch (v.kind) {
    case Kind::kDict: {
      std::string s = "{";
      for (std::size_t i = 0; i < v.keys.size(); ++i)
        s += (i ? "," : "") + v.keys[i] + ":" + PropertyListText(v.items[i]);
      return s + "}";
    }
    case Kind::kArray: {
      std::string s = "[";
      for (std::size_t i = 0; i < v.items.size(); ++i)
        s += (i ? "," : "") + PropertyListText(v.items[i]);
      return s + "]";
    }
    case Kind::kString:
      return "\"" + v.text + "\"";
    case Kind::kInteger:
      return "i" + v.text;
    case Kind::kReal:
      return "r" + v.text;
    case Kind::kBoolean:
      return v.text;
    case Kind::kDate:
      return "d" + v.text;
    case Kind::kData:
      return "b" + v.text;
  }
  return "?";
}

// Seeded choices, the same on every run.
class RandomChoices {
 public:
  explicit RandomChoices(uint32_t seed) : rng_(seed) {}
  int Range(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
  bool Chance(int oneIn) { return Range(1, oneIn) == 1; }
  template <typename T>
  const T& Pick(const std::vector<T>& v) {
    return v[static_cast<std::size_t>(Range(0, static_cast<int>(v.size()) - 1))];
  }

 private:
  std::mt19937 rng_;
};

}  // namespace tobrine::test
