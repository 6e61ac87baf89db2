// The result list commands and its double-click handler. Every command names the
// list by its identifier pair and first looks it up (a list that is not loaded
// ends the process with the lookup's report).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/window_backend.h"
#include "runtime/value.h"
#include "runtime/window_events.h"

namespace tobrine::window {

// Removes every row.
void DeleteAllRows(uint32_t windowId, uint32_t listId);

// Inserts one row and returns its index (-1 when the list refused it). The
// row's defaults: after the last row (also for a negative position), an empty
// first cell, no image (-1), state image 0, indent 0, item data 0.
int32_t InsertRow(uint32_t windowId, uint32_t listId, const platform::ListRowSpec& row = {});

// Sets the text of cell (row, column); column 0 and the empty text when left out.
bool SetCellText(uint32_t windowId, uint32_t listId, int32_t row,
                 std::optional<int32_t> column = {}, std::optional<std::string_view> text = {});

// The whole text of cell (row, column), whatever its length; empty for a row or
// column that does not exist.
TextValue GetCellText(uint32_t windowId, uint32_t listId, int32_t row,
                      std::optional<int32_t> column = {});

// The first selected row, -1 when none is (the list's property 35).
int32_t SelectedRow(uint32_t windowId, uint32_t listId);

// Asks the system shell to open a web address. Only texts that begin with
// "http://" or "https://" (ASCII case ignored) are handed on: the links come
// from remote manifests, and the shell's "open" would also start a local program
// named by any other text. Anything else, the empty text too, is ignored.
void OpenAddress(std::string_view text);

// Handler of the result list's double-click: opens the "网址" cell of the
// selected row. The event dispatch calls it for event -3 of 超级列表框1, as the
// stored form binds it.
void OpenSelectedLink();

// --- Copying links: Ctrl+C and the list's context menu ---

// The context menu's items, in menu order.
inline constexpr std::string_view kCopyLinkItem = "复制链接";  // the selected row's link
inline constexpr std::string_view kCopyAllItem = "复制全部";   // every link, one per line
inline constexpr std::string_view kOpenItem = "打开";          // what a double-click does

// The "网址" cell of the selected row; empty when no row is selected.
TextValue SelectedLink();
// Every row's non-empty "网址" cell in row order, joined by CR LF.
TextValue AllLinks();

// Puts the selected row's link on the clipboard (Ctrl+C, 复制链接). With no row
// selected, or an empty link, the clipboard keeps what it holds.
void CopySelectedLink();
// Puts every link on the clipboard (复制全部); with none, the clipboard keeps
// what it holds.
void CopyAllLinks();
// Shows the list's context menu at `at` and does what the user picks. Items
// that would do nothing are greyed: the copies without a link to copy, 打开
// unless the selected link is one OpenAddress opens.
void ShowResultListMenu(const platform::PopupAnchor& at);
// The program's handler of control requests: Ctrl+C and the context menu of
// 超级列表框1; other controls' requests are ignored.
void HandleControlRequest(uint32_t windowId, uint32_t controlId, ControlRequest request,
                          const platform::PopupAnchor& at);

}  // namespace tobrine::window
