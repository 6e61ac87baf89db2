#include "window/result_list.h"

#include <string>
#include <vector>

#include "platform/window_backend.h"
#include "runtime/window_registry.h"
#include "web/url.h"
#include "window/main_form.h"

namespace tobrine::window {
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

TextValue SelectedLink() {
  const int32_t row = SelectedRow(kMainFormId, kReportList1);
  if (row < 0) return TextValue();
  return GetCellText(kMainFormId, kReportList1, row, kLinkColumn);
}

TextValue AllLinks() {
  const int32_t rows = platform::ListRowCount(LookupControl(kMainFormId, kReportList1));
  std::string all;
  for (int32_t row = 0; row < rows; ++row) {
    TextValue link = GetCellText(kMainFormId, kReportList1, row, kLinkColumn);
    if (link.empty()) continue;  // a row the lookup has not filled in yet
    if (!all.empty()) all += "\r\n";
    all += link.view();
  }
  return TextValue::FromBytes(all);
}

namespace {
void CopyToClipboard(const TextValue& text) {
  if (!text.empty())
    platform::SetClipboardText(LookupControl(kMainFormId, kReportList1), text.view());
}
}  // namespace

void CopySelectedLink() {
  CopyToClipboard(SelectedLink());
}

void CopyAllLinks() {
  CopyToClipboard(AllLinks());
}

void ShowResultListMenu(const platform::PopupAnchor& at) {
  const TextValue selected = SelectedLink();
  const TextValue all = AllLinks();
  const std::vector<platform::MenuItemSpec> items = {
      {kCopyLinkItem, !selected.empty(), false},
      {kCopyAllItem, !all.empty(), false},
      {kOpenItem, HasWebScheme(selected.view()), true},
  };
  // The menu waits for the user: the rows may change meanwhile (a nested lookup),
  // so each choice reads the list again.
  switch (platform::ShowPopupMenu(LookupControl(kMainFormId, kReportList1), items, at)) {
    case 0:
      CopySelectedLink();
      break;
    case 1:
      CopyAllLinks();
      break;
    case 2:
      OpenSelectedLink();
      break;
    default:
      break;
  }
}

void HandleControlRequest(uint32_t windowId, uint32_t controlId, ControlRequest request,
                          const platform::PopupAnchor& at) {
  if (windowId != kMainFormId || controlId != kReportList1) return;
  if (request == ControlRequest::kCopy) {
    CopySelectedLink();
  } else {
    ShowResultListMenu(at);
  }
}

}  // namespace tobrine::window
