// The result list commands, its selection rules and the double-click handler on
// the headless MainForm; OpenAddress hands links to a recording opener.
#include "app/result_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/startup.h"
#include "runtime/commands.h"
#include "test_support.h"
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
  EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1, 0, "first"), 0);
  EXPECT_EQ(Cell(0, 0), "first");
  EXPECT_EQ(Cell(5, 0), "last");
  EXPECT_EQ(app::InsertRow(kMainFormId, kReportList1, -3, "end"), 7);
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
  // Double-byte text survives as it is.
  ASSERT_TRUE(app::SetCellText(kMainFormId, kReportList1, 0, 1, "网址"));
  EXPECT_EQ(Cell(0, 1), "网址");
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
  headless::SelectRow(Control(kReportList1), 1);
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), 1);
  headless::SelectRow(Control(kReportList1), 2);  // single selection: the old one goes
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
        platform::DestroyNative(Control(app::kWindowUnitId));
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
  for (const auto& r : rows) EXPECT_EQ(app::IsWebAddress(r.text), r.opened) << r.text;
}

// A stand-in browser: a script that appends its one argument to a log file.
class RecordingOpener : public ResultList {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tobrine-opener-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    log_ = dir_ + "/opened.txt";
    const std::string script = dir_ + "/opener";
    std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log_ << "'\n";
    chmod(script.c_str(), 0755);
    setenv(headless::kOpenerVariable, script.c_str(), 1);
    ResultList::SetUp();
  }
  void TearDown() override {
    ResultList::TearDown();
    unsetenv(headless::kOpenerVariable);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // The lines logged once `count` have arrived (or 5 s have passed), after a
  // further pause in which a line that should not be there would turn up.
  std::vector<std::string> Opened(std::size_t count) {
    std::vector<std::string> lines;
    for (int waited = 0; waited < 5000; waited += 20) {
      lines = Lines();
      if (lines.size() >= count) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return Lines();
  }

 private:
  std::vector<std::string> Lines() const {
    std::ifstream in(log_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::string dir_, log_;
};

TEST_F(RecordingOpener, OpenAddressHandsOnlyWebAddressesToTheOpener) {
  app::OpenAddress("httpd.exe");
  app::OpenAddress("");
  app::OpenAddress("file:///etc/passwd");
  app::OpenAddress("https://dl.example/app.ipa?a=1&b=2 c");
  EXPECT_EQ(Opened(1), std::vector<std::string>{"https://dl.example/app.ipa?a=1&b=2 c"});
}

TEST_F(RecordingOpener, DoubleClickOpensTheAddressCellOfTheRowUnderThePointer) {
  const std::string longLink = "https://dl.example/" + std::string(5000, 'z') + ".ipa";
  Fill({"http://one.example/1.ipa", "http://two.example/2.ipa", longLink});
  headless::PostDoubleClick(Control(kReportList1), 1);
  ProcessEvents();
  ASSERT_EQ(Opened(1).size(), 1u);  // one at a time: the openers run concurrently
  headless::PostDoubleClick(Control(kReportList1), 2);
  ProcessEvents();
  const auto opened = Opened(2);
  ASSERT_EQ(opened.size(), 2u);
  EXPECT_EQ(opened[0], "http://two.example/2.ipa");
  EXPECT_EQ(opened[1], longLink);  // unshortened
}

TEST_F(RecordingOpener, DoubleClickWithNoRowSelectedOpensNothing) {
  // On an empty list, and below the last row (the first click clears the selection).
  headless::PostDoubleClick(Control(kReportList1), -1);
  ProcessEvents();
  Fill({"http://one.example/1.ipa"});
  headless::SelectRow(Control(kReportList1), 0);
  headless::PostDoubleClick(Control(kReportList1), -1);
  ProcessEvents();
  EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), -1);
  EXPECT_TRUE(Opened(0).empty());
}

// Ctrl+C and the context menu with the program's request handler, an in-memory
// clipboard and a chooser standing in for the user at the menu.
class LinkCopying : public RecordingOpener {
 protected:
  static constexpr const char* kBefore = "(clipboard before)";
  static inline std::vector<std::vector<headless::MenuItem>> menus;  // every menu shown
  static inline int32_t choice = -1;

  void SetUp() override {
    RecordingOpener::SetUp();
    SetControlRequestHandler(&app::HandleControlRequest);
    menus.clear();
    choice = -1;
    headless::SetMenuChooser([](const std::vector<headless::MenuItem>& items) {
      menus.push_back(items);
      return choice;
    });
    platform::SetClipboardText(Control(kReportList1), kBefore);
  }
  void TearDown() override {
    headless::SetMenuChooser(nullptr);
    SetControlRequestHandler(nullptr);
    RecordingOpener::TearDown();
  }

  static void CtrlC() {
    headless::SetKeyState(kKeyCtrl);
    headless::PostKeyPress(Control(kReportList1), 'C');
    ProcessEvents();
    headless::SetKeyState(0);
  }
  // Right-clicks `row` (-1: below the rows) and picks `item` from the menu.
  static void Menu(int32_t row, int32_t item) {
    choice = item;
    headless::PostRightClick(Control(kReportList1), row);
    ProcessEvents();
  }
  static std::vector<bool> Enabled(const std::vector<headless::MenuItem>& menu) {
    std::vector<bool> enabled;
    for (const auto& item : menu) enabled.push_back(item.enabled);
    return enabled;
  }
};

TEST_F(LinkCopying, CtrlCCopiesTheSelectedRowsLink) {
  Fill({"http://one.example/1.ipa", "https://two.example/网址.ipa"});
  CtrlC();  // nothing selected: the clipboard keeps its text
  EXPECT_EQ(headless::ClipboardText(), kBefore);
  headless::SelectRow(Control(kReportList1), 1);
  CtrlC();
  EXPECT_EQ(headless::ClipboardText(), "https://two.example/网址.ipa");
  // A row whose link is still empty (the lookup fills it a moment later).
  app::InsertRow(kMainFormId, kReportList1);
  headless::SelectRow(Control(kReportList1), 2);
  CtrlC();
  EXPECT_EQ(headless::ClipboardText(), "https://two.example/网址.ipa");
  EXPECT_TRUE(menus.empty());
}

TEST_F(LinkCopying, MenuOffersItsItemsGreyedWhereTheyWouldDoNothing) {
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
    EXPECT_EQ(app::SelectedRow(kMainFormId, kReportList1), r.clicked);
  }
  EXPECT_EQ(headless::ClipboardText(), kBefore);  // dismissed every time
}

