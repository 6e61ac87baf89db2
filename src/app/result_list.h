// The result list commands and its double-click handler. Every command names the
// list by its identifier pair and first looks it up (a list that is not loaded
// ends the process with the lookup's report).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"

namespace tobrine::app {

// Removes every row.
void DeleteAllRows(uint32_t windowId, uint32_t listId);

// Inserts one row and returns its index (-1 when the list refused it). Left-out
// arguments: position after the last row (also for a negative one), an empty
// first cell, no image (-1), state image 0, indent 0, item data 0.
int32_t InsertRow(uint32_t windowId, uint32_t listId, std::optional<int32_t> position = {},
                  std::optional<std::string_view> title = {}, std::optional<int32_t> image = {},
                  std::optional<int32_t> stateImage = {}, std::optional<int32_t> indent = {},
                  std::optional<intptr_t> itemData = {});

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
// Whether OpenAddress hands `text` to the shell.
bool IsWebAddress(std::string_view text);

// Handler of the result list's double-click: opens the "网址" cell of the
// selected row.
void OpenSelectedLink();

}  // namespace tobrine::app
