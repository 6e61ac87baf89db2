// Drives a running tobrine.exe from another process, in phases that the GUI
// script calls in turn:
//   layout  window placement, styles, title, captions, list headers, no rows
//   rows    inserts three result rows into the list (as the link extractor would)
//   open    double-clicks below the rows, then on the third row
//   close   closes the window
//   fetch URL EXPECTED   types URL, clicks "获取", waits for the one closing box
//                        "获取完成！！", closes it and compares the list's rows
//                        with EXPECTED (a UTF-8 file of "number<TAB>link" lines)
//   dblclick N           double-clicks row N (from 1) on its "序号" cell
// Prints one PASS/FAIL line per check; the exit code is the number of failures.
#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace {

int g_failed = 0;

void Print(const std::wstring& w) {
  char buf[4096];
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, buf, sizeof buf, nullptr, nullptr);
  std::fwrite(buf, 1, n ? n - 1 : 0, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Check(bool ok, const std::wstring& what) {
  Print((ok ? L"PASS " : L"FAIL ") + what);
  if (!ok) ++g_failed;
}

HWND WaitFor(const std::function<HWND()>& find, DWORD ms) {
  for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < ms; Sleep(50))
    if (HWND h = find()) return h;
  return nullptr;
}

// Waits until the program has handled every message posted to its window so
// far (one queue: they are handled in order): a selection of the address box,
// posted after them, shows once it has been handled.
bool Handled(HWND edit) {
  DWORD start = 0, end = 0;
  SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  const LPARAM mine = start == 0 && end == 1 ? 1 : 0;  // select (mine, 1): not what is selected
  PostMessageW(edit, EM_SETSEL, static_cast<WPARAM>(mine), 1);
  return WaitFor(
             [&] {
               SendMessageW(edit, EM_GETSEL, reinterpret_cast<WPARAM>(&start),
                            reinterpret_cast<LPARAM>(&end));
               return start == static_cast<DWORD>(mine) && end == 1 ? edit : nullptr;
             },
             5000) != nullptr;
}

std::wstring Text(HWND h) {  // WM_GETTEXT is marshalled across processes
  wchar_t buf[1024] = L"";
  SendMessageTimeoutW(h, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(buf), SMTO_ABORTIFHUNG, 2000,
                      nullptr);
  return buf;
}

const wchar_t kTitle[] = L"Tobrine 1.0.1 BY\uFF1AVelmar";  // full-width colon

HWND Child(HWND top, const wchar_t* cls, int nth = 0) {
  HWND c = nullptr;
  for (int i = 0; i <= nth; ++i) {
    c = FindWindowExW(top, c, cls, nullptr);
    if (!c) return nullptr;
  }
  return c;
}

// Waits for the window with all five controls (the title exists before them).
HWND MainWindow() {
  return WaitFor(
      [] {
        HWND h = FindWindowW(nullptr, kTitle);
        return h && IsWindowVisible(h) && Child(h, L"Static", 1) && Child(h, L"SysListView32") &&
                       Child(h, L"Button") && Child(h, L"Edit")
                   ? h
                   : nullptr;
      },
      20000);
}

// Messages whose pointers must live in the list's process.
struct Remote {
  HANDLE proc = nullptr;
  BYTE* mem = nullptr;
  explicit Remote(HWND h) {
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    proc = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (proc)
      mem = static_cast<BYTE*>(VirtualAllocEx(proc, nullptr, 8192, MEM_COMMIT, PAGE_READWRITE));
  }
  ~Remote() {
    if (mem) VirtualFreeEx(proc, mem, 0, MEM_RELEASE);
    if (proc) CloseHandle(proc);
  }
  void Write(SIZE_T at, const void* data, SIZE_T n) {
    WriteProcessMemory(proc, mem + at, data, n, nullptr);
  }
  void Read(SIZE_T at, void* data, SIZE_T n) {
    ReadProcessMemory(proc, mem + at, data, n, nullptr);
  }

