// The result list commands, its selection rules and the double-click handler on
// MainForm, on the build's backend; OpenAddress hands links to a recording
// opener.
#include "app/result_list.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "app/startup.h"
#include "runtime/commands.h"
#include "test_support.h"
#include "web/url.h"
#include "window_fixture.h"

namespace tobrine {
namespace {

using app::kMainFormId;
using app::kReportList1;

// The program's own handlers, over the stored form.
class ResultList : public test::LoadedMainForm {
 protected:
  std::vector<BoundHandler> Handlers() override { return app::ProgramHandlerTable(); }

  static int32_t Insert() { return app::InsertRow(kMainFormId, kReportList1); }
  static std::string Cell(int32_t row, int32_t column) {
    return std::string(app::GetCellText(kMainFormId, kReportList1, row, column).view());
  }
  // Rows numbered as the link extractor numbers them, with the given links.
  static void Fill(const std::vector<std::string>& links) {
    app::DeleteAllRows(kMainFormId, kReportList1);
    for (const auto& link : links) {
      const int32_t row = Insert();
      app::SetCellText(kMainFormId, kReportList1, row, 0, std::to_string(row + 1));
      app::SetCellText(kMainFormId, kReportList1, row, 1, link);
    }
  }
};

TEST_F(ResultList, InsertRowWithArgumentsLeftOutAppendsAnEmptyRow) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Insert(), i);
  app::SetCellText(kMainFormId, kReportList1, 4, 0, "last");
  EXPECT_EQ(Insert(), 5);
  EXPECT_EQ(Cell(4, 0), "last");
  EXPECT_EQ(Cell(5, 0), "");
  EXPECT_EQ(platform::ListRowCount(Control(kReportList1)), 6);

  // A given position and title; a negative position still appends.
  EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1, {.position = 0, .title = "first"}), 0);
  EXPECT_EQ(Cell(0, 0), "first");
  EXPECT_EQ(Cell(5, 0), "last");
  EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1, {.position = -3, .title = "end"}), 7);
  EXPECT_EQ(Cell(7, 0), "end");

  app::DeleteAllRows(kMainFormId, kReportList1);
  EXPECT_EQ(platform::ListRowCount(Control(kReportList1)), 0);
  EXPECT_EQ(Insert(), 0);
}

TEST_F(ResultList, CellTextsGoInAndComeBackWhole) {
  Insert();
  Insert();
  // Lengths around the first buffer (512 bytes) and its doublings.
  for (std::size_t n : {1u, 510u, 511u, 512u, 513u, 1023u, 1024u, 5000u}) {
    std::string link = "https://dl.example/" + std::string(n, 'a');
    link.resize(n);
    ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 1, 1, link));
    TextValue back = app::GetCellText(kMainFormId, kReportList1, 1, 1);
    EXPECT_EQ(back.view(), link) << n;
  }
  // Double-byte text survives as it is, also when long.
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 0, 1, "网址"));
  EXPECT_EQ(Cell(0, 1), "网址");
  std::string chinese;
  for (int i = 0; i < 600; ++i) chinese += "网址";
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 1, 1, chinese));
  EXPECT_EQ(Cell(1, 1), chinese);
  // Column 0 and the empty text when left out.
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 0, std::nullopt, "1"));
  EXPECT_EQ(Cell(0, 0), "1");
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 0));
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, 0).absent());
  // Cells that do not exist.
  EXPECT_FALSE(app::SetCellText(kMainFormId, kReportList1, 9, 0, "x"));
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, -1, 1).absent());
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, 2, 1).absent());
  EXPECT_TRUE(app::GetCellText(kMainFormId, kReportList1, 0, 5).absent());
}

TEST_F(ResultList, SelectedRowIsTheOneRowSelectedOrMinusOne) {
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  Fill({"http://a/", "http://b/", "http://c/"});
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  test::SelectRow(Control(kReportList1), 1);
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), 1);
  test::SelectRow(Control(kReportList1), 2);  // single selection: the old one goes
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), 2);
  app::DeleteAllRows(kMainFormId, kReportList1);
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
}