TEST_F(LinkCopying, EachMenuItemDoesWhatItSays) {
  Fill({"http://one.example/1.ipa", "https://two.example/2.ipa", "", "http://four.example/4"});
  Menu(1, 0);  // 复制链接
  EXPECT_EQ(headless::ClipboardText(), "https://two.example/2.ipa");
  Menu(0, 1);  // 复制全部: every link, one per line; the empty one left out
  EXPECT_EQ(headless::ClipboardText(),
            "http://one.example/1.ipa\r\nhttps://two.example/2.ipa\r\nhttp://four.example/4");
  platform::SetClipboardText(Control(kReportList1), kBefore);
  Menu(3, 2);  // 打开
  EXPECT_EQ(Opened(1), std::vector<std::string>{"http://four.example/4"});
  EXPECT_EQ(headless::ClipboardText(), kBefore);
  EXPECT_EQ(menus.size(), 3u);
}

TEST_F(LinkCopying, AGreyedOrMissedItemDoesNothing) {
  Fill({"file:///etc/passwd"});
  Menu(0, 2);   // 打开 is greyed for a link the shell must not get
  Menu(-1, 0);  // 复制链接 greyed: nothing selected
  Menu(0, 7);   // outside the menu
  EXPECT_EQ(menus.size(), 3u);
  EXPECT_EQ(headless::ClipboardText(), kBefore);
  EXPECT_TRUE(Opened(0).empty());
}

TEST_F(ResultList, ObserverSeesRowsAsTheyAreAdded) {
  std::vector<std::string> log;
  headless::SetListObserver([&](platform::NativeWindow, headless::ListChange change, int32_t row,
                                const std::vector<std::string>& cells) {
    std::ostringstream line;
    line << static_cast<int>(change) << ":" << row;
    for (const auto& c : cells) line << "|" << c;
    log.push_back(line.str());
  });
  Fill({"http://a/"});
  const std::vector<std::string> want = {"2:-1", "0:0||", "1:0|1|", "1:0|1|http://a/"};
  EXPECT_EQ(log, want);
}

}  // namespace
}  // namespace tobrine