  std::wstring ColumnTitle(HWND lv, int column) {
    LVCOLUMNW col = {};
    col.mask = LVCF_TEXT;
    col.cchTextMax = 256;
    col.pszText = reinterpret_cast<LPWSTR>(mem + sizeof col);
    Write(0, &col, sizeof col);
    SendMessageW(lv, LVM_GETCOLUMNW, column, reinterpret_cast<LPARAM>(mem));
    wchar_t buf[256] = L"";
    Read(sizeof col, buf, sizeof buf - sizeof(wchar_t));
    return buf;
  }
  std::wstring ItemText(HWND lv, int row, int column) {
    LVITEMW it = {};
    it.iSubItem = column;
    it.cchTextMax = 512;
    it.pszText = reinterpret_cast<LPWSTR>(mem + sizeof it);
    Write(0, &it, sizeof it);
    SendMessageW(lv, LVM_GETITEMTEXTW, row, reinterpret_cast<LPARAM>(mem));
    wchar_t buf[512] = L"";
    Read(sizeof it, buf, sizeof buf - sizeof(wchar_t));
    return buf;
  }
  int InsertRow(HWND lv, int row, const std::wstring& number, const std::wstring& link) {
    LVITEMW it = {};
    it.mask = LVIF_TEXT;
    it.iItem = row;
    it.pszText = reinterpret_cast<LPWSTR>(mem + sizeof it);
    Write(0, &it, sizeof it);
    Write(sizeof it, number.c_str(), (number.size() + 1) * sizeof(wchar_t));
    const int index =
        static_cast<int>(SendMessageW(lv, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(mem)));
    it.iSubItem = 1;
    Write(0, &it, sizeof it);
    Write(sizeof it, link.c_str(), (link.size() + 1) * sizeof(wchar_t));
    SendMessageW(lv, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(mem));
    return index;
  }
  RECT ItemRect(HWND lv, int row) {
    RECT r = {LVIR_BOUNDS, 0, 0, 0};
    Write(0, &r, sizeof r);
    SendMessageW(lv, LVM_GETITEMRECT, row, reinterpret_cast<LPARAM>(mem));
    Read(0, &r, sizeof r);
    return r;
  }
};

const wchar_t* const kLinks[] = {L"https://dl.example/one.ipa", L"https://dl.example/two.ipa",
                                 L"https://dl.example/three.ipa"};

