// The string values of a script or a JSON text, read the way a JavaScript
// engine reads them, and the constants a page's scripts build them from. Pure
// work over bytes: nothing runs.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

namespace tobrine::text {

// How the non-ASCII bytes of a page are laid out. In a double-byte page (GBK,
// Big5) a byte from 0x81 on starts a character whose second byte may equal an
// ASCII one, a '\' (0x5C) or a '`' (0x60) among them; such a byte is part of the
// character, never an escape or a quote.
enum class ByteLayout { kUtf8, kDoubleByte };

// The layout that fits the page's bytes best, whatever its label says: UTF-8
// unless its non-ASCII bytes mostly fail to read as UTF-8.
ByteLayout GuessByteLayout(std::string_view page);

// What the string values of a script are told to. Each returns whether the
// value mattered to it: only values that mattered are told again when what the
// page's constants are turns out otherwise (ScriptScope::Settle).
struct ScriptStringSink {
  // A string value written in the script (a literal, or literals and
  // constants joined), every part of it known: escapes decoded (code points as
  // UTF-8).
  std::function<bool(std::string_view)> whole;
  // The known beginning of a string joined at run time to a part that is not
  // known (a variable, a call): never a whole value. May be left empty.
  std::function<bool(std::string_view)> partial;
};

// The global scope of one page's scripts, read one script after another.
//
// A string value is whole when each of its parts is known: string literals,
// template literals, `+` joining them, and names bound by const, let or var to
// such a value or to an object or array literal of them (nested), read with
// a.b, a['b'] or a[0], and encodeURIComponent, encodeURI or decodeURIComponent
// of a known string. Nothing else runs: any other call, operator or name makes
// the whole value unknown, and so does a name bound twice, bound without a
// value, assigned, changed through a member, or a function's parameter.
// Comments are skipped. The values a page's scripts build from each other cost
// at most a few bytes per byte of the page; past that they are unknown.
class ScriptScope {
 public:
  ScriptScope(ByteLayout layout, std::size_t pageBytes);
  ~ScriptScope();
  ScriptScope(const ScriptScope&) = delete;
  ScriptScope& operator=(const ScriptScope&) = delete;

  // Reads one script of the page and tells `sink` its values, in order. A
  // script that `runsLater` (an event handler, a javascript: address) is read
  // as a function's body: what it binds is its own, and it may use what the
  // page binds after it. The page's own scripts use a binding only after it.
  void Read(std::string_view script, const ScriptStringSink& sink, bool runsLater = false);

  // Once every script of the page has been read: settles its constants, and
  // says whether what was told may change when the scripts are read again (a
  // name used before its binding, or a binding undone later). Later readings
  // use the settled constants and bind nothing new.
  bool Settle();

  struct State;

 private:
  std::unique_ptr<State> state_;
};

// The whole string values of one script on its own (a scope of its own,
// settled as above), in order.
void ForEachScriptString(std::string_view script, ByteLayout layout,
                         const std::function<void(std::string_view)>& found);

}  // namespace tobrine::text
