#include "web/web_address.h"

#include <utility>

#include "base/ascii.h"
#include "text/utf8.h"

namespace tobrine {
namespace {

// The percent-encode sets, as masks over ASCII; every byte above 0x7E and
// every C0 control is encoded in each of them.
enum EncodeSet : unsigned {
  kFragmentSet = 1,
  kQuerySet = 2,
  kSpecialQuerySet = 4,
  kPathSet = 8,
  kUserinfoSet = 16,
};

constexpr unsigned kFragmentOrWider =
    kFragmentSet | kQuerySet | kSpecialQuerySet | kPathSet | kUserinfoSet;
constexpr unsigned kQueryOrWider = kQuerySet | kSpecialQuerySet | kPathSet | kUserinfoSet;
constexpr unsigned kPathOrWider = kPathSet | kUserinfoSet;

unsigned SetsEncoding(char c) {
  switch (c) {
    case ' ':
    case '"':
    case '<':
    case '>':
      return kFragmentOrWider;
    case '`':
      return kFragmentSet | kPathOrWider;
    case '#':
      return kQueryOrWider;
    case '\'':
      return kSpecialQuerySet;
    case '?':
    case '{':
    case '}':
      return kPathOrWider;
    case '/':
    case ':':
    case ';':
    case '=':
    case '@':
    case '[':
    case '\\':
    case ']':
    case '^':
    case '|':
      return kUserinfoSet;
    default:
      return 0;
  }
}

void AppendEncoded(char c, EncodeSet set, std::string& out) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 0x20 && u <= 0x7E && !(SetsEncoding(c) & set)) {
    out += c;
    return;
  }
  base::AppendPercentEncoded(out, u);
}