void Layout(HWND top) {
  RECT r;
  GetWindowRect(top, &r);
  Check(r.left == 220 && r.top == 213 && r.right - r.left == 583 && r.bottom - r.top == 342,
        L"outer rectangle (" + std::to_wstring(r.left) + L", " + std::to_wstring(r.top) + L") " +
            std::to_wstring(r.right - r.left) + L" x " + std::to_wstring(r.bottom - r.top));
  const LONG style = GetWindowLongW(top, GWL_STYLE);
  Check(!(style & WS_MAXIMIZEBOX), L"no maximise box");
  Check(!(style & WS_THICKFRAME), L"no sizing border");
  Check((style & WS_MINIMIZEBOX) && (style & WS_SYSMENU) && (style & WS_CAPTION) == WS_CAPTION,
        L"caption, system menu and minimise box");
  Check((style & WS_CLIPCHILDREN) != 0, L"clips its children");
  Check(Text(top) == kTitle, L"title: " + Text(top));
  // Wine 8 does not answer WM_GETICON across processes (the send fails); the
  // screenshot shows the small icon in the caption there.
  DWORD_PTR big = 0, smallIcon = 0;
  if (SendMessageTimeoutW(top, WM_GETICON, ICON_BIG, 0, SMTO_ABORTIFHUNG, 2000, &big) &&
      SendMessageTimeoutW(top, WM_GETICON, ICON_SMALL, 0, SMTO_ABORTIFHUNG, 2000, &smallIcon)) {
    Check(big && smallIcon, L"large and small icon set");
  } else {
    Print(L"SKIP large and small icon: WM_GETICON is not answered across processes here");
  }

  HWND edit = Child(top, L"Edit"), button = Child(top, L"Button"),
       list = Child(top, L"SysListView32");
  const std::wstring address = Text(edit);
  Check(address.size() == 43 && address.rfind(L"https://", 0) == 0, L"address box: " + address);
  const LONG editStyle = GetWindowLongW(edit, GWL_STYLE);
  Check((editStyle & ES_AUTOHSCROLL) && !(editStyle & ES_NOHIDESEL) && (editStyle & WS_TABSTOP) &&
            (GetWindowLongW(edit, GWL_EXSTYLE) & WS_EX_CLIENTEDGE),
        L"address box: client edge, auto-scroll, hidden selection, tab stop");
  Check(Text(button) == L"\u83B7\u53D6", L"button caption: " + Text(button));  // 获取
  const std::wstring labels[] = {Text(Child(top, L"Static", 0)), Text(Child(top, L"Static", 1))};
  const std::wstring label1 = L"\u8F93\u5165\u7F51\u5740\uFF1A";  // 输入网址：
  const std::wstring label2 =
      L"\u6B64\u8F6F\u4EF6\u4EC5\u7528\u4E8E\u7F16\u7A0B\u5B66\u4E60\u4EA4\u6D41  "
      L"\u8BF7\u52FF\u7528\u4E8E\u975E\u6CD5  "
      L"\u5982\u8D1F\u6CD5\u5F8B\u8D23\u4EFB\u4E0E\u4F5C\u8005\u65E0\u5173";
  Check(
      (labels[0] == label1 && labels[1] == label2) || (labels[0] == label2 && labels[1] == label1),
      L"labels: " + labels[0] + L" / " + labels[1]);

  const LONG listStyle = GetWindowLongW(list, GWL_STYLE);
  Check((listStyle & LVS_TYPEMASK) == LVS_REPORT && (listStyle & LVS_SINGLESEL) &&
            !(listStyle & LVS_NOSORTHEADER) && !(listStyle & LVS_NOCOLUMNHEADER),
        L"list: report view, single selection, clickable headers");
  const DWORD ex = static_cast<DWORD>(SendMessageW(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  const DWORD wantEx =
      LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES | LVS_EX_INFOTIP | LVS_EX_SUBITEMIMAGES;
  Check((ex & wantEx) == wantEx, L"list: full-row select, grid lines, info tips, sub-item images");
  Remote remote(list);
  Check(remote.mem != nullptr, L"memory in the program's process");
  HWND header = reinterpret_cast<HWND>(SendMessageW(list, LVM_GETHEADER, 0, 0));
  Check(header && IsWindowVisible(header) && SendMessageW(header, HDM_GETITEMCOUNT, 0, 0) == 2,
        L"list: two column headers shown");
  Check(remote.ColumnTitle(list, 0) == L"\u5E8F\u53F7" &&
            SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0) == 50,
        L"column 0: " + remote.ColumnTitle(list, 0));  // 序号
  Check(remote.ColumnTitle(list, 1) == L"\u7F51\u5740" &&
            SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0) == 450,
        L"column 1: " + remote.ColumnTitle(list, 1));  // 网址
  Check(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 0, L"list: no rows");
}

void Rows(HWND top) {
  HWND list = Child(top, L"SysListView32");
  Remote remote(list);
  for (int i = 0; i < 3; ++i) remote.InsertRow(list, i, std::to_wstring(i + 1), kLinks[i]);
  Check(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0) == 3, L"three rows inserted");
  Check(remote.ItemText(list, 2, 1) == kLinks[2], L"row 3: " + remote.ItemText(list, 2, 1));
}

void DoubleClick(HWND list, LPARAM at) {
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(list, WM_LBUTTONUP, 0, at);
  PostMessageW(list, WM_LBUTTONDBLCLK, MK_LBUTTON, at);
  PostMessageW(list, WM_LBUTTONUP, 0, at);
}

void Open(HWND top) {
  HWND list = Child(top, L"SysListView32");
  Remote remote(list);
  const RECT last = remote.ItemRect(list, 2);
  // Below the last row: the first click clears the selection, nothing is opened.
  DoubleClick(list, MAKELPARAM(last.left + 60, last.bottom + 30));
  Check(Handled(Child(top, L"Edit")), L"the double-click below the rows was handled");
  Check(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == -1,
        L"no row selected after a double-click below the rows");
  // On the "序号" cell of row 3: the row's "网址" text is opened all the same.
  DoubleClick(list, MAKELPARAM(last.left + 10, (last.top + last.bottom) / 2));
  const bool selected = WaitFor(
      [&] {
        return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == 2
                   ? list
                   : nullptr;
      },
      5000);
  Check(selected, L"row 3 selected by the double-click");
}

