// The result list commands, its selection rules and the double-click handler on
// MainForm, on the build's backend; OpenAddress hands links to a recording
// opener.
#include "window/result_list.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "runtime/commands.h"
#include "test_platform.h"
#include "test_support.h"
#include "web/url.h"
#include "window/startup.h"
#include "window_fixture.h"

namespace tobrine {
namespace {

using window::kMainFormId;
using window::kReportList1;

// The program's own handlers, over the stored form.
class ResultList : public test::LoadedMainForm {
 protected:
  std::vector<BoundHandler> Handlers() override { return window::ProgramHandlerTable(); }

  static int32_t Insert() { return window::InsertRow(kMainFormId, kReportList1); }
  static std::string Cell(int32_t row, int32_t column) {
    return std::string(window::GetCellText(kMainFormId, kReportList1, row, column).view());
  }
  // Rows numbered as the link extractor numbers them, with the given links.
  static void Fill(const std::vector<std::string>& links) {
    window::DeleteAllRows(kMainFormId, kReportList1);
    for (const auto& link : links) {
      const int32_t row = Insert();
      window::SetCellText(kMainFormId, kReportList1, row, 0, std::to_string(row + 1));
      window::SetCellText(kMainFormId, kReportList1, row, 1, link);
    }
  }
};

TEST_F(ResultList, InsertRowWithArgumentsLeftOutAppendsAnEmptyRow) {
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Insert(), i);
  window::SetCellText(kMainFormId, kReportList1, 4, 0, "last");
  EXPECT_EQ(Insert(), 5);
  EXPECT_EQ(Cell(4, 0), "last");
  EXPECT_EQ(Cell(5, 0), "");
  EXPECT_EQ(platform::ListRowCount(Control(kReportList1)), 6);

  // A given position and title; a negative position still appends.
  EXPECT_EQ(window::InsertRow(kMainFormId, kReportList1, {.position = 0, .title = "first"}), 0);
  EXPECT_EQ(Cell(0, 0), "first");
  EXPECT_EQ(Cell(5, 0), "last");
  EXPECT_EQ(window::InsertRow(kMainFormId, kReportList1, {.position = -3, .title = "end"}), 7);
  EXPECT_EQ(Cell(7, 0), "end");

  window::DeleteAllRows(kMainFormId, kReportList1);
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
    ASSERT_TRUE(window::SetCellText(kMainFormId, kReportList1, 1, 1, link));
    TextValue back = window::GetCellText(kMainFormId, kReportList1, 1, 1);
    EXPECT_EQ(back.view(), link) << n;
  }
  // Double-byte text survives as it is, also when long.
  ASSERT_TRUE(window::SetCellText(kMainFormId, kReportList1, 0, 1, "网址"));
  EXPECT_EQ(Cell(0, 1), "网址");
  std::string chinese;
  for (int i = 0; i < 600; ++i) chinese += "网址";
  ASSERT_TRUE(window::SetCellText(kMainFormId, kReportList1, 1, 1, chinese));
  EXPECT_EQ(Cell(1, 1), chinese);
  // Column 0 and the empty text when left out.
  ASSERT_TRUE(window::SetCellText(kMainFormId, kReportList1, 0, std::nullopt, "1"));
  EXPECT_EQ(Cell(0, 0), "1");
  ASSERT_TRUE(window::SetCellText(kMainFormId, kReportList1, 0));
  EXPECT_TRUE(window::GetCellText(kMainFormId, kReportList1, 0).absent());
  // Cells that do not exist.
  EXPECT_FALSE(window::SetCellText(kMainFormId, kReportList1, 9, 0, "x"));
  EXPECT_TRUE(window::GetCellText(kMainFormId, kReportList1, -1, 1).absent());
  EXPECT_TRUE(window::GetCellText(kMainFormId, kReportList1, 2, 1).absent());
  EXPECT_TRUE(window::GetCellText(kMainFormId, kReportList1, 0, 5).absent());
}

// Literal texts here are code page 936; what the clipboard gives back as
// Unicode text is compared in UTF-8.
std::string Utf8(const char8_t* text) {
  return reinterpret_cast<const char*>(text);
}

