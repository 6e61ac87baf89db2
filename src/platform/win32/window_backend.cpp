// The windowing backend on real Win32 controls. Every text crosses to the system
// through the wide functions, converted from code page 936, so the window shows
// Chinese on a system of any locale. Controls are subclassed so that their input
// reaches the window layer from whatever loop dispatches it (a message box's, a
// waiting fetch's), not only from the program's own loop.
#include "platform/window_backend.h"

#include <windows.h>
// After windows.h, which they build on.
#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/wide_text.h"

namespace tobrine::platform {
namespace {

const wchar_t kWindowClass[] = L"TobrineWindow";
const wchar_t kOriginalProcProp[] = L"TobrineOriginalProc";
const wchar_t kKindProp[] = L"TobrineKind";  // ControlKind + 1 of our controls
const wchar_t kBigIconProp[] = L"TobrineBigIcon";
const wchar_t kSmallIconProp[] = L"TobrineSmallIcon";

WindowEvents* g_events = nullptr;
bool g_oleInitialised = false;
int g_nextControlId = 1001;

HWND H(NativeWindow w) {
  return reinterpret_cast<HWND>(w);
}
NativeWindow N(HWND h) {
  return reinterpret_cast<NativeWindow>(h);
}

HFONT DefaultFont() {
  return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
}

bool IsCommonInput(UINT m) {
  return (m >= WM_KEYDOWN && m <= WM_SYSKEYUP && m != WM_DEADCHAR && m != WM_SYSCHAR &&
          m != WM_SYSDEADCHAR) ||
         (m >= WM_MOUSEMOVE && m <= WM_RBUTTONUP) || m == WM_MOUSEWHEEL;
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
  }
  return CallWindowProcW(own, h, m, wp, lp);
}

LRESULT CALLBACK ControlProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  auto own = reinterpret_cast<WNDPROC>(GetPropW(h, kOriginalProcProp));
  if (!own) return DefWindowProcW(h, m, wp, lp);
  if (m == WM_NCDESTROY) {
    SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
    RemovePropW(h, kOriginalProcProp);
    RemovePropW(h, kKindProp);
    return CallWindowProcW(own, h, m, wp, lp);
  }
  return WithCommonEvents(h, m, wp, lp, own);
}

void Subclass(HWND h) {
  const LONG_PTR own = GetWindowLongPtrW(h, GWLP_WNDPROC);
  SetPropW(h, kOriginalProcProp, reinterpret_cast<HANDLE>(own));
  SetWindowLongPtrW(h, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlProc));
}

bool IsOurButton(HWND h) {
  return reinterpret_cast<INT_PTR>(GetPropW(h, kKindProp)) ==
         static_cast<INT_PTR>(ControlKind::kButton) + 1;
}

LRESULT CALLBACK MainWindowProc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  switch (m) {
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED && lp && IsOurButton(reinterpret_cast<HWND>(lp))) {
        if (g_events) g_events->OnButtonClicked(N(reinterpret_cast<HWND>(lp)));
        return 0;
      }
      break;
    case WM_DESTROY:
      if (g_events) g_events->OnDestroyed(N(h));
      return 0;
    case WM_NCDESTROY:
      for (const wchar_t* prop : {kBigIconProp, kSmallIconProp})
        if (HANDLE icon = RemovePropW(h, prop)) DestroyIcon(static_cast<HICON>(icon));
      break;
    default:
      break;
  }
  return WithCommonEvents(h, m, wp, lp, &DefWindowProcW);
}