bool IsAlpha(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsSchemeCharacter(int c) {
  return IsAlpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

bool IsSingleDot(std::string_view s) {
  return s == "." || base::EqualsIgnoringAsciiCase(s, "%2e");
}

bool IsDoubleDot(std::string_view s) {
  return s == ".." || base::EqualsIgnoringAsciiCase(s, ".%2e") ||
         base::EqualsIgnoringAsciiCase(s, "%2e.") || base::EqualsIgnoringAsciiCase(s, "%2e%2e");
}

// The input without leading and trailing C0 controls and spaces, and without
// any tab, line feed or carriage return; a byte that is no part of a UTF-8
// sequence becomes U+FFFD, as it would in a decoded text.
std::string Cleaned(std::string_view input) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!input.empty() && blank(input.front())) input.remove_prefix(1);
  while (!input.empty() && blank(input.back())) input.remove_suffix(1);
  std::string out;
  out.reserve(input.size());
  const auto* bytes = reinterpret_cast<const unsigned char*>(input.data());
  for (std::size_t i = 0; i < input.size();) {
    const char c = input[i];
    if (bytes[i] < 0x80) {
      if (c != '\t' && c != '\n' && c != '\r') out += c;
      ++i;
    } else if (const std::size_t n = text::Utf8SequenceLength(bytes + i, input.size() - i)) {
      out.append(input.substr(i, n));
      i += n;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

void ShortenPath(std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash != std::string::npos) path.erase(slash);
}

constexpr int kEnd = -1;

// The basic URL parser's states, for special schemes only.
enum class State {
  kSchemeStart,
  kScheme,
  kNoScheme,
  kSpecialRelativeOrAuthority,
  kRelative,
  kRelativeSlash,
  kSpecialAuthoritySlashes,
  kSpecialAuthorityIgnoreSlashes,
  kAuthority,
  kHost,
  kPort,
  kPathStart,
  kPath,
  kQuery,
  kFragment,
};

class Parser {
 public:
  Parser(std::string input, const WebAddress* base) : in_(std::move(input)), base_(base) {}

  ParsedAddress Run() {
    // One pass; a state that goes back a step moves the pointer back first.
    for (;; ++p_) {
      if (!Step()) return {WebAddress(), fault_};
      if (done_) return {std::move(url_), AddressFault::kNone};
    }
  }

 private:
  int At(std::ptrdiff_t i) const {
    return i >= 0 && i < static_cast<std::ptrdiff_t>(in_.size())
               ? static_cast<unsigned char>(in_[static_cast<std::size_t>(i)])
               : kEnd;
  }
  bool Fail(AddressFault fault) {
    fault_ = fault;
    return false;
  }
  void CopyAuthority() {
    url_.username = base_->username;
    url_.password = base_->password;
    url_.host = base_->host;
    url_.port = base_->port;
  }
  // At "?" or "#": an empty query or fragment begins.
  bool QueryOrFragment(int c) {
    if (c == '?') {
      url_.query = std::string();
      state_ = State::kQuery;
    } else if (c == '#') {
      url_.fragment = std::string();
      state_ = State::kFragment;
    } else {
      return false;
    }
    return true;
  }
  bool EndsAuthority(int c) const {
    return c == kEnd || c == '/' || c == '?' || c == '#' || c == '\\';
  }

  // One step on the character at the pointer (kEnd past the last one). False
  // on failure; `done_` is set once the end has been handled.
  bool Step() {
    const int c = At(p_);
    switch (state_) {
      case State::kSchemeStart:
        if (IsAlpha(c)) {
          buffer_ += base::AsciiLower(static_cast<char>(c));
          state_ = State::kScheme;
        } else {
          state_ = State::kNoScheme;
          --p_;
        }
        return true;
      case State::kScheme:
        if (IsSchemeCharacter(c)) {
          buffer_ += base::AsciiLower(static_cast<char>(c));
        } else if (c == ':') {
          if (buffer_ != "http" && buffer_ != "https") return Fail(AddressFault::kOtherScheme);
          url_.secure = buffer_ == "https";
          buffer_.clear();
          state_ = base_ && base_->secure == url_.secure ? State::kSpecialRelativeOrAuthority
                                                         : State::kSpecialAuthoritySlashes;
        } else {
          buffer_.clear();
          state_ = State::kNoScheme;
          p_ = -1;  // start over
        }
        return true;
      case State::kNoScheme:
        if (!base_) return Fail(AddressFault::kNoScheme);
        state_ = State::kRelative;
        --p_;
        return true;
      case State::kSpecialRelativeOrAuthority:
        if (c == '/' && At(p_ + 1) == '/') {
          state_ = State::kSpecialAuthorityIgnoreSlashes;
          ++p_;
        } else {
          state_ = State::kRelative;
          --p_;
        }
        return true;
      case State::kRelative:
        url_.secure = base_->secure;
        if (c == '/' || c == '\\') {
          state_ = State::kRelativeSlash;
          return true;
        }
        CopyAuthority();
        url_.path = base_->path;
        url_.query = base_->query;
        if (c == kEnd) {
          done_ = true;
        } else if (!QueryOrFragment(c)) {
          url_.query.reset();
          ShortenPath(url_.path);
          state_ = State::kPath;
          --p_;
        }
        return true;
      case State::kRelativeSlash:
        if (c == '/' || c == '\\') {
          state_ = State::kSpecialAuthorityIgnoreSlashes;
        } else {
          CopyAuthority();
          state_ = State::kPath;
          --p_;
        }
        return true;
      case State::kSpecialAuthoritySlashes:
        state_ = State::kSpecialAuthorityIgnoreSlashes;
        if (c == '/' && At(p_ + 1) == '/')
          ++p_;
        else
          --p_;
        return true;
      case State::kSpecialAuthorityIgnoreSlashes:
        if (c != '/' && c != '\\') {
          state_ = State::kAuthority;
          --p_;
        }
        return true;
      case State::kAuthority:
        return Authority(c);
      case State::kHost:
        return Host(c);
      case State::kPort:
        return Port(c);
      case State::kPathStart:
        state_ = State::kPath;
        if (c != '/' && c != '\\') --p_;
        return true;
      case State::kPath:
        return Path(c);
      case State::kQuery:
        if (c == '#') {
          url_.fragment = std::string();
          state_ = State::kFragment;
        } else if (c != kEnd) {
          AppendEncoded(static_cast<char>(c), kSpecialQuerySet, *url_.query);
        } else {
          done_ = true;
        }
        return true;
      case State::kFragment:
        if (c != kEnd)
          AppendEncoded(static_cast<char>(c), kFragmentSet, *url_.fragment);
        else
          done_ = true;
        return true;
    }
    return true;
  }

  bool Authority(int c) {
    if (c == '@') {
      if (atSignSeen_) buffer_.insert(0, "%40");
      atSignSeen_ = true;
      for (char b : buffer_) {
        if (b == ':' && !passwordTokenSeen_) {
          passwordTokenSeen_ = true;
          continue;
        }
        AppendEncoded(b, kUserinfoSet, passwordTokenSeen_ ? url_.password : url_.username);
      }
      buffer_.clear();
    } else if (EndsAuthority(c)) {
      if (atSignSeen_ && buffer_.empty()) return Fail(AddressFault::kNoHost);
      p_ -= static_cast<std::ptrdiff_t>(buffer_.size()) + 1;
      buffer_.clear();
      state_ = State::kHost;
    } else {
      buffer_ += static_cast<char>(c);
    }
    return true;
  }

  bool SetHost() {
    if (buffer_.empty()) return Fail(AddressFault::kNoHost);
    AddressFault fault = AddressFault::kNone;
    std::optional<std::string> host = ParseHost(buffer_, fault);
    if (!host) return Fail(fault);
    url_.host = std::move(*host);
    buffer_.clear();
    return true;
  }

  bool Host(int c) {
    if (c == ':' && !insideBrackets_) {
      if (!SetHost()) return false;
      state_ = State::kPort;
    } else if (EndsAuthority(c)) {
      --p_;
      if (!SetHost()) return false;
      state_ = State::kPathStart;
    } else {
      if (c == '[') insideBrackets_ = true;
      if (c == ']') insideBrackets_ = false;
      buffer_ += static_cast<char>(c);
    }
    return true;
  }

  bool Port(int c) {
    if (c >= '0' && c <= '9') {
      // Leading zeros do not count; more than five digits is too large anyway.
      if (!(buffer_ == "0" && c == '0')) {
        if (buffer_ == "0") buffer_.clear();
        if (buffer_.size() < 6) buffer_ += static_cast<char>(c);
      }
      return true;
    }
    if (!EndsAuthority(c)) return Fail(AddressFault::kBadPort);
    if (!buffer_.empty()) {
      const int32_t port = buffer_.size() > 5 ? 65536 : std::stoi(buffer_);
      if (port > 65535) return Fail(AddressFault::kBadPort);
      url_.port = port == (url_.secure ? 443 : 80) ? -1 : port;
      buffer_.clear();
    }
    state_ = State::kPathStart;
    --p_;
    return true;
  }

  bool Path(int c) {
    if (c == kEnd || c == '/' || c == '\\' || c == '?' || c == '#') {
      const bool slash = c == '/' || c == '\\';
      if (IsDoubleDot(buffer_)) {
        ShortenPath(url_.path);
        if (!slash) url_.path += '/';
      } else if (IsSingleDot(buffer_)) {
        if (!slash) url_.path += '/';
      } else {
        url_.path += '/';
        url_.path += buffer_;
      }
      buffer_.clear();
      if (!QueryOrFragment(c) && c == kEnd) done_ = true;
    } else {
      AppendEncoded(static_cast<char>(c), kPathSet, buffer_);
    }
    return true;
  }

  std::string in_;
  const WebAddress* base_;
  std::ptrdiff_t p_ = 0;
  State state_ = State::kSchemeStart;
  std::string buffer_;
  bool atSignSeen_ = false, passwordTokenSeen_ = false, insideBrackets_ = false;
  bool done_ = false;
  WebAddress url_;
  AddressFault fault_ = AddressFault::kNone;
};

}  // namespace

std::string WebAddress::Target() const {
  return query ? path + "?" + *query : path;
}

std::string WebAddress::RequestAddress() const {
  std::string out = secure ? "https://" : "http://";
  out += host;
  if (port >= 0) out += ":" + std::to_string(port);
  return out + Target();
}

std::string WebAddress::Href() const {
  std::string out = secure ? "https://" : "http://";
  if (!username.empty() || !password.empty()) {
    out += username;
    if (!password.empty()) out += ":" + password;
    out += '@';
  }
  out += host;
  if (port >= 0) out += ":" + std::to_string(port);
  out += Target();
  if (fragment) out += "#" + *fragment;
  return out;
}

ParsedAddress ParseWebAddress(std::string_view input, const WebAddress* base) {
  return Parser(Cleaned(input), base).Run();
}

}  // namespace tobrine
