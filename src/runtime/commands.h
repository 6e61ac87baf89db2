// The core text, number, conversion and small system commands.
//
// Conventions: positions count bytes from 1; a failed search gives -1; an empty
// text or byte-block result is the absent reference. Texts are taken as the bytes
// before their first NUL. Commands that walk character by character treat a byte
// of 0x80 or above as the lead byte of a two-byte character (a lead byte right
// before the end stops the walk); those marked (bytes) count raw bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// --- Text measurement and extraction ---
int32_t TextLength(std::string_view text);
TextValue LeftText(std::string_view text, int32_t n);                // (bytes)
TextValue RightText(std::string_view text, int32_t n);               // (bytes)
TextValue MidText(std::string_view text, int32_t start, int32_t n);  // (bytes)
TextValue SpaceText(int32_t n);
TextValue ToLowerCase(std::string_view text);
// Removes leading and trailing spaces: ASCII 0x20 and the full-width space A1 A1.
TextValue TrimSpaces(std::string_view text);
// Whether TrimSpaces leaves nothing of `text`, found without a copy: a long
// text is not walked to its end.
bool IsBlank(std::string_view text);

// --- Searching and replacing ---
int32_t FindText(std::string_view text, std::string_view sought,
                 std::optional<int32_t> start = std::nullopt,
                 std::optional<bool> ignoreCase = std::nullopt);
TextValue ReplaceSubtext(std::string_view text, std::string_view sought,
                         std::optional<std::string_view> replacement, std::optional<int32_t> start,
                         std::optional<int32_t> count, bool caseSensitive);
TextValue ReplaceRange(std::string_view text, int32_t start, int32_t n,
                       std::optional<std::string_view> replacement = std::nullopt);  // (bytes)
int32_t CompareText(std::string_view a, std::string_view b, bool caseSensitive);

// --- Conversions ---
// Copies a text folding the full-width forms of "!".."~", the full-width space,
// A1 AB ("~") and A1 EE / A1 EF ("*") to single bytes.
TextValue FullWidthFolding(std::string_view text);
TextValue ToText(const Value& value);
double ToNumber(const Value& value);
ByteBlock ToByteBlock(const Value& value);
int32_t BitOr(std::initializer_list<int32_t> values);

// --- Byte blocks ---
int32_t ByteBlockLength(const ByteBlock& block);
ByteBlock LeftBytes(const ByteBlock& block, int32_t n);
ByteBlock ZeroBytes(int32_t n);

// --- System services ---
uint32_t TickCount();
// Dispatches the window messages already waiting for the calling thread until the
// queue is empty or the next one is the quit message (which stays queued).
void ProcessEvents();
// A modal message box. `content` is shown as ToText shows numbers, texts, logical
// values and date-times (any other kind shows nothing); caption "信息：" when left
// out; `parent` is a system window handle. The task-modal flag 0x2000 is added
// unless the system-modal flag 0x1000 is set. Returns OK 0, Cancel 1, Abort 2,
// Retry 3, Ignore 4, Yes 5, No 6, anything else 0.
int32_t ShowMessageBox(const Value& content, int32_t style,
                       std::optional<std::string_view> caption = std::nullopt,
                       std::optional<intptr_t> parent = std::nullopt);

namespace detail {
// The parts of ShowMessageBox around the system box, kept apart for tests:
// the flags passed on for a style, the result for the system's button id, and
// the text shown for a content value.
uint32_t MessageBoxFlags(int32_t style);
int32_t MessageBoxResult(int systemButton);
TextValue MessageBoxContent(const Value& content);
}  // namespace detail

}  // namespace tobrine