TEST_F(ResultList, LinksGoToTheClipboardAsUnicodeText) {
  platform::NativeWindow list = Control(kReportList1);
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
  window::CopySelectedLink();
  EXPECT_EQ(test::ClipboardUtf8(), "before");
  window::CopyAllLinks();  // nor is there any link yet
  EXPECT_EQ(test::ClipboardUtf8(), "before");

  // 复制全部: the links in row order, one per line, empty cells left out.
  Fill({"http://one.example/1.ipa", "", "https://二.example/2.ipa"});
  window::CopyAllLinks();
  EXPECT_EQ(test::ClipboardUtf8(), Utf8(u8"http://one.example/1.ipa\r\nhttps://二.example/2.ipa"));
}

TEST_F(ResultList, SelectedRowIsTheOneRowSelectedOrMinusOne) {
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), -1);
  Fill({"http://a/", "http://b/", "http://c/"});
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), -1);
  test::SelectRow(Control(kReportList1), 1);
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), 1);
  test::SelectRow(Control(kReportList1), 2);  // single selection: the old one goes
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), 2);
  window::DeleteAllRows(kMainFormId, kReportList1);
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), -1);
}

TEST_F(ResultList, CommandsOnAListThatIsNotLoadedEndTheProcess) {
  const auto report = test::ReportText("指定窗口或窗口组件不存在或尚未载入", 0);
  EXPECT_EXIT(window::DeleteAllRows(0x52019999, kReportList1), test::EndsFatally(),
              testing::HasSubstr(report));
  EXPECT_EXIT(window::InsertRow(kMainFormId, 0x16019999), test::EndsFatally(),
              testing::HasSubstr(report));
  EXPECT_EXIT(
      {
        platform::DestroyNative(Control(kWindowUnitId));
        window::GetCellText(kMainFormId, kReportList1, 0, 1);
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
  window::OpenAddress("httpd.exe");
  window::OpenAddress("");
  window::OpenAddress("file:///etc/passwd");
  window::OpenAddress("https://dl.example/app.ipa?a=1&b=2 c");
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
  EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), -1);
  EXPECT_TRUE(Opened(0).empty());
}

// Ctrl+C and the context menu with the program's request handler, the
// backend's clipboard and (headless) a chooser standing in for the user at the
// menu.
class LinkCopying : public RecordingOpener {
 protected:
  static constexpr const char* kBefore = "(clipboard before)";
  static inline std::vector<std::vector<test::MenuItem>> menus;  // every menu shown
  static inline int32_t choice = -1;
  bool menusChosen = false;

  void SetUp() override {
    RecordingOpener::SetUp();
    SetControlRequestHandler(&window::HandleControlRequest);
    menus.clear();
    choice = -1;
    menusChosen = test::ChooseFromMenus([](const std::vector<test::MenuItem>& items) {
      menus.push_back(items);
      return choice;
    });
    platform::SetClipboardText(Control(kReportList1), kBefore);
  }
  void TearDown() override {
    test::ChooseFromMenus(nullptr);
    SetControlRequestHandler(nullptr);
    RecordingOpener::TearDown();
  }

  static void CtrlC() {
    test::HoldKeys(kKeyCtrl);
    test::PostKeyPress(Control(kReportList1), 'C');
    ProcessEvents();
    test::HoldKeys(0);
  }
  // Right-clicks `row` (-1: below the rows) and picks `item` from the menu.
  static void Menu(int32_t row, int32_t item) {
    choice = item;
    test::PostRightClick(Control(kReportList1), row);
    ProcessEvents();
  }
  // A real menu waits for a real user.
  bool SkipWithoutChooser() const { return !menusChosen; }
  static constexpr const char* kNoChooser =
      "a real pop-up menu waits for a real user (gui_copy_links.sh picks from it under Wine)";
  static std::vector<bool> Enabled(const std::vector<test::MenuItem>& menu) {
    std::vector<bool> enabled;
    for (const auto& item : menu) enabled.push_back(item.enabled);
    return enabled;
  }
};

