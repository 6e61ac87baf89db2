// The host of a web address: IPv6 literals, IPv4 in every form a browser
// takes (hex, octal, fewer than four parts), and domains through UTS #46.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/ascii.h"
#include "platform/idna.h"
#include "web/web_address.h"

namespace tobrine {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Characters no domain may hold once it is ASCII: the forbidden host code
// points, C0 controls, "%" and DEL.
bool IsForbiddenInDomain(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u <= 0x20 || u == 0x7F ||
         std::string_view("#%/:<>?@[\\]^|").find(c) != std::string_view::npos;
}

std::vector<std::string_view> SplitOnDots(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t from = 0;;) {
    const std::size_t dot = text.find('.', from);
    parts.push_back(text.substr(from, dot == std::string_view::npos ? dot : dot - from));
    if (dot == std::string_view::npos) return parts;
    from = dot + 1;
  }
}

// One part of an IPv4 address: decimal, "0x" hex or "0" octal. Values beyond
// 2^32 are held at 2^32 + 1: too large either way.
std::optional<uint64_t> Ipv4Number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int radix = 10;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    radix = 16;
    text.remove_prefix(2);
  } else if (text.size() >= 2 && text[0] == '0') {
    radix = 8;
    text.remove_prefix(1);
  }
  constexpr uint64_t kBeyond = (uint64_t{1} << 32) + 1;
  uint64_t value = 0;
  for (char c : text) {
    const int digit = base::HexValue(c);
    if (digit < 0 || digit >= radix) return std::nullopt;
    value = value >= kBeyond ? kBeyond : value * static_cast<uint64_t>(radix) + digit;
  }
  return value >= kBeyond ? kBeyond : value;
}

// Whether the last label (a trailing dot aside) is a number: then the host
// must be an IPv4 address.
bool EndsInNumber(std::string_view domain) {
  std::vector<std::string_view> parts = SplitOnDots(domain);
  if (parts.back().empty()) {
    if (parts.size() == 1) return false;
    parts.pop_back();
  }
  const std::string_view last = parts.back();
  if (!last.empty() && last.find_first_not_of("0123456789") == std::string_view::npos) return true;
  return Ipv4Number(last).has_value();
}

std::optional<std::string> ParseIpv4(std::string_view text) {
  std::vector<std::string_view> parts = SplitOnDots(text);
  if (parts.back().empty() && parts.size() > 1) parts.pop_back();
  if (parts.size() > 4) return std::nullopt;
  std::vector<uint64_t> numbers;
  for (std::string_view part : parts) {
    const std::optional<uint64_t> n = Ipv4Number(part);
    if (!n) return std::nullopt;
    numbers.push_back(*n);
  }
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i)
    if (numbers[i] > 255) return std::nullopt;
  if (numbers.back() >= uint64_t{1} << (8 * (5 - numbers.size()))) return std::nullopt;
  uint64_t address = numbers.back();
  for (std::size_t i = 0; i + 1 < numbers.size(); ++i) address += numbers[i] << (8 * (3 - i));
  std::string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    out += std::to_string((address >> shift) & 0xFF);
    if (shift) out += '.';
  }
  return out;
}

using Ipv6 = std::array<uint16_t, 8>;

// The pieces of an IPv6 literal (without its brackets), an IPv4 tail included.
std::optional<Ipv6> ParseIpv6(std::string_view in) {
  Ipv6 address{};
  std::size_t piece = 0, p = 0;
  std::optional<std::size_t> compress;
  auto at = [&](std::size_t i) { return i < in.size() ? in[i] : '\0'; };
  if (at(0) == ':') {
    if (at(1) != ':') return std::nullopt;
    p = 2;
    compress = ++piece;
  }
  while (p < in.size()) {
    if (piece == 8) return std::nullopt;
    if (in[p] == ':') {
      if (compress) return std::nullopt;
      ++p;
      compress = ++piece;
      continue;
    }
    unsigned value = 0;
    std::size_t length = 0;
    while (length < 4 && p < in.size() && base::HexValue(in[p]) >= 0) {
      value = value * 16 + static_cast<unsigned>(base::HexValue(in[p]));
      ++p;
      ++length;
    }
    if (at(p) == '.') {
      // An IPv4 address in the last two pieces.
      if (length == 0 || piece > 6) return std::nullopt;
      p -= length;
      int seen = 0;
      while (p < in.size()) {
        if (seen > 0) {
          if (in[p] != '.' || seen >= 4) return std::nullopt;
          ++p;
        }
        if (!IsDigit(at(p))) return std::nullopt;
        int part = -1;
        while (IsDigit(at(p))) {
          const int digit = in[p] - '0';
          if (part == 0) return std::nullopt;  // no leading zero
          part = part < 0 ? digit : part * 10 + digit;
          if (part > 255) return std::nullopt;
          ++p;
        }
        address[piece] = static_cast<uint16_t>(address[piece] * 0x100 + part);
        if (++seen == 2 || seen == 4) ++piece;
      }
      if (seen != 4) return std::nullopt;
      break;
    }
    if (at(p) == ':') {
      if (++p == in.size()) return std::nullopt;
    } else if (p < in.size()) {
      return std::nullopt;
    }
    address[piece++] = static_cast<uint16_t>(value);
  }
  if (compress) {
    std::size_t swaps = piece - *compress;
    for (piece = 7; piece != 0 && swaps > 0; --piece, --swaps)
      std::swap(address[piece], address[*compress + swaps - 1]);
  } else if (piece != 8) {
    return std::nullopt;
  }
  return address;
}

