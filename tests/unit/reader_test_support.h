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

// A manifest in the binary form: {items: [{assets: [{kind: software-package,
// url: https://h.example/b.ipa}], metadata: {bundle-identifier: com.example.b,
// title: B}}]}, as a property-list writer lays it out.
inline std::string BinaryManifest() {
  std::string s = "bplist00";
  std::vector<std::string> objects = {
      "\xD1\x01\x02",  // 0 {1: 2}
      "\x55items",
      "\xA1\x03",              // 2 [3]
      "\xD2\x04\x05\x06\x07",  // 3 {4: 6, 5: 7}
      "\x56"
      "assets",
      "\x58metadata",
      "\xA1\x08",              // 6 [8]
      "\xD2\x09\x0A\x0B\x0C",  // 7 {9: 11, 10: 12}
      "\xD2\x0D\x0E\x0F\x10",  // 8 {13: 15, 14: 16}
      "\x5F\x10\x11"
      "bundle-identifier",
      "\x55title",
      "\x5D"
      "com.example.b",
      "\x51"
      "B",
      "\x54kind",
      "\x53url",
      "\x5F\x10\x10software-package",
      "\x5F\x10\x17https://h.example/b.ipa",
  };
  std::vector<std::size_t> offsets;
  for (const std::string& o : objects) offsets.push_back(s.size()), s += o;
  const std::size_t table = s.size();
  for (std::size_t o : offsets) s += static_cast<char>(o);
  s += std::string(6, '\0') + "\x01\x01" + std::string(7, '\0') +
       static_cast<char>(objects.size()) + std::string(15, '\0') + static_cast<char>(table);
  return s;
}

// UTF-8 text as UTF-16 bytes, with a byte-order mark when asked.
inline std::string Utf16(std::string_view utf8, bool bigEndian, bool byteOrderMark) {
  std::string out;
  const auto unit = [&](uint32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  if (byteOrderMark) unit(0xFEFF);
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    uint32_t cp = length == 1 ? c : c & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length && i + k < utf8.size(); ++k)
      cp = cp << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    i += length;
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

}  // namespace tobrine::test
