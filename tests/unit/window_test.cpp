// The window layer on the build's backend (real controls under Wine, headless
// ones on Linux; the 1024 x 768 test screen): loading MainForm from the stored
// description, property reads, lookups that end the process, event numbering and
// dispatch, the return-value rules, nested dispatch and the quit rule.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/winapi.h"
#include "runtime/commands.h"
#include "test_support.h"
#include "window/startup.h"
#include "window_fixture.h"

namespace tobrine {
namespace {

using window::kButton1;
using window::kEditBox1;
using window::kLabel1;
using window::kLabel2;
using window::kMainFormId;
using window::kReportList1;

using namespace winapi;  // the message numbers

int32_t IntProperty(uint32_t control, int32_t index) {
  PropertyValue v = ReadProperty(kMainFormId, control, index);
  EXPECT_TRUE(v.kind == ValueKind::kInt || v.kind == ValueKind::kLogical) << index;
  return v.integer;
}

std::string TextProperty(uint32_t control, int32_t index) {
  PropertyValue v = ReadProperty(kMainFormId, control, index);
  return std::string(v.text.view());
}

using MainForm = test::LoadedMainForm;

// The stored geometry at any DPI: the Win32 backend scales on its side of the
// seam (gui_dpi.sh runs this at 144 DPI too). At 96 DPI the test screen of
// 1024 x 768 puts the 583 x 342 window at (220, 213).
TEST_F(MainForm, LoadsCentredWithEveryControlAsStored) {
  int32_t screenWidth = 0, screenHeight = 0;
  platform::ScreenSize(&screenWidth, &screenHeight);
  EXPECT_EQ(IntProperty(kWindowUnitId, kPropertyLeft), (screenWidth - 583) / 2);
  EXPECT_EQ(IntProperty(kWindowUnitId, kPropertyTop), (screenHeight - 342) / 2);
  EXPECT_EQ(IntProperty(kWindowUnitId, kPropertyWidth), 583);
  EXPECT_EQ(IntProperty(kWindowUnitId, kPropertyHeight), 342);
  EXPECT_EQ(platform::GetNativeText(Control(kWindowUnitId)), "Tobrine 1.0.1 BY：Velmar");
  EXPECT_TRUE(IntProperty(kWindowUnitId, kPropertyVisible));

  struct Row {
    uint32_t id;
    int32_t left, top, width, height;
    const char* text;  // nullptr: not checked here
  } rows[] = {
      {kLabel1, 16, 16, 64, 32, "输入网址："},
      {kEditBox1, 80, 16, 416, 32, nullptr},
      {kButton1, 504, 16, 56, 32, "获取"},
      {kReportList1, 16, 56, 544, 216, ""},
      {kLabel2, 88, 282, 400, 19, "此软件仅用于编程学习交流  请勿用于非法  如负法律责任与作者无关"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << std::hex << r.id);
    EXPECT_EQ(IntProperty(r.id, kPropertyLeft), r.left);
    EXPECT_EQ(IntProperty(r.id, kPropertyTop), r.top);
    EXPECT_EQ(IntProperty(r.id, kPropertyWidth), r.width);
    EXPECT_EQ(IntProperty(r.id, kPropertyHeight), r.height);
    EXPECT_TRUE(IntProperty(r.id, kPropertyVisible));
    EXPECT_FALSE(IntProperty(r.id, kPropertyDisabled));
    PropertyValue tag = ReadProperty(kMainFormId, r.id, kPropertyTag);
    EXPECT_EQ(tag.kind, ValueKind::kText);
    EXPECT_TRUE(tag.text.absent());
    PropertyValue pointer = ReadProperty(kMainFormId, r.id, kPropertyMousePointer);
    EXPECT_EQ(pointer.kind, ValueKind::kByteBlock);
    EXPECT_EQ(pointer.bytes.bytes(), std::string(4, '\0'));
    if (r.text) {
      EXPECT_EQ(platform::GetNativeText(Control(r.id)), r.text);
    }
  }
  // The edit box keeps its height: its text fits at every DPI.
  EXPECT_LE(platform::SingleLineEditMinHeight(Control(kWindowUnitId)), 32);
  const std::string address = TextProperty(kEditBox1, kEditContentProperty);
  EXPECT_EQ(address.size(), 43u);
  EXPECT_EQ(address.rfind("https://", 0), 0u) << address;

  platform::NativeWindow list = Control(kReportList1);
  EXPECT_EQ(test::ColumnTitles(list), (std::vector<std::string>{"序号", "网址"}));
  EXPECT_EQ(platform::ListRowCount(list), 0);
  EXPECT_EQ(IntProperty(kReportList1, kListSelectedRowProperty), -1);
}

TEST_F(MainForm, PropertiesAnswerFromTheLiveControls) {
  platform::SetNativeText(Control(kEditBox1), "http://例子.example/下载");
  EXPECT_EQ(TextProperty(kEditBox1, kEditContentProperty), "http://例子.example/下载");
  platform::SetNativeText(Control(kEditBox1), "");
  PropertyValue empty = ReadProperty(kMainFormId, kEditBox1, kEditContentProperty);
  EXPECT_EQ(empty.kind, ValueKind::kText);
  EXPECT_TRUE(empty.text.absent());

  platform::MoveNative(Control(kLabel2), {5, 6, 70, 80});
  EXPECT_EQ(IntProperty(kLabel2, kPropertyLeft), 5);
  EXPECT_EQ(IntProperty(kLabel2, kPropertyTop), 6);
  EXPECT_EQ(IntProperty(kLabel2, kPropertyWidth), 70);
  EXPECT_EQ(IntProperty(kLabel2, kPropertyHeight), 80);
  platform::ShowNative(Control(kLabel2), false);
  EXPECT_FALSE(IntProperty(kLabel2, kPropertyVisible));
  // A control is visible only while its window is.
  platform::ShowNative(Control(kWindowUnitId), false);
  EXPECT_FALSE(IntProperty(kLabel1, kPropertyVisible));

  platform::NativeWindow list = Control(kReportList1);
  for (int i = 0; i < 3; ++i) platform::ListInsertRow(list, {});
  test::SelectRow(list, 2);
  EXPECT_EQ(IntProperty(kReportList1, kListSelectedRowProperty), 2);
}

// A form whose edit box is stored shorter than its text.
class ShortEditBox : public test::LoadedMainForm {
  FormDescription Form() override {
    FormDescription f = window::LoadStoredForm();
    test::UnitOf(f, kEditBox1).height = 5;
    test::UnitOf(f, kButton1).flags |= kUnitDisabled;
    test::UnitOf(f, kLabel1).flags &= ~kUnitVisible;
    return f;
  }
};

TEST_F(ShortEditBox, GrowsToItsTextHeightAndKeepsStoredFlags) {
  const int32_t least = platform::SingleLineEditMinHeight(Control(kWindowUnitId));
  EXPECT_GT(least, 5);
  EXPECT_EQ(IntProperty(kEditBox1, kPropertyHeight), least);
  EXPECT_EQ(IntProperty(kReportList1, kPropertyHeight), 216);  // other kinds keep theirs
  EXPECT_TRUE(IntProperty(kButton1, kPropertyDisabled));
  EXPECT_FALSE(IntProperty(kLabel1, kPropertyVisible));
  // A disabled button cannot be clicked.
  test::PostClick(Control(kButton1));
  ProcessEvents();
  EXPECT_TRUE(calls.empty());
}

TEST_F(MainForm, LookupsOfWhatIsNotThereEndTheProcess) {
  const std::string noControl = "指定窗口或窗口组件不存在或尚未载入";
  EXPECT_EXIT(ReadProperty(0x52019999, kEditBox1, kPropertyLeft), test::EndsFatally(),
              testing::HasSubstr(test::ReportText("未载入欲访问窗口组件所在的窗口", 0)));
  EXPECT_EXIT(ReadProperty(kMainFormId, 0x16019999, kPropertyLeft), test::EndsFatally(),
              testing::HasSubstr(test::ReportText(noControl, 0)));
  EXPECT_EXIT(LookupControl(0x52019999, kReportList1), test::EndsFatally(),
              testing::HasSubstr(test::ReportText(noControl, 0)));
  EXPECT_EXIT(LookupControl(kMainFormId, 0x16019999), test::EndsFatally(),
              testing::HasSubstr(test::ReportText(noControl, 0)));
  EXPECT_EXIT(
      {
        platform::DestroyNative(Control(kReportList1));
        LookupControl(kMainFormId, kReportList1);
      },
      test::EndsFatally(), testing::HasSubstr(test::ReportText(noControl, 0)));
  EXPECT_EXIT(
      {
        platform::DestroyNative(Control(kEditBox1));
        ReadProperty(kMainFormId, kEditBox1, kEditContentProperty);
      },
      test::EndsFatally(), testing::HasSubstr(test::ReportText(noControl, 0)));
}

// 标签1 with every common event bound.
class AllCommonEvents : public test::LoadedMainForm {
  FormDescription Form() override {
    FormDescription f = window::LoadStoredForm();
    auto& events = test::UnitOf(f, kLabel1).events;
    for (int32_t e = -1; e >= -12; --e) events.push_back({e, 0});
    return f;
  }
};

TEST_F(AllCommonEvents, MessagesRaiseNumberedEventsWithTheirArguments) {
  const auto at = [](uint32_t x, uint32_t y) { return static_cast<intptr_t>(y << 16 | x); };
  struct Row {
    uint32_t message;
    uintptr_t wparam;
    intptr_t lparam;
    int32_t keyState;
    int32_t event;  // 1: no event
    std::vector<int32_t> arguments;
  } rows[] = {
      {kWmLButtonDown, 1, at(20, 48), 3, kEventLeftDown, {20, 48, 3}},
      {kWmLButtonUp, 0, at(21, 49), 0, kEventLeftUp, {21, 49, 0}},
      {kWmLButtonDblClk, 1, at(0, 0), 4, kEventLeftDoubleClick, {0, 0, 4}},
      {kWmRButtonDown, 2, at(7, 8), 1, kEventRightDown, {7, 8, 1}},
      {kWmRButtonUp, 0, at(7, 8), 2, kEventRightUp, {7, 8, 2}},
      // The halves of the position are unsigned: -1 reads as 65535.
      {kWmMouseMove, 0, at(0xFFFF, 0xFFFE), 0, kEventMouseMove, {65535, 65534, 0}},
      {kWmSetFocus, 0, 0, 0, kEventFocusReceived, {}},
      {kWmKillFocus, 0, 0, 0, kEventFocusLost, {}},
      {kWmKeyDown, 0xE041, 0, 1, kEventKeyDown, {0x0041, 1}},  // low 13 bits of the code
      {kWmSysKeyDown, 0x73, 0, 4, kEventKeyDown, {0x73, 4}},   // with Alt held
      {kWmKeyUp, 0x0D, 0, 0, kEventKeyUp, {0x0D, 0}},
      {kWmSysKeyUp, 0x12, 0, 4, kEventKeyUp, {0x12, 4}},
      {kWmChar, 0xB0, 0, 0, kEventCharacter, {0xB0}},
      {kWmMouseWheel, static_cast<uintptr_t>(0xFF10) << 16, 0, 2, kEventWheel, {-2, 2}},
      {kWmMouseWheel, static_cast<uintptr_t>(360) << 16, 0, 0, kEventWheel, {3, 0}},
      // Right double-clicks and the middle button raise nothing.
      {kWmRButtonDblClk, 0, at(1, 1), 0, 1, {}},
      {kWmMButtonDown, 0, at(1, 1), 0, 1, {}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "message 0x" << std::hex << r.message);
    calls.clear();
    test::HoldKeys(r.keyState);
    test::PostInput(Control(kLabel1), r.message, r.wparam, r.lparam);
    ProcessEvents();
    if (r.event == 1) {
      EXPECT_TRUE(calls.empty());
      continue;
    }
    ASSERT_EQ(calls.size(), 1u);
    const DispatchRecord& c = calls[0];
    EXPECT_EQ(c.windowId, kMainFormId);
    EXPECT_EQ(c.controlId, kLabel1);
    EXPECT_EQ(c.event, r.event);
    ASSERT_EQ(c.argumentCount, static_cast<int32_t>(r.arguments.size()));
    for (std::size_t i = 0; i < r.arguments.size(); ++i) EXPECT_EQ(c.arguments[i], r.arguments[i]);
  }
}

TEST_F(MainForm, DoubleClickOnTheListReachesItsHandlerOnce) {
  platform::NativeWindow list = Control(kReportList1);
  for (int i = 0; i < 4; ++i) platform::ListInsertRow(list, {});
  test::PostDoubleClick(list, 2);
  ProcessEvents();
  ASSERT_EQ(calls.size(), 1u);  // press and release have no binding
  EXPECT_EQ(calls[0].event, kEventLeftDoubleClick);
  EXPECT_EQ(calls[0].controlId, kReportList1);
  EXPECT_EQ(calls[0].argumentCount, 3);
  // The handler returned nothing: the list still selected the row itself.
  EXPECT_EQ(platform::ListFirstSelectedRow(list), 2);
}

TEST_F(MainForm, UnboundEventsAreNotDispatched) {
  DispatchRecord r;
  r.windowId = kMainFormId;
  r.controlId = kButton1;
  r.event = kEventRightDown;
  EXPECT_FALSE(DispatchEvent(r));
  r.windowId = 0x52019999;
  r.event = kEventButtonClicked;
  EXPECT_FALSE(DispatchEvent(r));
  EXPECT_TRUE(calls.empty());
}

// 按钮1: click and press bound; 编辑框1: typed characters bound.
class ReturnValues : public test::LoadedMainForm {
  FormDescription Form() override {
    FormDescription f = window::LoadStoredForm();
    test::UnitOf(f, kButton1).events = {{kEventLeftDown, 0}, {kEventButtonClicked, 0}};
    test::UnitOf(f, kEditBox1).events = {{kEventCharacter, 0}};
    return f;
  }
};

TEST_F(ReturnValues, ZeroConsumesTheMessageAndNonZeroReplacesACharacter) {
  struct Row {
    std::optional<int32_t> reply;
    std::vector<int32_t> events;  // raised by a click on the button
    std::string typed;            // what reaches the edit box when 'a' is typed
  } rows[] = {
      {std::nullopt, {kEventLeftDown, kEventButtonClicked}, "a"},
      {0, {kEventLeftDown}, ""},  // the button never sees the press: no click
      {'X', {kEventLeftDown, kEventButtonClicked}, "X"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.reply ? std::to_string(*r.reply) : "no value");
    reply = r.reply;
    calls.clear();
    test::PostClick(Control(kButton1));
    ProcessEvents();
    std::vector<int32_t> events;
    for (const auto& c : calls) events.push_back(c.event);
    EXPECT_EQ(events, r.events);

    platform::SetNativeText(Control(kEditBox1), "");
    test::PostInput(Control(kEditBox1), kWmChar, 'a');
    ProcessEvents();
    EXPECT_EQ(platform::GetNativeText(Control(kEditBox1)), r.typed);
  }
}

TEST_F(ReturnValues, EventsRaisedWhileAHandlerProcessesMessagesRunNested) {
  int depth = 0;
  std::vector<std::pair<int32_t, int>> seen;  // event, nesting depth when it ran
  during = [&](const DispatchRecord& r) {
    seen.push_back({r.event, depth});
    if (r.event != kEventButtonClicked || depth > 0) return;
    ++depth;
    // A waiting fetch does this: a second click arrives and is handled inside.
    test::PostClick(Control(kButton1));
    ProcessEvents();
    --depth;
  };
  test::PostClick(Control(kButton1));
  ProcessEvents();
  const std::vector<std::pair<int32_t, int>> want = {
      {kEventLeftDown, 0}, {kEventButtonClicked, 0}, {kEventLeftDown, 1}, {kEventButtonClicked, 1}};
  EXPECT_EQ(seen, want);
}

// The list's key presses bound, and every control request recorded.
class ControlRequests : public test::LoadedMainForm {
 protected:
  struct Request {
    uint32_t controlId;
    ControlRequest request;
    int32_t x, y;
    bool operator==(const Request&) const = default;
  };
  static inline std::vector<Request> requests;

