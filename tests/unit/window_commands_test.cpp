// The window layer and the result list on whichever backend the build has: real
// Win32 controls under Wine (on the 1024 x 768 test screen), headless on Linux.
#include <gtest/gtest.h>

#include <string>

#include "app/form_description.h"
#include "app/result_list.h"
#include "platform/window_backend.h"
#include "runtime/commands.h"
#include "runtime/window_events.h"
#include "runtime/window_registry.h"
#include "test_platform.h"

namespace tobrine {
namespace {

using app::kMainFormId;
using app::kReportList1;

class RealMainForm : public testing::Test {
 protected:
  void SetUp() override {
    SetHandlerTable({});
    ASSERT_TRUE(LoadWindow(app::LoadStoredForm(), kMainFormId));
  }
  void TearDown() override {
    if (IsWindowLoaded(kMainFormId))
      platform::DestroyNative(LookupControl(kMainFormId, app::kWindowUnitId));
    ProcessEvents();
  }
  static int32_t Property(uint32_t control, int32_t index) {
    return ReadProperty(kMainFormId, control, index).integer;
  }
};

// The stored geometry at any DPI: the Win32 backend scales on its side of the
// seam (gui_dpi.sh runs this at 144 DPI too). At 96 DPI the test screen of
// 1024 x 768 puts the window at (220, 213).
TEST_F(RealMainForm, StandsWhereItIsStoredAndAnswersLive) {
  int32_t screenWidth = 0, screenHeight = 0;
  platform::ScreenSize(&screenWidth, &screenHeight);
  struct Row {
    uint32_t id;
    int32_t left, top, width, height;
  } rows[] = {
      {app::kWindowUnitId, (screenWidth - 583) / 2, (screenHeight - 342) / 2, 583, 342},
      {app::kLabel1, 16, 16, 64, 32},
      {app::kEditBox1, 80, 16, 416, 32},
      {app::kButton1, 504, 16, 56, 32},
      {kReportList1, 16, 56, 544, 216},
      {app::kLabel2, 88, 282, 400, 19},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.id);
    EXPECT_EQ(Property(r.id, kPropertyLeft), r.left);
    EXPECT_EQ(Property(r.id, kPropertyTop), r.top);
    EXPECT_EQ(Property(r.id, kPropertyWidth), r.width);
    EXPECT_EQ(Property(r.id, kPropertyHeight), r.height);
    EXPECT_EQ(Property(r.id, kPropertyVisible), 1);
    EXPECT_EQ(Property(r.id, kPropertyDisabled), 0);
  }
  platform::NativeWindow edit = LookupControl(kMainFormId, app::kEditBox1);
  platform::SetNativeText(edit, "http://例子.example/下载");
  EXPECT_EQ(ReadProperty(kMainFormId, app::kEditBox1, kEditContentProperty).text.view(),
            "http://例子.example/下载");
  EXPECT_EQ(platform::GetNativeText(LookupControl(kMainFormId, app::kButton1)), "获取");
  // The edit box keeps its height: its text fits at every DPI.
  EXPECT_LE(platform::SingleLineEditMinHeight(LookupControl(kMainFormId, app::kWindowUnitId)), 32);
}

TEST_F(RealMainForm, ResultListRowsAndCells) {
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1), i);
  EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1), 5);
  // Lengths around the first buffer and its doublings; double-byte text too.
  for (std::size_t n : {0u, 510u, 511u, 512u, 1024u, 5000u}) {
    const std::string link = "https://dl.example/" + std::string(n, 'q');
    ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 5, 1, link));
    EXPECT_EQ(app::GetCellText(kMainFormId, kReportList1, 5, 1).view(), link) << n;
  }
  std::string chinese;
  for (int i = 0; i < 600; ++i) chinese += "网址";
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 5, 1, chinese));
  EXPECT_EQ(app::GetCellText(kMainFormId, kReportList1, 5, 1).view(), chinese);
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 5, 0, "6"));
  EXPECT_EQ(app::GetCellText(kMainFormId, kReportList1, 5).view(), "6");
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, 4, 1).absent());
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, 6, 0).absent());
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, -1, 1).absent());
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  app::DeleteAllRows(kMainFormId, kReportList1);
  EXPECT_EQ(platform::ListRowCount(LookupControl(kMainFormId, kReportList1)), 0);
}

// Literal texts here are code page 936; what the clipboard gives back is UTF-8.
std::string Utf8(const char8_t* text) {
  return reinterpret_cast<const char*>(text);
}

TEST_F(RealMainForm, LinksGoToTheClipboardAsUnicodeText) {
  platform::NativeWindow list = LookupControl(kMainFormId, kReportList1);
  struct Row {
    std::string_view text;  // code page 936
    std::string utf8;
  } rows[] = {
      {"https://dl.example/a.ipa?x=1&y=2", Utf8(u8"https://dl.example/a.ipa?x=1&y=2")},
      {"http://例子.example/下载/应用.ipa", Utf8(u8"http://例子.example/下载/应用.ipa")},
      {"a\r\nb", "a\r\nb"},
  };
  for (const auto& r : rows) {
    ASSERT_TRUE(platform::SetClipboardText(list, r.text));
    EXPECT_EQ(test::ClipboardUtf8(), r.utf8);
  }

  // No row selected: Ctrl+C and 复制链接 leave the clipboard as it is.
  ASSERT_TRUE(platform::SetClipboardText(list, "before"));
  app::CopySelectedLink();
  EXPECT_EQ(test::ClipboardUtf8(), "before");
  app::CopyAllLinks();  // nor is there any link yet
  EXPECT_EQ(test::ClipboardUtf8(), "before");

  // 复制全部: the links in row order, one per line, empty cells left out.
  const char* links[] = {"http://one.example/1.ipa", "", "https://二.example/2.ipa"};
  for (const char* link : links) {
    const int32_t row = app::InsertRow(kMainFormId, kReportList1);
    app::SetCellText(kMainFormId, kReportList1, row, 0, std::to_string(row + 1));
    app::SetCellText(kMainFormId, kReportList1, row, 1, link);
  }
  app::CopyAllLinks();
  EXPECT_EQ(test::ClipboardUtf8(), Utf8(u8"http://one.example/1.ipa\r\nhttps://二.example/2.ipa"));
}

}  // namespace
}  // namespace tobrine
