#include "app/link_extractor.h"

#include <utility>

#include "app/main_form.h"
#include "app/result_list.h"
#include "runtime/commands.h"
#include "runtime/value.h"
#include "runtime/window_registry.h"
#include "text/extraction.h"
#include "web/markers.h"
#include "web/web_access.h"

namespace tobrine::app {
namespace {

// The markers a distribution page and its manifests are searched for. Every
// marker means its characters literally.
constexpr std::string_view kScriptTagMarker = "\" + tag +\"";
constexpr std::string_view kCodeLeft = "download('";
constexpr std::string_view kCodeRight = "'";
constexpr std::string_view kManifestLeft = "download-manifest&url=";
constexpr std::string_view kManifestSuffix = ".plist";
constexpr std::string_view kHrefHttpsLeft = "href=\"https://";
constexpr std::string_view kHttpsPrefix = "https://";
constexpr std::string_view kQuote = "\"";
constexpr std::string_view kPackageLeft = "<string>http";
constexpr std::string_view kPackageRight = "</string>";
constexpr std::string_view kPackageScheme = "http";
constexpr std::string_view kFinishedMessage = "获取完成！！";

// Shortest link worth a row: "http" put back in front of nothing useful gives
// at most 8 bytes ("https://").
constexpr int32_t kShortestLink = 8;

void List(ArrayValue& links, std::string_view page, std::string_view left, std::string_view right,
          std::string_view prefix, bool includeRight) {
  text::ExtractOptions options;
  options.prefix = prefix;
  options.includeRight = includeRight;
  text::ExtractAllBetween(page, left, right, links, options);
}

// The manifest addresses of a page, in the order found.
ArrayValue CollectManifestLinks(TextValue& page) {
  ArrayValue links(ValueKind::kText);
  int32_t p = FindText(page, kScriptTagMarker, std::nullopt, false);
  if (p > 1) {
    // The page builds each address from a script call: download('code').
    ArrayValue codes(ValueKind::kText);
    List(codes, page, kCodeLeft, kCodeRight, {}, false);
    TextValue left = TextValue::Literal(kManifestLeft);
    TextValue right = TextValue::Literal(kCodeRight);
    TextValue prefix = TextBetween(page, left, right);
    const int32_t count = codes.count();
    for (int32_t i = 1; i <= count; ++i)
      AppendElement(links, JoinTexts(prefix, codes.TextAt(i), kManifestSuffix));
  } else {
    List(links, page, kManifestLeft, kManifestSuffix, {}, true);
  }
  if (links.count() == 0) List(links, page, kHrefHttpsLeft, kManifestSuffix, kHttpsPrefix, true);
  if (links.count() == 0) List(links, page, kManifestLeft, kQuote, {}, false);
  return links;
}

// Fetches one manifest. The element itself is passed by reference: an address
// without a scheme is rewritten in place with "http://" in front.
TextValue FetchManifest(ArrayValue& links, int32_t k) {
  TextValue address = TextValue::Adopt(std::exchange(links.TextSlot(k), nullptr));
  ByteBlock body = WebAccess(address);
  // A nested run during the fetch has its own arrays; this slot is still ours.
  links.TextSlot(k) = address.release();
  return ToText(Value::Bytes(body));
}

}  // namespace

void LinkExtractor() {
  DeleteAllRows(kMainFormId, kReportList1);

  // The run's own copy: the text in the edit box never changes.
  TextValue address = std::move(ReadProperty(kMainFormId, kEditBox1, kEditContentProperty).text);
  TextValue page = ToText(Value::Bytes(WebAccess(address)));

  ArrayValue links = CollectManifestLinks(page);
  const int32_t count = links.count();
  for (int32_t k = 1; k <= count; ++k) {
    TextValue manifest = FetchManifest(links, k);
    TextValue left = TextValue::Literal(kPackageLeft);
    TextValue right = TextValue::Literal(kPackageRight);
    TextValue link = JoinTexts(kPackageScheme, TextBetween(manifest, left, right));
    if (TextLength(link) > kShortestLink) {
      int32_t row = InsertRow(kMainFormId, kReportList1);
      TextValue number = ToText(Value::Double(static_cast<double>(row) + 1.0));
      SetCellText(kMainFormId, kReportList1, row, 0, number.view());
      SetCellText(kMainFormId, kReportList1, row, 1, link.view());
    }
  }

  ShowMessageBox(Value::TextBlock(ConstantPool::Literal(kFinishedMessage)), 0);
}

}  // namespace tobrine::app
