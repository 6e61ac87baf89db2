#include "app/result_list.h"

#include <vector>

#include "app/main_form.h"
#include "platform/window_backend.h"
#include "runtime/window_registry.h"
#include "web/url.h"

namespace tobrine::app {
namespace {

constexpr int32_t kLinkColumn = 1;  // "网址"
constexpr int32_t kFirstCellBuffer = 512;

}  // namespace

void DeleteAllRows(uint32_t windowId, uint32_t listId) {
  platform::ListDeleteAllRows(LookupControl(windowId, listId));
}

int32_t InsertRow(uint32_t windowId, uint32_t listId, const platform::ListRowSpec& row) {
  return platform::ListInsertRow(LookupControl(windowId, listId), row);
}

bool SetCellText(uint32_t windowId, uint32_t listId, int32_t row, std::optional<int32_t> column,
                 std::optional<std::string_view> text) {
  return platform::ListSetCellText(LookupControl(windowId, listId), row, column.value_or(0),
                                   text.value_or(std::string_view()));
}

TextValue GetCellText(uint32_t windowId, uint32_t listId, int32_t row,
                      std::optional<int32_t> column) {
  platform::NativeWindow list = LookupControl(windowId, listId);
  std::vector<char> buffer(kFirstCellBuffer);
  for (;;) {
    const int32_t capacity = static_cast<int32_t>(buffer.size());
    const int32_t n =
        platform::ListCopyCellText(list, row, column.value_or(0), buffer.data(), capacity);
    // A text that filled the buffer may have been cut: ask again with twice the room.
    if (n < capacity - 1) return TextValue::FromBytes(std::string_view(buffer.data(), n));
    buffer.resize(buffer.size() * 2);
  }
}

int32_t SelectedRow(uint32_t windowId, uint32_t listId) {
  return ReadProperty(windowId, listId, kListSelectedRowProperty).integer;
}

void OpenAddress(std::string_view text) {
  if (HasWebScheme(text)) platform::ShellOpen(text);
}

void OpenSelectedLink() {
  const int32_t row = SelectedRow(kMainFormId, kReportList1);
  TextValue link = GetCellText(kMainFormId, kReportList1, row, kLinkColumn);
  OpenAddress(link.view());
}

}  // namespace tobrine::app
