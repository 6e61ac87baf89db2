// RegexObject: compiles a pattern, runs it over one subject through the system's
// "VBScript.RegExp" component and hands out the matches by number (from 1).
// Positions handed out are 0-based byte offsets into the subject.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"
#include "text/automation.h"

namespace tobrine::text {

class RegexObject {
 public:
  // Initialises COM for the calling thread (once per object).
  RegexObject();
  // New references to the same component and match collection, and its own copy
  // of the subject.
  RegexObject(const RegexObject& other);
  RegexObject& operator=(const RegexObject&) = delete;
  ~RegexObject();

  // Case is ignored unless `caseSensitive`; multiline and global are on unless
  // given as false. True when a match collection was obtained.
  bool Create(std::string_view pattern, std::string_view subject,
              std::optional<bool> caseSensitive = std::nullopt,
              std::optional<bool> multiline = std::nullopt,
              std::optional<bool> global = std::nullopt);
  TextValue GetPattern() const;
  // The subject with the matches replaced (the component reads the replacement).
  TextValue Replace(std::optional<std::string_view> replacement = std::nullopt) const;
  int32_t GetMatchCount() const;
  // The text of match n; `position` (when given) receives its byte offset, or -2
  // when it cannot be found again.
  TextValue GetMatchText(int32_t n, int32_t* position = nullptr) const;
  // The text of group k of match n (empty when the group took no part).
  TextValue GetSubMatchText(int32_t n, int32_t k, int32_t* position = nullptr) const;
  // The number of groups of the pattern; 0 without a match.
  int32_t GetSubMatchCount() const;

 private:
  int32_t BytePosition(const ComObject& match, std::string_view found) const;

  ComObject regexp_;
  ComObject matches_;
  TextValue subject_;
};

}  // namespace tobrine::text