// Lower-case hex pieces, the first longest run of two or more zero pieces as "::".
std::string SerializeIpv6(const Ipv6& address) {
  std::size_t best = 8, bestLength = 1;
  for (std::size_t i = 0; i < 8;) {
    std::size_t j = i;
    while (j < 8 && address[j] == 0) ++j;
    if (j - i > bestLength) {
      best = i;
      bestLength = j - i;
    }
    i = j == i ? i + 1 : j;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best) {
      out += i == 0 ? "::" : ":";
      i += bestLength - 1;
      continue;
    }
    bool digits = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int d = (address[i] >> shift) & 0xF;
      if (d || digits || shift == 0) {
        out += kHex[d];
        digits = true;
      }
    }
    if (i != 7) out += ':';
  }
  return out + "]";
}

// %XX escapes decoded; a "%" without two hex digits stays.
std::string PercentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && base::HexValue(text[i + 1]) >= 0 &&
        base::HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(base::HexValue(text[i + 1]) * 16 + base::HexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

bool NeedsMapping(std::string_view domain) {
  for (char c : domain)
    if (static_cast<unsigned char>(c) >= 0x80) return true;
  for (std::string_view label : SplitOnDots(domain))
    if (label.size() >= 4 && base::AsciiLower(label[0]) == 'x' &&
        base::AsciiLower(label[1]) == 'n' && label[2] == '-' && label[3] == '-')
      return true;
  return false;
}

// The longest name handed to UTS #46 mapping, four times what DNS resolves:
// the mapping takes time that grows faster than the name.
constexpr std::size_t kLongestMappedName = 1024;

// A domain to ASCII: an ASCII name without punycode labels is only put in
// lower case; any other goes through UTS #46. Bytes that are not UTF-8 cannot
// be mapped, so such a name fails.
std::optional<std::string> DomainToAscii(const std::string& domain) {
  if (!NeedsMapping(domain)) {
    std::string out = domain;
    for (char& c : out) c = base::AsciiLower(c);
    return out;
  }
  if (domain.size() > kLongestMappedName) return std::nullopt;
  std::optional<std::string> ascii = platform::DomainToAscii(domain);
  if (!ascii || ascii->empty()) return std::nullopt;
  return ascii;
}

}  // namespace

std::optional<std::string> ParseHost(std::string_view input, AddressFault& fault) {
  if (!input.empty() && input.front() == '[') {
    std::optional<Ipv6> address;
    if (input.size() >= 2 && input.back() == ']')
      address = ParseIpv6(input.substr(1, input.size() - 2));
    if (!address) {
      fault = AddressFault::kBadIpv6;
      return std::nullopt;
    }
    return SerializeIpv6(*address);
  }
  std::optional<std::string> domain = DomainToAscii(PercentDecoded(input));
  if (!domain) {
    fault = AddressFault::kBadDomain;
    return std::nullopt;
  }
  for (char c : *domain) {
    if (IsForbiddenInDomain(c)) {
      fault = AddressFault::kBadHost;
      return std::nullopt;
    }
  }
  if (!EndsInNumber(*domain)) return domain;
  std::optional<std::string> ipv4 = ParseIpv4(*domain);
  if (!ipv4) fault = AddressFault::kBadIpv4;
  return ipv4;
}

}  // namespace tobrine
