// Reading an XML property list (the install manifest's format) into a tree.
// Pure work over bytes; strings keep the document's bytes, with character
// references (as UTF-8) and CDATA sections decoded.
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

// The document's root value, or nothing when it cannot be read that way.
std::optional<PropertyListValue> ReadPropertyList(std::string_view document,
                                                  PropertyListReading reading);

// XML text decoded: the five predefined and numeric references (as UTF-8), CDATA
// sections unwrapped. A reference that cannot be read stays as written.
std::string DecodeXmlText(std::string_view text);

}  // namespace tobrine::text