// The image that best fits `size` pixels: that size at the most colours, else
// the nearest larger one, else the largest.
HICON BestIcon(const std::vector<IconImageSpec>& images, int size) {
  auto rank = [size](int s) { return s == size ? 0 : s > size ? s - size : 10000 - s; };
  const IconImageSpec* best = nullptr;
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

void SetIcons(HWND h, const std::vector<IconImageSpec>& images) {
  if (HICON big = BestIcon(images, GetSystemMetrics(SM_CXICON))) {
    SetPropW(h, kBigIconProp, big);
    SendMessageW(h, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big));
  }
  if (HICON smallIcon = BestIcon(images, GetSystemMetrics(SM_CXSMICON))) {
    SetPropW(h, kSmallIconProp, smallIcon);
    SendMessageW(h, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
  }
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

void AddColumns(HWND list, const std::vector<ListColumnSpec>& columns) {
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
    col.cx = c.width;
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

void ScreenSize(int32_t* width, int32_t* height) {
  *width = GetSystemMetrics(SM_CXSCREEN);
  *height = GetSystemMetrics(SM_CYSCREEN);
}

NativeWindow CreateMainWindow(const MainWindowSpec& args) {
  if (!RegisterWindowClass()) return nullptr;
  DWORD exStyle = 0;
  const DWORD style = StyleOfBorder(args, &exStyle);
  HWND h = CreateWindowExW(exStyle, kWindowClass, Widen(args.title).c_str(), style, args.left,
                           args.top, args.width, args.height, nullptr, nullptr,
                           GetModuleHandleW(nullptr), nullptr);
  if (!h) return nullptr;
  SetIcons(h, args.icon);
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(DefaultFont()), FALSE);
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
  HWND h = CreateWindowExW(exStyle, cls, Widen(args.text).c_str(), style, args.left, args.top,
                           args.width, args.height, H(parent),
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(g_nextControlId++)),
                           GetModuleHandleW(nullptr), nullptr);
  if (!h) return nullptr;
  SetPropW(h, kKindProp,
           reinterpret_cast<HANDLE>(static_cast<INT_PTR>(static_cast<int>(args.kind) + 1)));
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(DefaultFont()), FALSE);
  if (args.kind == ControlKind::kEdit) {
    if (args.passwordChar)
      SendMessageW(h, EM_SETPASSWORDCHAR, static_cast<WPARAM>(args.passwordChar), 0);
    if (args.maxLength > 0) SendMessageW(h, EM_LIMITTEXT, args.maxLength, 0);
  } else if (args.kind == ControlKind::kReportList) {
    DWORD ex = LVS_EX_INFOTIP | LVS_EX_SUBITEMIMAGES;
    if (args.fullRowSelect) ex |= LVS_EX_FULLROWSELECT;
    if (args.gridLines) ex |= LVS_EX_GRIDLINES;
    SendMessageW(h, LVM_SETEXTENDEDLISTVIEWSTYLE, ex, ex);
    AddColumns(h, args.columns);
    // The header is part of the list: its input counts as the list's.
    if (HWND header = reinterpret_cast<HWND>(SendMessageW(h, LVM_GETHEADER, 0, 0)))
      Subclass(header);
  }
  Subclass(h);
  return N(h);
}

int32_t SingleLineEditMinHeight(NativeWindow parent) {
  HDC dc = GetDC(H(parent));
  HGDIOBJ old = SelectObject(dc, DefaultFont());
  TEXTMETRICW tm = {};
  GetTextMetricsW(dc, &tm);
  SelectObject(dc, old);
  ReleaseDC(H(parent), dc);
  return tm.tmHeight + 2 * GetSystemMetrics(SM_CYEDGE);
}

bool GetNativeRect(NativeWindow window, NativeRect* rect) {
  RECT r;
  if (!IsWindow(H(window)) || !GetWindowRect(H(window), &r)) return false;
  if (HWND parent = H(NativeParent(window)))
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&r), 2);
  *rect = {r.left, r.top, r.right - r.left, r.bottom - r.top};
  return true;
}

void MoveNative(NativeWindow window, const NativeRect& r) {
  SetWindowPos(H(window), nullptr, r.left, r.top, r.width, r.height, SWP_NOZORDER | SWP_NOACTIVATE);
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

void ShellOpen(std::string_view target) {
  const std::string file(target);
  HWND owner = FindWindowExA(nullptr, nullptr, nullptr, "Microsoft Internet Explorer");
  ShellExecuteA(owner, "open", file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

namespace {
bool IsProgramWindow(HWND h) {
  wchar_t cls[64] = L"";
  return h && GetClassNameW(h, cls, 64) && lstrcmpW(cls, kWindowClass) == 0;
}
}  // namespace

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