  FormDescription Form() override {
    FormDescription f = window::LoadStoredForm();
    test::UnitOf(f, kReportList1).events.push_back({kEventKeyDown, 0});
    return f;
  }
  void SetUp() override {
    requests.clear();
    SetControlRequestHandler([](uint32_t windowId, uint32_t controlId, ControlRequest request,
                                const platform::PopupAnchor& at) {
      EXPECT_EQ(windowId, kMainFormId);
      requests.push_back({controlId, request, at.x, at.y});
    });
    LoadedMainForm::SetUp();
  }
  void TearDown() override {
    LoadedMainForm::TearDown();
    SetControlRequestHandler(nullptr);
  }
};

TEST_F(ControlRequests, CtrlCOnTheListIsACopyUnlessItsKeyEventConsumesIt) {
  struct Row {
    int32_t keyState;
    uint32_t key;
    std::optional<int32_t> reply;  // of the list's key-pressed handler
    bool copy;
  } rows[] = {
      {kKeyCtrl, 'C', std::nullopt, true},
      {kKeyCtrl | kKeyShift, 'C', std::nullopt, true},
      {kKeyCtrl, 'C', 1, true},
      {kKeyCtrl, 'C', 0, false},  // consumed: the list never sees the key
      {0, 'C', std::nullopt, false},
      {kKeyCtrl | kKeyAlt, 'C', std::nullopt, false},
      {kKeyCtrl, 'V', std::nullopt, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "key state " << r.keyState << ", key " << char(r.key));
    requests.clear();
    calls.clear();
    reply = r.reply;
    test::HoldKeys(r.keyState);
    test::PostKeyPress(Control(kReportList1), r.key);
    ProcessEvents();
    ASSERT_EQ(calls.size(), 1u);  // the key-pressed event comes first, every time
    EXPECT_EQ(calls[0].event, kEventKeyDown);
    EXPECT_EQ(requests.size(), r.copy ? 1u : 0u);
    if (r.copy) {
      EXPECT_EQ(requests[0], (Request{kReportList1, ControlRequest::kCopy, 0, 0}));
    }
  }
  // Other controls make no such request.
  requests.clear();
  test::HoldKeys(kKeyCtrl);
  test::PostKeyPress(Control(kEditBox1), 'C');
  ProcessEvents();
  EXPECT_TRUE(requests.empty());
}

TEST_F(ControlRequests, RightClickSelectsTheRowAndAsksForTheContextMenu) {
  platform::NativeWindow list = Control(kReportList1);
  for (int i = 0; i < 3; ++i) platform::ListInsertRow(list, {});
  test::PostRightClick(list, 1);
  ProcessEvents();
  EXPECT_EQ(platform::ListFirstSelectedRow(list), 1);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].controlId, kReportList1);
  EXPECT_EQ(requests[0].request, ControlRequest::kContextMenu);
  // Below the rows: the selection goes, the menu is still asked for.
  test::PostRightClick(list, -1);
  ProcessEvents();
  EXPECT_EQ(platform::ListFirstSelectedRow(list), -1);
  EXPECT_EQ(requests.size(), 2u);
  // A label has no context menu of ours.
  test::PostInput(Control(kLabel1), kWmRButtonUp, 0, 0);
  ProcessEvents();
  EXPECT_EQ(requests.size(), 2u);
}