std::wstring FromUtf8(const std::string& s) {
  int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, nullptr, 0);
  std::wstring w(n > 0 ? n - 1 : 0, L'\0');
  if (n > 1) MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), n);
  return w;
}

std::wstring ReadUtf8File(const char* path) {
  std::string bytes;
  if (FILE* f = std::fopen(path, "rb")) {
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
    std::fclose(f);
  }
  return FromUtf8(bytes);
}

const wchar_t kInfoCaption[] = L"\u4FE1\u606F\uFF1A";                 // 信息：
const wchar_t kFinished[] = L"\u83B7\u53D6\u5B8C\u6210\uFF01\uFF01";  // 获取完成！！

HWND InfoBox() {
  return FindWindowW(L"#32770", kInfoCaption);
}

std::wstring BoxText(HWND box) {
  if (HWND c = GetDlgItem(box, 0xFFFF)) return Text(c);
  for (HWND c = FindWindowExW(box, nullptr, L"Static", nullptr); c;
       c = FindWindowExW(box, c, L"Static", nullptr))
    if (!Text(c).empty()) return Text(c);
  return L"";
}

void Fetch(HWND top, const std::string& url, const char* expectedFile) {
  HWND edit = Child(top, L"Edit"), button = Child(top, L"Button"),
       list = Child(top, L"SysListView32");
  const std::wstring address = FromUtf8(url);
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(address.c_str()));
  Check(Text(edit) == address, L"address typed: " + Text(edit));
  // Posted: the click runs the whole lookup and then a modal box.
  PostMessageW(button, BM_CLICK, 0, 0);
  HWND box = WaitFor(InfoBox, 60000);
  Check(box != nullptr, L"the closing box appeared");
  if (!box) return;
  Check(BoxText(box) == kFinished, L"closing box text: " + BoxText(box));
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
  Check(WaitFor([&] { return IsWindow(box) ? nullptr : top; }, 5000) != nullptr,
        L"OK closed the box");
  // A second box would be up by the time the program handles its next message.
  Check(Handled(edit), L"the program went on after the box");
  Check(InfoBox() == nullptr, L"no second closing box");
  Check(Text(edit) == address, L"the address box is unchanged");

  Remote remote(list);
  std::wstring rows;
  const int count = static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0));
  for (int r = 0; r < count; ++r)
    rows += remote.ItemText(list, r, 0) + L"\t" + remote.ItemText(list, r, 1) + L"\n";
  const std::wstring want = ReadUtf8File(expectedFile);
  Check(rows == want, L"rows:\n" + rows + L"want:\n" + want);
}

void DoubleClickRow(HWND top, int row) {
  HWND list = Child(top, L"SysListView32");
  Remote remote(list);
  const RECT r = remote.ItemRect(list, row - 1);
  DoubleClick(list, MAKELPARAM(r.left + 10, (r.top + r.bottom) / 2));
  const bool selected = WaitFor(
      [&] {
        return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) ==
                       row - 1
                   ? list
                   : nullptr;
      },
      5000);
  Check(selected, L"row " + std::to_wstring(row) + L" selected by the double-click");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string phase = argc > 1 ? argv[1] : "";
  HWND top = MainWindow();
  Check(top != nullptr, L"main window with its controls");
  if (!top) return 1;
  if (phase == "layout") {
    Layout(top);
  } else if (phase == "rows") {
    Rows(top);
  } else if (phase == "open") {
    Open(top);
  } else if (phase == "fetch" && argc == 4) {
    Fetch(top, argv[2], argv[3]);
  } else if (phase == "dblclick" && argc == 3) {
    DoubleClickRow(top, std::atoi(argv[2]));
  } else if (phase == "close") {
    PostMessageW(top, WM_CLOSE, 0, 0);
  } else {
    Check(false, L"unknown phase");
  }
  return g_failed;
}
