// The string literals of a script or a JSON text, read the way a JavaScript
// engine reads them. Pure work over bytes.
#pragma once

#include <functional>
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

// Calls `found` with the value of every string literal of `script` that holds
// its whole value there: escapes decoded (code points as UTF-8), and literals
// joined with '+' to other literals only joined into one. A literal joined to
// anything else (a variable, a call), one whose member is taken ("…".replace),
// a template literal with a substitution and an unterminated literal are built
// or broken at run time and give nothing. Comments are skipped.
void ForEachScriptString(std::string_view script, ByteLayout layout,
                         const std::function<void(std::string_view)>& found);

}  // namespace tobrine::text