TEST_F(ControlRequests, ContextMenuGoesWhereTheListWasClicked) {
  if (!test::PostedClicksPlaceThePointer()) {
    GTEST_SKIP() << "a real list places its menu at the real pointer, which posted clicks do "
                    "not move (gui_copy_links.sh right-clicks the real window)";
  }
  platform::NativeWindow list = Control(kReportList1);
  for (int i = 0; i < 3; ++i) platform::ListInsertRow(list, {});
  test::PostRightClick(list, 1);
  ProcessEvents();
  const test::Point at = test::RowPoint(list, 1);
  EXPECT_EQ(requests,
            (std::vector<Request>{{kReportList1, ControlRequest::kContextMenu, at.x, at.y}}));
}

TEST_F(MainForm, ClosingTheLastWindowEndsTheLoop) {
  // ProcessEvents stops at a quit message and leaves it queued.
  platform::PostQuit(7);
  test::PostClick(Control(kButton1));
  ProcessEvents();
  std::optional<test::QueuedMessage> m = test::TakeQueuedMessage();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->message, kWmQuit);
  EXPECT_EQ(m->wparam, 7u);
  test::DrainQueue();

  test::PostClose(Control(kWindowUnitId));
  EXPECT_EQ(RunWindowLoop(), 0);
  EXPECT_FALSE(IsWindowLoaded(kMainFormId));
  EXPECT_EQ(LoadedWindowCount(), 0);
  EXPECT_FALSE(test::TakeQueuedMessage());
  // Without a window the loop does not start at all.
  EXPECT_EQ(RunWindowLoop(), 0);
}

