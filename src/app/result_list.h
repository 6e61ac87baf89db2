// The result list commands and its double-click handler. Every command names the
// list by its identifier pair and first looks it up (a list that is not loaded
// ends the process with the lookup's report).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/window_backend.h"
#include "runtime/value.h"

namespace tobrine::app {

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

}  // namespace tobrine::app
