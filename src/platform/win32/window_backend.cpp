// The windowing backend on real Win32 controls. Every text crosses to the system
// through the wide functions, converted from code page 936, so the window shows
// Chinese on a system of any locale. Controls are subclassed so that their input
// reaches the window layer from whatever loop dispatches it (a message box's, a
// waiting fetch's), not only from the program's own loop.
//
// The program is per-monitor DPI aware (its manifest says so): the layer above
// speaks in 96-DPI units, and this file alone scales the window, its controls,
// list columns, font and icons to the DPI of the window's monitor.
#include "platform/window_backend.h"

#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/wide_text.h"

namespace tobrine::platform {
namespace {

const wchar_t kWindowClass[] = L"TobrineWindow";
const wchar_t kOriginalProcProp[] = L"TobrineOriginalProc";
const wchar_t kKindProp[] = L"TobrineKind";  // ControlKind + 1 of our controls

WindowEvents* g_events = nullptr;
bool g_oleInitialised = false;
int g_nextControlId = 1001;

HWND H(NativeWindow w) {
  return reinterpret_cast<HWND>(w);
}
NativeWindow N(HWND h) {
  return reinterpret_cast<NativeWindow>(h);
}

// Owns one system handle and releases it once.
template <typename Handle, auto Release>
class Owned {
 public:
  Owned() = default;
  explicit Owned(Handle h) : h_(h) {}
  Owned(Owned&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
  Owned& operator=(Owned&& other) noexcept {
    reset(std::exchange(other.h_, nullptr));
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }
  Handle get() const { return h_; }
  Handle release() { return std::exchange(h_, nullptr); }
  void reset(Handle h = nullptr) {
    if (h_) Release(h_);
    h_ = h;
  }

 private:
  Handle h_ = nullptr;
};
using OwnedFont = Owned<HFONT, &DeleteObject>;
using OwnedIcon = Owned<HICON, &DestroyIcon>;
using OwnedMenu = Owned<HMENU, &DestroyMenu>;
using OwnedGlobal = Owned<HGLOBAL, &GlobalFree>;

// --- DPI ---

constexpr UINT kBaseDpi = 96;

// user32's DPI functions of Windows 10 (1607 and later), looked up at run time
// so that the program still starts on Windows 7.
struct DpiFunctions {
  UINT(WINAPI* forWindow)(HWND) = nullptr;
  UINT(WINAPI* forSystem)() = nullptr;
  int(WINAPI* metricForDpi)(int, UINT) = nullptr;
};

template <typename F>
void Bind(HMODULE module, const char* name, F* f) {
  *f = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

const DpiFunctions& Dpi() {
  static const DpiFunctions functions = [] {
    DpiFunctions f;
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    Bind(user32, "GetDpiForWindow", &f.forWindow);
    Bind(user32, "GetDpiForSystem", &f.forSystem);
    Bind(user32, "GetSystemMetricsForDpi", &f.metricForDpi);
    return f;
  }();
  return functions;
}

// The DPI of the primary monitor at log-on: what the stock font and the plain
// system metrics are made for.
UINT SystemDpi() {
  if (Dpi().forSystem) return Dpi().forSystem();
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : kBaseDpi;
}

// The DPI of the monitor the window is on.
UINT MonitorDpiOf(HWND h) {
  return Dpi().forWindow ? Dpi().forWindow(h) : SystemDpi();
}

int MetricForDpi(int index, UINT dpi) {
  if (dpi == SystemDpi()) return GetSystemMetrics(index);
  if (Dpi().metricForDpi) return Dpi().metricForDpi(index, dpi);
  return MulDiv(GetSystemMetrics(index), static_cast<int>(dpi), static_cast<int>(SystemDpi()));
}

// 96-DPI units to pixels at `dpi` and back, rounded to the nearest.
int ToPixels(int32_t value, UINT dpi) {
  return dpi == kBaseDpi ? value : MulDiv(value, static_cast<int>(dpi), kBaseDpi);
}
int32_t FromPixels(int value, UINT dpi) {
  return dpi == kBaseDpi ? value : MulDiv(value, kBaseDpi, static_cast<int>(dpi));
}

HFONT DefaultFont() {
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

// The default GUI font made for `dpi`; null where the stock font is that font
// already (at the system DPI).
HFONT CreateFontFor(UINT dpi) {
  const UINT system = SystemDpi();
  if (dpi == system) return nullptr;
  LOGFONTW lf = {};
  if (!GetObjectW(DefaultFont(), sizeof lf, &lf)) return nullptr;
  lf.lfHeight = MulDiv(lf.lfHeight, static_cast<int>(dpi), static_cast<int>(system));
  return CreateFontIndirectW(&lf);
}

// One image of the window icon, kept for choosing again at another DPI.
struct IconImage {
  int32_t width = 0;
  int32_t bitCount = 0;
  std::string bits;
};

// What a main window keeps: the DPI it is laid out for, the font and icons made
// for that DPI, and its controls' 96-DPI rectangles, from which every rescale
// starts. Lives in the window's user data from creation to WM_NCDESTROY.
struct TopLevel {
  UINT dpi = kBaseDpi;
  OwnedFont font;  // null: the stock default GUI font
  OwnedIcon bigIcon, smallIcon;
  std::vector<IconImage> icon;
  std::vector<std::pair<HWND, NativeRect>> controls;

  HFONT Font() const { return font.get() ? font.get() : DefaultFont(); }
  NativeRect* LogicalRectOf(HWND control) {
    for (auto& [h, rect] : controls)
      if (h == control) return &rect;
    return nullptr;
  }
};

bool IsCommonInput(UINT m) {
  return (m >= WM_KEYDOWN && m <= WM_SYSKEYUP && m != WM_DEADCHAR && m != WM_SYSCHAR &&
          m != WM_SYSDEADCHAR) ||
         (m >= WM_MOUSEMOVE && m <= WM_RBUTTONUP) || m == WM_MOUSEWHEEL;
}

bool IsOurControl(HWND h, ControlKind kind) {
  return reinterpret_cast<INT_PTR>(GetPropW(h, kKindProp)) == static_cast<INT_PTR>(kind) + 1;
}

bool IsProgramWindow(HWND h) {
  wchar_t cls[64] = L"";
  return h && GetClassNameW(h, cls, 64) && lstrcmpW(cls, kWindowClass) == 0;
}

// The state of the main window that `h` is or belongs to; null for others.
TopLevel* TopLevelOf(HWND h) {
  HWND root = h ? GetAncestor(h, GA_ROOT) : nullptr;
  if (!IsProgramWindow(root)) return nullptr;
  return reinterpret_cast<TopLevel*>(GetWindowLongPtrW(root, GWLP_USERDATA));
}

// The DPI the window (or its main window) is laid out for.
UINT LayoutDpiOf(HWND h) {
  const TopLevel* top = TopLevelOf(h);
  return top ? top->dpi : kBaseDpi;
}

bool IsCopyShortcut(HWND h, UINT m, WPARAM wp) {
  return m == WM_KEYDOWN && wp == 'C' && GetKeyState(VK_CONTROL) < 0 && GetKeyState(VK_MENU) >= 0 &&
         IsOurControl(h, ControlKind::kReportList);
}

// Raises the common event of an input message around the window's own handling
// (`own` is the control's original procedure, or DefWindowProcW for our windows).
LRESULT WithCommonEvents(HWND h, UINT m, WPARAM wp, LPARAM lp, WNDPROC own) {
  if (g_events && (m == WM_SETFOCUS || m == WM_KILLFOCUS)) {
    const LRESULT r = CallWindowProcW(own, h, m, wp, lp);
    g_events->OnInput(N(h), {m, wp, lp});
    return r;
  }
  if (g_events && IsCommonInput(m)) {
    const InputVerdict v = g_events->OnInput(N(h), {m, wp, lp});
    if (v.consume || !IsWindow(h)) return 0;
    if (v.replaceWparam) wp = v.wparam;
    if (IsCopyShortcut(h, m, wp)) {
      g_events->OnCopyShortcut(N(h));
      if (!IsWindow(h)) return 0;
    }
  }
  return CallWindowProcW(own, h, m, wp, lp);
}

// Where the context menu of a list goes: the pointer's position, or for the
// keyboard (both coordinates -1) below the selected row's text, else at the
// list's top-left corner.
PopupAnchor ContextMenuAnchor(HWND list, LPARAM lp) {
  POINT p = {static_cast<short>(LOWORD(lp)), static_cast<short>(HIWORD(lp))};
  if (p.x == -1 && p.y == -1) {
    p = {0, 0};
    const auto row = static_cast<int>(
        SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
    RECT r = {LVIR_LABEL, 0, 0, 0};
    if (row >= 0 && SendMessageW(list, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(&r)))
      p = {r.left, r.bottom};
    ClientToScreen(list, &p);
  }
  return {p.x, p.y};
}

LRESULT CALLBACK ControlProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  auto own = reinterpret_cast<WNDPROC>(GetPropW(h, kOriginalProcProp));
  if (!own) return DefWindowProcW(h, m, wp, lp);
  if (m == WM_NCDESTROY) {
    if (TopLevel* top = TopLevelOf(h))
      std::erase_if(top->controls, [h](const auto& c) { return c.first == h; });
    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
    RemovePropW(h, kOriginalProcProp);
    RemovePropW(h, kKindProp);
    return CallWindowProcW(own, h, m, wp, lp);
  }
  // A list's own context menu (its header's comes here too); the system's
  // default would pass the request on to the main window.
  if (m == WM_CONTEXTMENU && IsOurControl(h, ControlKind::kReportList)) {
    if (g_events) g_events->OnContextMenu(N(h), ContextMenuAnchor(h, lp));
    return 0;
  }
  return WithCommonEvents(h, m, wp, lp, own);
}

void Subclass(HWND h) {
  const LONG_PTR own = GetWindowLongPtrW(h, GWLP_WNDPROC);
  SetPropW(h, kOriginalProcProp, reinterpret_cast<HANDLE>(own));
  SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlProc));
}

// The image that best fits `size` pixels: that size at the most colours, else
// the nearest larger one, else the largest.
HICON BestIcon(const std::vector<IconImage>& images, int size) {
  auto rank = [size](int s) { return s == size ? 0 : s > size ? s - size : 10000 - s; };
  const IconImage* best = nullptr;
  for (const auto& image : images) {
    if (!best || rank(image.width) < rank(best->width) ||
        (image.width == best->width && image.bitCount > best->bitCount))
      best = &image;
  }
  if (!best) return nullptr;
  auto* bits = reinterpret_cast<PBYTE>(const_cast<char*>(best->bits.data()));
  return CreateIconFromResourceEx(bits, static_cast<DWORD>(best->bits.size()), TRUE, 0x00030000,
                                  size, size, LR_DEFAULTCOLOR);
}

// Sets the large and small icon in the sizes of the window's DPI; the icons they
// replace are released once the window no longer uses them.
void SetIcons(HWND h, TopLevel& top) {
  if (HICON big = BestIcon(top.icon, MetricForDpi(SM_CXICON, top.dpi))) {
    SendMessageW(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
    top.bigIcon.reset(big);
  }
  if (HICON smallIcon = BestIcon(top.icon, MetricForDpi(SM_CXSMICON, top.dpi))) {
    SendMessageW(h, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
    top.smallIcon.reset(smallIcon);
  }
}

void MoveChild(HWND child, const NativeRect& r, UINT dpi) {
  SetWindowPos(child, nullptr, ToPixels(r.left, dpi), ToPixels(r.top, dpi), ToPixels(r.width, dpi),
               ToPixels(r.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

// Lays the window out again for `dpi`: the font and icons made for it, every
// control at its 96-DPI rectangle scaled, list columns scaled from their width
// at the old DPI (the user may have dragged them), and the window itself at
// `suggested` (the system's rectangle for the new monitor).
void ApplyDpi(HWND h, TopLevel& top, UINT dpi, const RECT& suggested) {
  const UINT old = top.dpi;
  if (dpi == old) return;
  top.dpi = dpi;
  OwnedFont oldFont = std::move(top.font);  // in use until every control has the new one
  top.font.reset(CreateFontFor(dpi));
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(top.Font()), FALSE);
  SetIcons(h, top);
  SetWindowPos(h, nullptr, suggested.left, suggested.top, suggested.right - suggested.left,
               suggested.bottom - suggested.top, SWP_NOZORDER | SWP_NOACTIVATE);
  for (const auto& [child, rect] : top.controls) {
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(top.Font()), TRUE);
    MoveChild(child, rect, dpi);
    if (!IsOurControl(child, ControlKind::kReportList)) continue;
    HWND header = reinterpret_cast<HWND>(SendMessageW(child, LVM_GETHEADER, 0, 0));
    const int columns = header ? static_cast<int>(SendMessageW(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
    for (int c = 0; c < columns; ++c) {
      const int width = static_cast<int>(SendMessageW(child, LVM_GETCOLUMNWIDTH, c, 0));
      SendMessageW(child, LVM_SETCOLUMNWIDTH, c,
                   MAKELPARAM(ToPixels(FromPixels(width, old), dpi), 0));
    }
  }
}

LRESULT CALLBACK MainWindowProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  switch (m) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && lp &&
          IsOurControl(reinterpret_cast<HWND>(lp), ControlKind::kButton)) {
        if (g_events) g_events->OnButtonClicked(N(reinterpret_cast<HWND>(lp)));
        return 0;
      }
      break;
    case WM_DPICHANGED:
      if (TopLevel* top = TopLevelOf(h)) {
        ApplyDpi(h, *top, LOWORD(wp), *reinterpret_cast<const RECT*>(lp));
        return 0;
      }
      break;
    case WM_DESTROY:
      if (g_events) g_events->OnDestroyed(N(h));
      return 0;
    case WM_NCDESTROY: {
      // The controls are gone by now; the font and icons go with the state.
      const std::unique_ptr<TopLevel> state(
          reinterpret_cast<TopLevel*>(SetWindowLongPtrW(h, GWLP_USERDATA, 0)));
      break;
    }
    default:
      break;
  }
  return WithCommonEvents(h, m, wp, lp, &DefWindowProcW);
}

bool RegisterWindowClass() {
  static const bool registered = [] {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = &MainWindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    return RegisterClassExW(&wc) != 0;
  }();
  return registered;
}

DWORD StyleOfBorder(const MainWindowSpec& s, DWORD* exStyle) {
  DWORD style = WS_CLIPCHILDREN;
  *exStyle = 0;
  switch (s.borderMode) {
    case 0:
      style |= WS_POPUP;
      break;
    case 1:
      style |= WS_OVERLAPPED | WS_CAPTION | WS_THICKFRAME;
      break;
    case 3:
      style |= WS_CAPTION | WS_THICKFRAME;
      *exStyle |= WS_EX_TOOLWINDOW;
      break;
    case 4:
      style |= WS_CAPTION;
      *exStyle |= WS_EX_TOOLWINDOW;
      break;
    case 5:
      style |= WS_CAPTION | WS_THICKFRAME;
      *exStyle |= WS_EX_CLIENTEDGE;
      break;
    case 6:
      style |= WS_CAPTION;
      *exStyle |= WS_EX_CLIENTEDGE;
      break;
    default:
      style |= WS_OVERLAPPED | WS_CAPTION;
      break;  // 2: fixed single frame
  }
  if (s.borderMode != 0) {
    if (s.controlBox) style |= WS_SYSMENU;
    if (s.minimiseBox) style |= WS_MINIMIZEBOX;
    if (s.maximiseBox) style |= WS_MAXIMIZEBOX;
  }
  return style;
}

void AddColumns(HWND list, const std::vector<ListColumnSpec>& columns, UINT dpi) {
  int index = 0;
  for (const auto& c : columns) {
    std::wstring title = Widen(c.title);
    LVCOLUMNW col = {};
    col.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
    col.fmt = c.alignment == 1 ? LVCFMT_CENTER : c.alignment == 2 ? LVCFMT_RIGHT : LVCFMT_LEFT;
    if (c.imageIndex >= 0) {
      col.mask |= LVCF_IMAGE;
      col.fmt |= LVCFMT_IMAGE;
      col.iImage = c.imageIndex;
    }
    col.cx = ToPixels(c.width, dpi);
    col.pszText = title.data();
    col.iSubItem = index;
    SendMessageW(list, LVM_INSERTCOLUMNW, index++, reinterpret_cast<LPARAM>(&col));
  }
}

}  // namespace

void SetWindowEvents(WindowEvents* events) {
  g_events = events;
}

bool StartGuiThread() {
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);
  g_oleInitialised = SUCCEEDED(OleInitialize(nullptr));
  return g_oleInitialised;
}

void EndGuiThread() {
  if (g_oleInitialised) OleUninitialize();
  g_oleInitialised = false;
}

// The primary screen, in 96-DPI units of the system DPI (the DPI a new window
// opens with), so that a window centred in these units is centred in pixels.
void ScreenSize(int32_t* width, int32_t* height) {
  *width = FromPixels(GetSystemMetrics(SM_CXSCREEN), SystemDpi());
  *height = FromPixels(GetSystemMetrics(SM_CYSCREEN), SystemDpi());
}

NativeWindow CreateMainWindow(const MainWindowSpec& args) {
  if (!RegisterWindowClass()) return nullptr;
  auto state = std::make_unique<TopLevel>();
  state->dpi = SystemDpi();
  for (const auto& image : args.icon)
    state->icon.push_back({image.width, image.bitCount, std::string(image.bits)});
  DWORD exStyle = 0;
  const DWORD style = StyleOfBorder(args, &exStyle);
  const UINT dpi = state->dpi;
  HWND h = CreateWindowExW(exStyle, kWindowClass, Widen(args.title).c_str(), style,
                           ToPixels(args.left, dpi), ToPixels(args.top, dpi),
                           ToPixels(args.width, dpi), ToPixels(args.height, dpi), nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  if (!h) return nullptr;
  TopLevel& top = *state;
  SetWindowLongPtrW(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state.release()));
  // Opened on a monitor of another DPI: the size is that monitor's.
  if (const UINT monitorDpi = MonitorDpiOf(h); monitorDpi != top.dpi) {
    top.dpi = monitorDpi;
    SetWindowPos(h, nullptr, 0, 0, ToPixels(args.width, monitorDpi),
                 ToPixels(args.height, monitorDpi), SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  top.font.reset(CreateFontFor(top.dpi));
  SetIcons(h, top);
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(top.Font()), FALSE);
  return N(h);
}

NativeWindow CreateControl(NativeWindow parent, const ControlSpec& args) {
  const wchar_t* cls = L"STATIC";
  DWORD style = WS_CHILD | (args.tabStop ? WS_TABSTOP : 0) | (args.disabled ? WS_DISABLED : 0);
  DWORD exStyle = args.clientEdge ? WS_EX_CLIENTEDGE : 0;
  switch (args.kind) {
    case ControlKind::kEdit:
      cls = L"EDIT";
      style |= ES_LEFT | ES_AUTOHSCROLL;
      if (!args.hideSelection) style |= ES_NOHIDESEL;
      if (args.multiLine) style |= ES_MULTILINE | ES_AUTOVSCROLL;
      if (args.readOnly) style |= ES_READONLY;
      if (args.passwordChar) style |= ES_PASSWORD;
      break;
    case ControlKind::kButton:
      cls = L"BUTTON";
      style |= (args.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON) | BS_CENTER | BS_VCENTER;
      break;
    case ControlKind::kLabel:
      style |= SS_LEFT | SS_NOTIFY;  // SS_NOTIFY: the label gets its own mouse input
      break;
    case ControlKind::kReportList:
      cls = WC_LISTVIEWW;
      style |= LVS_REPORT | (args.singleSelection ? LVS_SINGLESEL : 0) |
               (args.headersClickable ? 0 : LVS_NOSORTHEADER) |
               (args.hideHeaders ? LVS_NOCOLUMNHEADER : 0);
      break;
  }
  TopLevel* top = TopLevelOf(H(parent));
  const UINT dpi = top ? top->dpi : kBaseDpi;
  HWND h = CreateWindowExW(exStyle, cls, Widen(args.text).c_str(), style, ToPixels(args.left, dpi),
                           ToPixels(args.top, dpi), ToPixels(args.width, dpi),
                           ToPixels(args.height, dpi), H(parent),
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextControlId++)),
                           GetModuleHandleW(nullptr), nullptr);
  if (!h) return nullptr;
  SetPropW(h, kKindProp,
           reinterpret_cast<HANDLE>(static_cast<INT_PTR>(static_cast<int>(args.kind) + 1)));
  if (top) top->controls.push_back({h, {args.left, args.top, args.width, args.height}});
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(top ? top->Font() : DefaultFont()), FALSE);
  if (args.kind == ControlKind::kEdit) {
    if (args.passwordChar)
      SendMessageW(h, EM_SETPASSWORDCHAR, static_cast<WPARAM>(args.passwordChar), 0);
    if (args.maxLength > 0) SendMessageW(h, EM_LIMITTEXT, args.maxLength, 0);
  } else if (args.kind == ControlKind::kReportList) {
    DWORD ex = LVS_EX_INFOTIP | LVS_EX_SUBITEMIMAGES;
    if (args.fullRowSelect) ex |= LVS_EX_FULLROWSELECT;
    if (args.gridLines) ex |= LVS_EX_GRIDLINES;
    SendMessageW(h, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
    AddColumns(h, args.columns, dpi);
    // The header is part of the list: its input counts as the list's.
    if (HWND header = reinterpret_cast<HWND>(SendMessageW(h, LVM_GETHEADER, 0, 0)))
      Subclass(header);
  }
  Subclass(h);
  return N(h);
}

int32_t SingleLineEditMinHeight(NativeWindow parent) {
  const TopLevel* top = TopLevelOf(H(parent));
  const UINT dpi = top ? top->dpi : kBaseDpi;
  HDC dc = GetDC(H(parent));
  HGDIOBJ old = SelectObject(dc, top ? top->Font() : DefaultFont());
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(H(parent), dc);
  const int pixels = tm.tmHeight + 2 * MetricForDpi(SM_CYEDGE, dpi);
  // Rounded up: a box of this height must hold the text at any DPI.
  return (pixels * static_cast<int>(kBaseDpi) + static_cast<int>(dpi) - 1) / static_cast<int>(dpi);
}

bool GetNativeRect(NativeWindow window, NativeRect* rect) {
  RECT r;
  if (!IsWindow(H(window)) || !GetWindowRect(H(window), &r)) return false;
  if (HWND parent = H(NativeParent(window)))
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  const UINT dpi = LayoutDpiOf(H(window));
  *rect = {FromPixels(r.left, dpi), FromPixels(r.top, dpi), FromPixels(r.right - r.left, dpi),
           FromPixels(r.bottom - r.top, dpi)};
  return true;
}

void MoveNative(NativeWindow window, const NativeRect& r) {
  if (TopLevel* top = TopLevelOf(H(window)); top && NativeParent(window)) {
    if (NativeRect* logical = top->LogicalRectOf(H(window))) *logical = r;
  }
  const UINT dpi = LayoutDpiOf(H(window));
  SetWindowPos(H(window), nullptr, ToPixels(r.left, dpi), ToPixels(r.top, dpi),
               ToPixels(r.width, dpi), ToPixels(r.height, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
}

void ShowNative(NativeWindow window, bool visible) {
  ShowWindow(H(window), visible ? SW_SHOW : SW_HIDE);
  if (visible && !NativeParent(window)) UpdateWindow(H(window));
}

bool IsNativeAlive(NativeWindow window) {
  return window && IsWindow(H(window));
}
bool IsNativeVisible(NativeWindow window) {
  return IsWindowVisible(H(window)) != 0;
}
bool IsNativeEnabled(NativeWindow window) {
  return IsWindowEnabled(H(window)) != 0;
}

NativeWindow NativeParent(NativeWindow window) {
  if (!(GetWindowLongPtrW(H(window), GWL_STYLE) & WS_CHILD)) return nullptr;
  return N(GetParent(H(window)));
}

std::string GetNativeText(NativeWindow window) {
  const int n = GetWindowTextLengthW(H(window));
  if (n <= 0) return std::string();
  std::wstring w(static_cast<std::size_t>(n) + 1, L'\0');
  const int got = GetWindowTextW(H(window), w.data(), n + 1);
  return Narrow(w.data(), got);
}

void SetNativeText(NativeWindow window, std::string_view text) {
  SetWindowTextW(H(window), Widen(text).c_str());
}

void DestroyNative(NativeWindow window) {
  DestroyWindow(H(window));
}

intptr_t NativeHandleValue(NativeWindow window) {
  return reinterpret_cast<intptr_t>(window);
}

int32_t CurrentKeyState() {
  int32_t state = 0;
  if (GetKeyState(VK_CONTROL) < 0) state |= 1;
  if (GetKeyState(VK_SHIFT) < 0) state |= 2;
  if (GetKeyState(VK_MENU) < 0) state |= 4;
  return state;
}

int32_t ListRowCount(NativeWindow list) {
  return static_cast<int32_t>(SendMessageW(H(list), LVM_GETITEMCOUNT, 0, 0));
}

void ListDeleteAllRows(NativeWindow list) {
  SendMessageW(H(list), LVM_DELETEALLITEMS, 0, 0);
}

int32_t ListInsertRow(NativeWindow list, const ListRowSpec& row) {
  std::wstring title = Widen(row.title);
  LVITEMW item = {};
  item.mask = LVIF_TEXT | LVIF_IMAGE | LVIF_INDENT | LVIF_PARAM;
  item.iItem = row.position < 0 ? ListRowCount(list) : row.position;
  item.pszText = title.data();
  item.iImage = row.image;
  item.iIndent = row.indent;
  item.lParam = row.itemData;
  if (row.stateImage > 0) {
    item.mask |= LVIF_STATE;
    item.state = INDEXTOSTATEIMAGEMASK(row.stateImage);
    item.stateMask = LVIS_STATEIMAGEMASK;
  }
  return static_cast<int32_t>(
      SendMessageW(H(list), LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item)));
}

bool ListSetCellText(NativeWindow list, int32_t row, int32_t column, std::string_view text) {
  std::wstring w = Widen(text);
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = w.data();
  return SendMessageW(H(list), LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&item)) != 0;
}

int32_t ListCopyCellText(NativeWindow list, int32_t row, int32_t column, char* buffer,
                         int32_t capacity) {
  if (capacity <= 0) return 0;
  std::wstring w(static_cast<std::size_t>(capacity), L'\0');
  LVITEMW item = {};
  item.iSubItem = column;
  item.pszText = w.data();
  item.cchTextMax = capacity;
  const int n = row < 0 ? 0
                        : static_cast<int>(SendMessageW(H(list), LVM_GETITEMTEXTW, row,
                                                        reinterpret_cast<LPARAM>(&item)));
  // n wide characters give at least n bytes, so a text that filled the wide
  // buffer (and may be cut) also fills this one and the caller asks again.
  const std::string text = Narrow(w.data(), std::clamp(n, 0, capacity - 1));
  const auto copied = static_cast<int32_t>(std::min<std::size_t>(text.size(), capacity - 1));
  std::copy_n(text.data(), copied, buffer);
  buffer[copied] = '\0';
  return copied;
}

int32_t ListFirstSelectedRow(NativeWindow list) {
  return static_cast<int32_t>(
      SendMessageW(H(list), LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED));
}

bool SetClipboardText(NativeWindow owner, std::string_view text) {
  const std::wstring w = Widen(text);
  OwnedGlobal data(GlobalAlloc(GMEM_MOVEABLE, (w.size() + 1) * sizeof(wchar_t)));
  if (!data.get()) return false;
  auto* out = static_cast<wchar_t*>(GlobalLock(data.get()));
  if (!out) return false;
  std::copy(w.begin(), w.end(), out);
  out[w.size()] = L'\0';
  GlobalUnlock(data.get());
  // Another program may hold the clipboard for a moment.
  HWND root = GetAncestor(H(owner), GA_ROOT);
  bool opened = OpenClipboard(root);
  for (int attempt = 0; !opened && attempt < 10; ++attempt) {
    Sleep(10);
    opened = OpenClipboard(root);
  }
  if (!opened) return false;
  bool set = false;
  if (EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, data.get())) {
    data.release();  // the clipboard owns it now
    set = true;
  }
  CloseClipboard();
  return set;
}

int32_t ShowPopupMenu(NativeWindow owner, const std::vector<MenuItemSpec>& items,
                      const PopupAnchor& at) {
  OwnedMenu menu(CreatePopupMenu());
  if (!menu.get()) return -1;
  // Item identifiers count from 1: TrackPopupMenu returns 0 for no choice.
  UINT id = 1;
  for (const auto& item : items) {
    const std::wstring text = Widen(item.text);
    AppendMenuW(menu.get(), MF_STRING | (item.enabled ? MF_ENABLED : MF_GRAYED), id, text.c_str());
    if (item.isDefault) SetMenuDefaultItem(menu.get(), id, FALSE);
    ++id;
  }
  const int chosen = TrackPopupMenu(menu.get(), TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON,
                                    at.x, at.y, 0, GetAncestor(H(owner), GA_ROOT), nullptr);
  return chosen - 1;
}

void ShellOpen(std::string_view target) {
  const std::string file(target);
  HWND owner = FindWindowExA(nullptr, nullptr, nullptr, "Microsoft Internet Explorer");
  ShellExecuteA(owner, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

int RunMessageLoop() {
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    // Tab and the arrow keys move between the controls with tab stops.
    HWND root = msg.hwnd ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
    if (IsProgramWindow(root) && IsDialogMessageW(root, &msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}

void PostQuit(int code) {
  PostQuitMessage(code);
}

}  // namespace tobrine::platform