TEST_F(ResultList, CommandsOnAListThatIsNotLoadedEndTheProcess) {
  const auto report = test::ReportText("指定窗口或窗口组件不存在或尚未载入", 0);
  EXPECT_EXIT(app::DeleteAllRows(0x52019999, kReportList1), test::EndsFatally(),
              testing::HasSubstr(report));
  EXPECT_EXIT(app::InsertRow(kMainFormId, 0x16019999), test::EndsFatally(),
              testing::HasSubstr(report));
  EXPECT_EXIT(
      {
        platform::DestroyNative(Control(kWindowUnitId));
        app::GetCellText(kMainFormId, kReportList1, 0, 1);
      },
      test::EndsFatally(), testing::HasSubstr(report));
}

TEST(OpenAddressRule, OnlyWebAddressesGoToTheShell) {
  struct Row {
    const char* text;
    bool opened;
  } rows[] = {
      {"http://example.com/a.ipa", true},
      {"https://example.com/a.ipa", true},
      {"HTTPS://EXAMPLE.COM/", true},
      {"HtTp://x", true},
      {"http://", true},
      {"", false},
      {"httpd.exe", false},
      {"http:/example.com", false},
      {"https:example.com", false},
      {" http://example.com", false},
      {"ftp://example.com/", false},
      {"file:///etc/passwd", false},
      {"itms-services://?action=download-manifest", false},
      {"C:\\Windows\\notepad.exe", false},
      {"ｈｔｔｐ://example.com", false},  // full-width letters are not ASCII
  };
  for (const auto& r : rows) EXPECT_EQ(HasWebScheme(r.text), r.opened) << r.text;
}

// What the shell is asked to open goes to a recorder.
class RecordingOpener : public ResultList {
 protected:
  std::vector<std::string> Opened(std::size_t count) { return opener_->Opened(count); }

  void SetUp() override {
    opener_.emplace();
    ResultList::SetUp();
  }
  void TearDown() override {
    ResultList::TearDown();
    opener_.reset();
  }

 private:
  std::optional<test::OpenRecorder> opener_;
};

TEST_F(RecordingOpener, OpenAddressHandsOnlyWebAddressesToTheOpener) {
  app::OpenAddress("httpd.exe");
  app::OpenAddress("");
  app::OpenAddress("file:///etc/passwd");
  app::OpenAddress("https://dl.example/app.ipa?a=1&b=2 c");
  EXPECT_EQ(Opened(1), std::vector<std::string>{"https://dl.example/app.ipa?a=1&b=2 c"});
}

TEST_F(RecordingOpener, DoubleClickOpensTheAddressCellOfTheRowUnderThePointer) {
  // Longer than the first cell buffer (512 bytes). Under 1,024 characters: Wine's
  // list control breaks on a click at a row as long as that (longer cells are
  // read back in CellTextsGoInAndComeBackWhole).
  const std::string longLink = "https://dl.example/" + std::string(900, 'z') + ".ipa";
  Fill({"http://one.example/1.ipa", "http://two.example/2.ipa", longLink});
  test::PostDoubleClick(Control(kReportList1), 1);
  ProcessEvents();
  ASSERT_EQ(Opened(1).size(), 1u);  // one at a time: the openers run concurrently
  test::PostDoubleClick(Control(kReportList1), 2);
  ProcessEvents();
  const auto opened = Opened(2);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], "http://two.example/2.ipa");
  EXPECT_EQ(opened[1], longLink);  // unshortened
}

TEST_F(RecordingOpener, DoubleClickWithNoRowSelectedOpensNothing) {
  // On an empty list, and below the last row (the first click clears the selection).
  test::PostDoubleClick(Control(kReportList1), -1);
  ProcessEvents();
  Fill({"http://one.example/1.ipa"});
  test::SelectRow(Control(kReportList1), 0);
  test::PostDoubleClick(Control(kReportList1), -1);
  ProcessEvents();
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  EXPECT_TRUE(Opened(0).empty());
}

TEST_F(ResultList, ObserverSeesRowsAsTheyAreAdded) {
  std::vector<std::string> log;
  if (!test::ObserveLists(
          [&](test::ListChange change, int32_t row, const std::vector<std::string>& cells) {
            std::ostringstream line;
            line << static_cast<int>(change) << ":" << row;
            for (const auto& c : cells) line << "|" << c;
            log.push_back(line.str());
          })) {
    GTEST_SKIP() << "real list controls report no row changes to an observer (the headless "
                    "backend offers one for the command line)";
  }
  Fill({"http://a/"});
  const std::vector<std::string> want = {"2:-1", "0:0||", "1:0|1|", "1:0|1|http://a/"};
  EXPECT_EQ(log, want);
}

}  // namespace
}  // namespace tobrine