TEST(WindowLoop, DestroyingAWindowOutsideTheLoopPostsNoQuit) {
  test::DrainQueue();
  ASSERT_TRUE(LoadWindow(window::LoadStoredForm(), kMainFormId));
  EXPECT_FALSE(LoadWindow(window::LoadStoredForm(), kMainFormId));  // loaded once only
  EXPECT_FALSE(LoadWindow(window::LoadStoredForm(), 0x52019999));   // not in the form
  platform::DestroyNative(LookupControl(kMainFormId, kWindowUnitId));
  EXPECT_FALSE(IsWindowLoaded(kMainFormId));
  EXPECT_FALSE(test::TakeQueuedMessage());
}

// The program's whole start-up on the build's backend, in a child process (it
// changes the current directory and the handler table): the window comes up
// from the stored form, a close ends the loop and the program returns 0.
TEST(StartUp, LoadsMainFormAndEndsWithZeroWhenClosed) {
  EXPECT_EXIT(
      {
        window::StartRuntime();
        window::LoadStartupWindow();
        bool ok = IsWindowLoaded(kMainFormId) &&
                  platform::IsNativeVisible(LookupControl(kMainFormId, kWindowUnitId)) &&
                  platform::GetNativeText(LookupControl(kMainFormId, kButton1)) == "获取";
        test::PostClose(LookupControl(kMainFormId, kWindowUnitId));
        window::RunMainLoop();
        ok = ok && !IsWindowLoaded(kMainFormId);
        window::EndRuntime();
        std::fputs(ok ? "started and closed\n" : "start-up went wrong\n", stderr);
        std::exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "started and closed");
  // A startup window that cannot be created (here: it is already there).
  EXPECT_EXIT(
      {
        ASSERT_TRUE(LoadWindow(window::LoadStoredForm(), kMainFormId));
        window::LoadStartupWindow();
      },
      test::EndsFatally(), testing::HasSubstr(test::ReportText("载入启动窗口失败", 0)));
}

}  // namespace
}  // namespace tobrine
