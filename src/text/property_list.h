// Reading a property list (the install manifest's format) into a tree: XML in
// UTF-8 or UTF-16, or the binary form. Pure work over bytes; strings keep the
// document's bytes, with character references (as UTF-8) and CDATA sections
// decoded.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tobrine::text {

struct PropertyListValue {
  enum class Kind { kString, kInteger, kReal, kBoolean, kDate, kData, kArray, kDict };
  Kind kind = Kind::kString;
  // String, key-less scalars: the decoded text (integer, real, date and data as
  // written, surrounding white space removed); boolean: "true" or "false".
  std::string text;
  std::vector<std::string> keys;         // dict: the keys, in document order
  std::vector<PropertyListValue> items;  // array: the elements; dict: the values of `keys`

  // A dict's value for `key` (the first one), or nullptr.
  const PropertyListValue* Find(std::string_view key) const;
  // The text of a dict's string value for `key`; empty when there is none.
  std::string_view StringAt(std::string_view key) const;
};

enum class PropertyListReading {
  // A well-formed document (optional byte-order mark, XML declaration, DOCTYPE,
  // comments) whose root is <plist> holding one value; text that claims UTF-8
  // (or nothing) must be UTF-8. Anything else fails.
  kStrict,
  // What real servers send: a raw '&' or an unknown reference kept as written,
  // unclosed elements closed where the structure shows their end, element names
  // in any case, no declaration, bytes in any encoding, a dict or array root
  // without <plist>, junk around the root. Fails only without any dict or array.
  kTolerant,
};

// The document's root value, or nothing when it cannot be read that way. A
// document that begins "bplist00" is read in the binary form, the same in both
// readings; one in UTF-16 (a byte-order mark, or "<" as its first unit) is read
// as its UTF-8 text.
std::optional<PropertyListValue> ReadPropertyList(std::string_view document,
                                                  PropertyListReading reading);

// The binary form: whether the document is one, and its root value (nothing when
// any object, offset or count is out of place, a reference loops, or the tree
// would be far larger than the document).
bool IsBinaryPropertyList(std::string_view document);
std::optional<PropertyListValue> ReadBinaryPropertyList(std::string_view document);

// A document in UTF-16 as UTF-8 (its byte-order mark dropped), or nothing when
// it is not in UTF-16.
std::optional<std::string> Utf16DocumentAsUtf8(std::string_view document);

// XML text decoded: the five predefined and numeric references (as UTF-8), CDATA
// sections unwrapped. A reference that cannot be read stays as written.
std::string DecodeXmlText(std::string_view text);

namespace detail {

// What a reader may spend on the tree of one document: a few bytes for each
// byte of the document, and a fixed allowance besides. Shared objects (the
// binary form) or many small elements (`<true/>` is 7 bytes, its node 88) would
// otherwise make a document of a few megabytes cost gigabytes. A document whose
// tree would cost more is not read.
class TreeBudget {
 public:
  static constexpr std::size_t kBytesPerByte = 8;
  static constexpr std::size_t kAllowance = std::size_t{1} << 20;
  // A value in its parent's array, with room for the array to have doubled.
  static constexpr std::size_t kNodeCost = 2 * sizeof(PropertyListValue);
  // A dict's key, likewise, without its text.
  static constexpr std::size_t kKeyCost = 2 * sizeof(std::string);

  explicit TreeBudget(std::size_t documentBytes)
      : left_(documentBytes * kBytesPerByte + kAllowance) {}

  // Takes `bytes` from what is left; false (and nothing taken) when too few are.
  bool Charge(std::size_t bytes) {
    if (bytes > left_) return false;
    left_ -= bytes;
    return true;
  }

 private:
  std::size_t left_;
};

}  // namespace detail

}  // namespace tobrine::text
