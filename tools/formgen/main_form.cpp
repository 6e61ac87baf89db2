// The main window as the program stores it: every value written out, in unit order.
#include "main_form.h"

#include <utility>

#include "program_version.h"
#include "runtime/window_events.h"
#include "window/handlers.h"
#include "window/main_form.h"

namespace tobrine::formgen {
namespace {

using namespace window;

// The initial address in the edit box: 43 bytes, on a reserved example domain.
constexpr char kInitialAddress[] = "https://apps.example.com/dist/demo/app.html";
static_assert(sizeof(kInitialAddress) - 1 == 43);

// The default pointer: a block holding one zero.
const std::string kDefaultPointer(4, '\0');

UnitRecord Unit(uint32_t id, UnitKind kind, std::string name, int32_t left, int32_t top,
                int32_t width, int32_t height, uint32_t flags, uint32_t version,
                UnitProperties properties) {
  UnitRecord u;
  u.id = id;
  u.kind = kind;
  u.name = std::move(name);
  u.left = left;
  u.top = top;
  u.width = width;
  u.height = height;
  u.parent = 0;
  u.mousePointer = kDefaultPointer;
  u.flags = flags;
  u.propertyVersion = version;
  u.properties = std::move(properties);
  return u;
}

UnitRecord Window(std::string icon) {
  WindowProperties p;
  p.borderMode = 2;  // fixed single frame
  p.unnamed1 = 1;
  p.backgroundColour = 0xFF000000;  // button face
  p.maximizeButton = 0;
  p.minimizeButton = 1;
  p.controlBox = 1;
  p.positionMode = 1;  // centred
  p.movable = 1;
  p.unnamed2 = {0, 0, 1, 0, 0};
  p.unnamed3 = 1;
  p.unnamed4 = {0, 0};
  p.alwaysOnTop = 0;
  p.unnamed5 = 0;
  p.icon = std::move(icon);
  p.title = "Tobrine " TOBRINE_VERSION_TEXT " BY：Velmar";
  return Unit(kWindowUnitId, UnitKind::kWindow, "", 50, 50, 583, 342, kUnitVisible,
              kWindowPropertyVersion, std::move(p));
}

UnitRecord Label(uint32_t id, std::string name, int32_t left, int32_t top, int32_t width,
                 int32_t height, std::string text) {
  LabelProperties p;
  p.appearance = {0, 8, 0,        0x808080, 0xFFFFFF, 0x808080, 0, 0xFF000000,
                  1, 0, 0x808080, 0xFFFFFF, 0x808080, 0,        1, 0};
  p.text = std::move(text);
  return Unit(id, UnitKind::kLabel, std::move(name), left, top, width, height, kUnitVisible,
              kLabelPropertyVersion, std::move(p));
}

UnitRecord EditBox1() {
  EditBoxProperties p;
  p.borderMode = 1;  // client edge
  p.textColour = 0;
  p.backgroundColour = 0xFFFFFF;
  p.hideSelection = 1;
  p.maxLength = 0;
  p.multiLine = 0;
  p.scrollBars = 0;
  p.alignment = 0;
  p.inputMode = 0;
  p.passwordChar = '*';
  p.caseConversion = 0;
  p.spinBox = 0;
  p.spinMinimum = 0;
  p.spinMaximum = 100;
  p.selectionStart = 0;
  p.selectionLength = 0;
  p.content = kInitialAddress;
  return Unit(kEditBox1, UnitKind::kEditBox, "编辑框1", 80, 16, 416, 32,
              kUnitVisible | kUnitTabStop, kEditBoxPropertyVersion, std::move(p));
}

UnitRecord Button1() {
  ButtonProperties p;
  p.buttonType = 0;
  p.horizontalAlignment = 1;
  p.verticalAlignment = 1;
  p.caption = "获取";
  UnitRecord u = Unit(kButton1, UnitKind::kButton, "按钮1", 504, 16, 56, 32,
                      kUnitVisible | kUnitTabStop, kButtonPropertyVersion, std::move(p));
  u.events = {{kEventButtonClicked, kLinkExtractorHandler}};
  return u;
}

UnitRecord ReportList1() {
  ReportListProperties p;
  p.borderMode = 1;
  p.textColour = 0;
  p.textBackgroundColour = 0xFFFFFF;
  p.backgroundColour = 0xFFFFFF;
  p.view = 3;  // report
  p.iconAlignment = 0;
  p.autoArrange = 1;
  p.labelWrap = 1;
  p.hideColumnHeaders = 0;
  p.headersClickable = 1;
  p.fullRowSelect = 1;
  p.gridLines = 1;
  p.headerDragDrop = 0;
  p.hotTracking = 0;
  p.unnamed1 = {1, 1, 1};
  p.labelEditing = 0;
  p.sortOrder = 0;
  p.checkBoxes = 0;
  p.flatScrollBars = 0;
  p.singleSelection = 1;
  p.unnamed2 = -1;
  p.alwaysShowSelection = 0;
  p.columns = {{0, -1, 0, 50, "序号"}, {0, -1, 0, 450, "网址"}};
  UnitRecord u = Unit(kReportList1, UnitKind::kReportList, "超级列表框1", 16, 56, 544, 216,
                      kUnitVisible | kUnitTabStop, kReportListPropertyVersion, std::move(p));
  // The event dispatch runs OpenSelectedLink (app/result_list.cpp) on a double-click.
  u.events = {{kEventLeftDoubleClick, kOpenSelectedLinkHandler}};
  return u;
}

}  // namespace

FormDescription BuildMainForm(std::string icon) {
  WindowEntry main_form;
  main_form.id = kMainFormId;
  main_form.units.push_back(Window(std::move(icon)));
  main_form.units.push_back(
      Label(kLabel2, "标签2", 88, 282, 400, 19,
            "此软件仅用于编程学习交流  请勿用于非法  如负法律责任与作者无关"));
  main_form.units.push_back(Button1());
  main_form.units.push_back(ReportList1());
  main_form.units.push_back(Label(kLabel1, "标签1", 16, 16, 64, 32, "输入网址："));
  main_form.units.push_back(EditBox1());
  FormDescription form;
  form.windows.push_back(std::move(main_form));
  return form;
}

}  // namespace tobrine::formgen