TEST_F(LinkCopying, CtrlCCopiesTheSelectedRowsLink) {
  Fill({"http://one.example/1.ipa", "https://two.example/网址.ipa"});
  CtrlC();  // nothing selected: the clipboard keeps its text
  EXPECT_EQ(test::ClipboardText(), kBefore);
  test::SelectRow(Control(kReportList1), 1);
  CtrlC();
  EXPECT_EQ(test::ClipboardText(), "https://two.example/网址.ipa");
  // A row whose link is still empty (the lookup fills it a moment later).
  window::InsertRow(kMainFormId, kReportList1);
  test::SelectRow(Control(kReportList1), 2);
  CtrlC();
  EXPECT_EQ(test::ClipboardText(), "https://two.example/网址.ipa");
  EXPECT_TRUE(menus.empty());
}

TEST_F(LinkCopying, MenuOffersItsItemsGreyedWhereTheyWouldDoNothing) {
  if (SkipWithoutChooser()) GTEST_SKIP() << kNoChooser;
  struct Row {
    std::vector<std::string> links;
    int32_t clicked;  // the row right-clicked, -1 below the rows
    std::vector<bool> enabled;
  } rows[] = {
      {{}, -1, {false, false, false}},
      {{"http://a/1.ipa", "http://b/2.ipa"}, -1, {false, true, false}},
      {{"http://a/1.ipa", "http://b/2.ipa"}, 1, {true, true, true}},
      {{"HTTPS://A/1.ipa"}, 0, {true, true, true}},
      {{"file:///etc/passwd", "http://b/2.ipa"}, 0, {true, true, false}},  // not opened
      {{"", "http://b/2.ipa"}, 0, {false, true, false}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.links.size() << " rows, row " << r.clicked);
    Fill(r.links);
    menus.clear();
    Menu(r.clicked, -1);
    ASSERT_EQ(menus.size(), 1u);
    const auto& menu = menus[0];
    ASSERT_EQ(menu.size(), 3u);
    EXPECT_EQ(menu[0].text, "复制链接");
    EXPECT_EQ(menu[1].text, "复制全部");
    EXPECT_EQ(menu[2].text, "打开");
    EXPECT_EQ(Enabled(menu), r.enabled);
    // 打开 is what a double-click does: the default item.
    EXPECT_TRUE(!menu[0].isDefault && !menu[1].isDefault && menu[2].isDefault);
    EXPECT_EQ(window::SelectedRow(kMainFormId, kReportList1), r.clicked);
  }
  EXPECT_EQ(test::ClipboardText(), kBefore);  // dismissed every time
}

TEST_F(LinkCopying, EachMenuItemDoesWhatItSays) {
  if (SkipWithoutChooser()) GTEST_SKIP() << kNoChooser;
  Fill({"http://one.example/1.ipa", "https://two.example/2.ipa", "", "http://four.example/4"});
  Menu(1, 0);  // 复制链接
  EXPECT_EQ(test::ClipboardText(), "https://two.example/2.ipa");
  Menu(0, 1);  // 复制全部: every link, one per line; the empty one left out
  EXPECT_EQ(test::ClipboardText(),
            "http://one.example/1.ipa\r\nhttps://two.example/2.ipa\r\nhttp://four.example/4");
  platform::SetClipboardText(Control(kReportList1), kBefore);
  Menu(3, 2);  // 打开
  EXPECT_EQ(Opened(1), std::vector<std::string>{"http://four.example/4"});
  EXPECT_EQ(test::ClipboardText(), kBefore);
  EXPECT_EQ(menus.size(), 3u);
}

TEST_F(LinkCopying, AGreyedOrMissedItemDoesNothing) {
  if (SkipWithoutChooser()) GTEST_SKIP() << kNoChooser;
  Fill({"file:///etc/passwd"});
  Menu(0, 2);   // 打开 is greyed for a link the shell must not get
  Menu(-1, 0);  // 复制链接 greyed: nothing selected
  Menu(0, 7);   // outside the menu
  EXPECT_EQ(menus.size(), 3u);
  EXPECT_EQ(test::ClipboardText(), kBefore);
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
