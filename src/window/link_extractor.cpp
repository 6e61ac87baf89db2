#include "window/link_extractor.h"

#include <utility>

#include "lookup/lookup.h"
#include "runtime/commands.h"
#include "runtime/value.h"
#include "runtime/window_registry.h"
#include "window/main_form.h"
#include "window/result_list.h"

namespace tobrine::window {
namespace {

constexpr std::string_view kFinishedMessage = "获取完成！！";

}  // namespace

void LinkExtractor() {
  DeleteAllRows(kMainFormId, kReportList1);

  // The run's own copy: the text in the edit box never changes.
  TextValue address = std::move(ReadProperty(kMainFormId, kEditBox1, kEditContentProperty).text);
  // Each package becomes a row the moment its manifest has been read, numbered
  // after the rows the list holds (a nested run may have added some).
  lookup::LookUpPackages(std::move(address), [](const lookup::PackageRow& package) {
    int32_t row = InsertRow(kMainFormId, kReportList1);
    TextValue number = ToText(Value::Double(static_cast<double>(row) + 1.0));
    SetCellText(kMainFormId, kReportList1, row, 0, number.view());
    SetCellText(kMainFormId, kReportList1, row, 1, package.link);
  });

  ShowMessageBox(Value::TextBlock(ConstantPool::Literal(kFinishedMessage)), 0);
}

}  // namespace tobrine::window
