// Drives a running tobrine.exe from another process, in phases that the GUI
// script calls in turn:
//   layout  window placement, styles, title, captions, list headers, no rows
//   rows    inserts three result rows into the list (as the link extractor would)
//   open    double-clicks below the rows, then on the third row
//   close   closes the window
//   fetch URL EXPECTED   types URL, clicks "获取", waits for the one closing box
//                        "获取完成！！", closes it and compares the list's rows
//                        with EXPECTED (a UTF-8 file of "number<TAB>link" lines)
//   answering URL EXPECTED
//                        as fetch, and until the box is up asks the window a
//                        WM_NULL every 100 ms, each to be answered within 1 s
//   dblclick N           double-clicks row N (from 1) on its "序号" cell
//   resources            the running program file's version information and
//                        manifest, and what the manifest makes of the window
//   scaled DPI FILE      layout at DPI: window, controls and columns scaled by
//                        DPI/96, the window centred; the list's text width is
//                        written to FILE at 96 and compared with it otherwise
//   dpichange DPI FILE   sends WM_DPICHANGED for DPI with a suggested rectangle:
//                        the window takes it, everything else rescales
//   copy N               Ctrl+C on row N (from 1): its link on the clipboard
//   menu ITEM N [key]    right-click on row N (with `key`: selects it and asks
//                        for the menu as the menu key does), picks ITEM (0 复制链接,
//                        1 复制全部, 2 打开) of the context menu; checks the
//                        clipboard for the copies (the script checks what 打开
//                        opened)
// Prints one PASS/FAIL line per check; the exit code is the number of failures.
#include <windows.h>
// After windows.h, which it builds on.
#include <commctrl.h>
#include <psapi.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

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

// Until the closing box is up (60 s at most), the window answers a WM_NULL
// within 1 s, asked every 100 ms.
HWND WaitAnswering(HWND top) {
  const DWORD start = GetTickCount();
  DWORD slowest = 0;
  int asked = 0, unanswered = 0;
  HWND box = nullptr;
  while (!(box = InfoBox()) && GetTickCount() - start < 60000) {
    const DWORD before = GetTickCount();
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(top, WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result)) ++unanswered;
    slowest = std::max<DWORD>(slowest, GetTickCount() - before);
    ++asked;
    Sleep(100);
  }
  std::printf("WM_NULL asked %d times during the lookup, unanswered %d, slowest answer %lu ms\n",
              asked, unanswered, static_cast<unsigned long>(slowest));
  Check(asked > 0 && unanswered == 0,
        L"the window answered every WM_NULL within 1 s while it looked up");
  return box;
}

void Fetch(HWND top, const std::string& url, const char* expectedFile, bool answering = false) {
  HWND edit = Child(top, L"Edit"), button = Child(top, L"Button"),
       list = Child(top, L"SysListView32");
  const std::wstring address = FromUtf8(url);
  SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(address.c_str()));
  Check(Text(edit) == address, L"address typed: " + Text(edit));
  // Posted: the click runs the whole lookup and then a modal box.
  PostMessageW(button, BM_CLICK, 0, 0);
  HWND box = answering ? WaitAnswering(top) : WaitFor(InfoBox, 60000);
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

// ---- The program file, DPI scaling, copying links ----

template <typename F>
F SystemFunction(const wchar_t* module, const char* name) {
  return reinterpret_cast<F>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

bool UnderWine() {
  return SystemFunction<void*>(L"ntdll.dll", "wine_get_version") != nullptr;
}

std::wstring ProgramFile(HWND top) {
  DWORD pid = 0;
  GetWindowThreadProcessId(top, &pid);
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return L"";
  wchar_t path[MAX_PATH * 2] = L"";
  DWORD n = MAX_PATH * 2;
  if (!QueryFullProcessImageNameW(process, 0, path, &n)) n = 0;
  CloseHandle(process);
  return std::wstring(path, n);
}

// The file names of the modules loaded in the window's process.
std::vector<std::wstring> LoadedModules(HWND top) {
  DWORD pid = 0;
  GetWindowThreadProcessId(top, &pid);
  std::vector<std::wstring> names;
  HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
  if (!process) return names;
  HMODULE modules[512];
  DWORD bytes = 0;
  if (EnumProcessModules(process, modules, sizeof modules, &bytes)) {
    for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < 512; ++i) {
      wchar_t name[MAX_PATH * 2] = L"";
      if (GetModuleFileNameExW(process, modules[i], name, MAX_PATH * 2)) names.push_back(name);
    }
  }
  CloseHandle(process);
  return names;
}

std::wstring Lower(std::wstring s) {
  for (auto& c : s) c = static_cast<wchar_t>(towlower(c));
  return s;
}

std::wstring VersionText(const std::vector<BYTE>& info, const std::wstring& key) {
  void* value = nullptr;
  UINT n = 0;
  if (!VerQueryValueW(info.data(), key.c_str(), &value, &n) || !value) return L"";
  return static_cast<const wchar_t*>(value);
}

void Resources(HWND top) {
  const std::wstring path = ProgramFile(top);
  Check(!path.empty(), L"the running program's file: " + path);

  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  std::vector<BYTE> info(size);
  Check(size && GetFileVersionInfoW(path.c_str(), 0, size, info.data()),
        L"version information present");
  if (!size) return;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT n = 0;
  VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &n);
  Check(fixed && fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00010000 &&
            fixed->dwProductVersionMS == 0x00010000 && fixed->dwProductVersionLS == 0x00010000,
        L"file and product version 1.0.1.0");
  Check(fixed && fixed->dwFileType == VFT_APP, L"file type: application");
  WORD* languages = nullptr;
  VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&languages),
                 &n);
  const std::vector<WORD> pairs(languages, languages ? languages + n / sizeof(WORD) : nullptr);
  Check(pairs == std::vector<WORD>{0x0804, 1200, 0x0409, 1200},
        L"translations: Chinese (PRC) and English (US), Unicode");
  struct Language {
    const wchar_t* block;
    const wchar_t* description;
  } languageRows[] = {
      // Tobrine 安装包下载链接提取工具
      {L"080404B0", L"Tobrine \u5B89\u88C5\u5305\u4E0B\u8F7D\u94FE\u63A5\u63D0\u53D6\u5DE5\u5177"},
      {L"040904B0", L"Tobrine package download link finder"},
  };
  for (const auto& language : languageRows) {
    const std::wstring at = std::wstring(L"\\StringFileInfo\\") + language.block + L"\\";
    Check(VersionText(info, at + L"ProductName") == L"Tobrine" &&
              VersionText(info, at + L"FileVersion") == L"1.0.1.0" &&
              VersionText(info, at + L"ProductVersion") == L"1.0.1.0" &&
              VersionText(info, at + L"OriginalFilename") == L"tobrine.exe",
          std::wstring(language.block) + L": product Tobrine, version 1.0.1.0");
    Check(VersionText(info, at + L"FileDescription") == language.description,
          std::wstring(language.block) + L" description: " +
              VersionText(info, at + L"FileDescription"));
  }

  // The manifest, as the loader reads it (resource 1 of type RT_MANIFEST).
  HMODULE image = LoadLibraryExW(path.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  HRSRC found = image ? FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)) : nullptr;
  HGLOBAL loaded = found ? LoadResource(image, found) : nullptr;
  const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
  const std::string manifest = bytes ? std::string(bytes, SizeofResource(image, found)) : "";
  if (image) FreeLibrary(image);
  Check(!manifest.empty(), L"application manifest present");
  struct Clause {
    const char* text;
    bool present;
    const wchar_t* what;
  } clauses[] = {
      {"name=\"Microsoft.Windows.Common-Controls\"", true, L"common controls"},
      {"version=\"6.0.0.0\"", true, L"version 6"},
      {"publicKeyToken=\"6595b64144ccf1df\"", true, L"the system's assembly"},
      {">PerMonitorV2, PerMonitor</dpiAwareness>", true, L"per-monitor DPI awareness v2"},
      {">true/pm</dpiAware>", true, L"the older dpiAware fallback"},
      {"level=\"asInvoker\"", true, L"asInvoker"},
      {"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", true, L"supports Windows 7"},
      {"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", true, L"supports Windows 8"},
      {"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", true, L"supports Windows 8.1"},
      {"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}", true, L"supports Windows 10 and 11"},
      {"activeCodePage", false, L"no active code page (stays on 936)"},
  };
  for (const auto& c : clauses)
    Check((manifest.find(c.text) != std::string::npos) == c.present,
          std::wstring(L"manifest: ") + c.what);

  // What the system made of it.
  using ContextOf = void*(WINAPI*)(HWND);
  using AwarenessOf = int(WINAPI*)(void*);
  auto contextOf = SystemFunction<ContextOf>(L"user32.dll", "GetWindowDpiAwarenessContext");
  auto awarenessOf =
      SystemFunction<AwarenessOf>(L"user32.dll", "GetAwarenessFromDpiAwarenessContext");
  if (contextOf && awarenessOf) {
    Check(awarenessOf(contextOf(top)) == 2 /* DPI_AWARENESS_PER_MONITOR_AWARE */,
          L"the window is per-monitor DPI aware");
  } else {
    Print(L"SKIP per-monitor DPI awareness: this system has no GetWindowDpiAwarenessContext");
  }
  HWND list = Child(top, L"SysListView32");
  const LRESULT version = SendMessageW(list, CCM_GETVERSION, 0, 0);
  if (version == 6 || !UnderWine()) {
    Check(version == 6,
          L"themed controls: the list view reports version " + std::to_wstring(version));
  } else {
    // Wine 8 serves its one comctl32 as the version 6 assembly; its list view
    // answers 5 either way. The assembly being loaded is the manifest's effect.
    Print(L"SKIP list view version 6: Wine 8's list view reports " + std::to_wstring(version) +
          L" from the version 6 assembly as well");
    bool fromAssembly = false;
    for (const auto& module : LoadedModules(top)) {
      const std::wstring name = Lower(module);
      if (name.find(L"\\comctl32.dll") != std::wstring::npos)
        fromAssembly = name.find(L"microsoft.windows.common-controls_6595b64144ccf1df_6.0.") !=
                       std::wstring::npos;
    }
    Check(fromAssembly, L"comctl32 comes from the common controls 6.0 assembly");
  }
}

bool Near(double got, double want, double slack = 1.0) {
  return std::fabs(got - want) <= slack;
}

std::wstring Size(LONG w, LONG h) {
  return std::to_wstring(w) + L" x " + std::to_wstring(h);
}

// The width of a fixed text in the list's font, in pixels.
int ListTextWidth(HWND list) {
  Remote remote(list);
  const std::wstring sample = L"https://dl.example/\u7F51\u5740.ipa";
  remote.Write(0, sample.c_str(), (sample.size() + 1) * sizeof(wchar_t));
  return static_cast<int>(
      SendMessageW(list, LVM_GETSTRINGWIDTHW, 0, reinterpret_cast<LPARAM>(remote.mem)));
}

// The controls at their stored rectangles times `scale`, each within a pixel.
void CheckScaledLayout(HWND top, double scale) {
  struct Stored {
    const wchar_t* cls;
    int nth;
    int left, top, width, height;
  } stored[] = {
      {L"Edit", 0, 80, 16, 416, 32},
      {L"Button", 0, 504, 16, 56, 32},
      {L"SysListView32", 0, 16, 56, 544, 216},
  };
  for (const auto& c : stored) {
    RECT r;
    HWND h = Child(top, c.cls, c.nth);
    GetWindowRect(h, &r);
    MapWindowPoints(HWND_DESKTOP, top, reinterpret_cast<POINT*>(&r), 2);
    Check(Near(r.left, c.left * scale) && Near(r.top, c.top * scale) &&
              Near(r.right - r.left, c.width * scale) && Near(r.bottom - r.top, c.height * scale),
          std::wstring(c.cls) + L" at (" + std::to_wstring(r.left) + L", " +
              std::to_wstring(r.top) + L") " + Size(r.right - r.left, r.bottom - r.top));
  }
  HWND list = Child(top, L"SysListView32");
  const auto w0 = SendMessageW(list, LVM_GETCOLUMNWIDTH, 0, 0);
  const auto w1 = SendMessageW(list, LVM_GETCOLUMNWIDTH, 1, 0);
  Check(Near(static_cast<double>(w0), 50 * scale) && Near(static_cast<double>(w1), 450 * scale),
        L"column widths " + std::to_wstring(w0) + L", " + std::to_wstring(w1));
}

// The list's text width against the one measured at 96 DPI (in `file`).
void CheckTextScale(HWND top, double scale, const char* file) {
  const int width = ListTextWidth(Child(top, L"SysListView32"));
  if (scale == 1.0) {
    std::ofstream(file) << width << "\n";
    Check(width > 0, L"text width at 96 DPI: " + std::to_wstring(width));
    return;
  }
  int base = 0;
  std::ifstream(file) >> base;
  const double ratio = base ? static_cast<double>(width) / base : 0;
  // Glyph widths round per character: allow a tenth either way.
  Check(base > 0 && std::fabs(ratio - scale) <= 0.1 * scale,
        L"text drawn at the DPI: width " + std::to_wstring(width) + L" against " +
            std::to_wstring(base) + L" at 96 DPI");
}

void Scaled(HWND top, int dpi, const char* file) {
  const double scale = dpi / 96.0;
  using DpiOf = UINT(WINAPI*)(HWND);
  if (UnderWine()) {
    Print(L"SKIP window DPI: Wine 8 answers 96 for another process's window");
  } else if (auto dpiOf = SystemFunction<DpiOf>(L"user32.dll", "GetDpiForWindow")) {
    Check(dpiOf(top) == static_cast<UINT>(dpi), L"window DPI " + std::to_wstring(dpiOf(top)));
  }
  RECT r;
  GetWindowRect(top, &r);
  const LONG w = r.right - r.left, h = r.bottom - r.top;
  Check(Near(w, 583 * scale) && Near(h, 342 * scale), L"outer size " + Size(w, h));
  const int sw = GetSystemMetrics(SM_CXSCREEN), sh = GetSystemMetrics(SM_CYSCREEN);
  // Within a pixel of the exact centre.
  Check(std::abs(2 * r.left - (sw - w)) <= 2 && std::abs(2 * r.top - (sh - h)) <= 2,
        L"centred on " + Size(sw, sh) + L" at (" + std::to_wstring(r.left) + L", " +
            std::to_wstring(r.top) + L")");
  CheckScaledLayout(top, scale);
  CheckTextScale(top, scale, file);
}

void DpiChange(HWND top, int dpi, const char* file) {
  const double scale = dpi / 96.0;
  RECT before;
  GetWindowRect(top, &before);
  const RECT suggested = {before.left + 10, before.top + 10,
                          before.left + 10 + static_cast<LONG>(std::lround(583 * scale)),
                          before.top + 10 + static_cast<LONG>(std::lround(342 * scale))};
  // The rectangle must be readable in the program's process.
  Remote remote(top);
  remote.Write(0, &suggested, sizeof suggested);
  DWORD_PTR ignored = 0;
  Check(SendMessageTimeoutW(top, WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                            reinterpret_cast<LPARAM>(remote.mem), SMTO_ABORTIFHUNG, 5000,
                            &ignored) != 0,
        L"WM_DPICHANGED " + std::to_wstring(dpi) + L" handled");
  RECT r;
  GetWindowRect(top, &r);
  Check(EqualRect(&r, &suggested),
        L"took the suggested rectangle: " + Size(r.right - r.left, r.bottom - r.top));
  CheckScaledLayout(top, scale);
  CheckTextScale(top, scale, file);
}

void SetClipboard(const std::wstring& text) {
  if (!OpenClipboard(nullptr)) return;
  EmptyClipboard();
  HGLOBAL data = GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t));
  if (auto* p = static_cast<wchar_t*>(GlobalLock(data))) {
    std::copy(text.c_str(), text.c_str() + text.size() + 1, p);
    GlobalUnlock(data);
    if (!SetClipboardData(CF_UNICODETEXT, data)) GlobalFree(data);
  }
  CloseClipboard();
}

std::wstring ClipboardText() {
  std::wstring text;
  if (!OpenClipboard(nullptr)) return L"(clipboard busy)";
  if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = p;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

// Waits until the clipboard holds `want` (it is set inside the program's
// message handling, after the posted input has been taken).
void ExpectClipboard(const std::wstring& want, const std::wstring& what) {
  std::wstring got;
  for (DWORD t0 = GetTickCount(); GetTickCount() - t0 < 5000; Sleep(50))
    if ((got = ClipboardText()) == want) break;
  Check(got == want, what + L": clipboard holds '" + got + L"'");
}

const wchar_t kSentinel[] = L"(clipboard before)";

POINT RowCentre(HWND list, int row) {
  Remote remote(list);
  const RECT r = remote.ItemRect(list, row - 1);
  return {r.left + 10, (r.top + r.bottom) / 2};
}

bool WaitSelected(HWND list, int row) {
  return WaitFor(
             [&] {
               return SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) ==
                              row - 1
                          ? list
                          : nullptr;
             },
             5000) != nullptr;
}

void CopyShortcut(HWND top, int row) {
  HWND list = Child(top, L"SysListView32");
  SetClipboard(kSentinel);
  const POINT at = RowCentre(list, row);
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
  PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
  Check(WaitSelected(list, row), L"row " + std::to_wstring(row) + L" selected by a click");
  // Keys go to the focus of the active window: the click focused the list.
  SetForegroundWindow(top);
  const DWORD thread = GetWindowThreadProcessId(top, nullptr);
  const bool focused = WaitFor(
                           [&] {
                             GUITHREADINFO gui = {};
                             gui.cbSize = sizeof gui;
                             return GetForegroundWindow() == top &&
                                            GetGUIThreadInfo(thread, &gui) && gui.hwndFocus == list
                                        ? list
                                        : nullptr;
                           },
                           5000) != nullptr;
  Check(focused, L"the list has the keyboard focus");
  INPUT keys[4] = {};
  const WORD codes[4] = {VK_CONTROL, 'C', 'C', VK_CONTROL};
  for (int i = 0; i < 4; ++i) {
    keys[i].type = INPUT_KEYBOARD;
    keys[i].ki.wVk = codes[i];
    keys[i].ki.dwFlags = i >= 2 ? KEYEVENTF_KEYUP : 0;
  }
  Check(SendInput(4, keys, sizeof(INPUT)) == 4, L"Ctrl+C typed");
  ExpectClipboard(kLinks[row - 1], L"Ctrl+C copied row " + std::to_wstring(row) + L"'s link");
}

void MenuChoice(HWND top, int item, int row, bool fromKeyboard) {
  HWND list = Child(top, L"SysListView32");
  SetClipboard(kSentinel);
  const POINT at = RowCentre(list, row);
  if (fromKeyboard) {
    PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageW(list, WM_LBUTTONUP, 0, MAKELPARAM(at.x, at.y));
    Check(WaitSelected(list, row), L"row " + std::to_wstring(row) + L" selected by a click");
    // What the system sends for the menu key or Shift+F10: no position.
    PostMessageW(list, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(list), -1);
  } else {
    PostMessageW(list, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(at.x, at.y));
    PostMessageW(list, WM_RBUTTONUP, 0, MAKELPARAM(at.x, at.y));
  }
  HWND menu = WaitFor(
      [] {
        HWND m = FindWindowW(L"#32768", nullptr);
        return m && IsWindowVisible(m) ? m : nullptr;
      },
      5000);
  Check(menu != nullptr, L"the context menu opened");
  if (!menu) return;
  Check(SendMessageW(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED) == row - 1,
        L"row " + std::to_wstring(row) + L" is selected");
  if (fromKeyboard) {
    Remote remote(list);
    RECT rowRect = remote.ItemRect(list, row - 1), menuRect;
    MapWindowPoints(list, HWND_DESKTOP, reinterpret_cast<POINT*>(&rowRect), 2);
    GetWindowRect(menu, &menuRect);
    Check(std::abs(menuRect.top - rowRect.bottom) <= 2 && menuRect.left >= rowRect.left &&
              menuRect.left < rowRect.right,
          L"the menu opened below the selected row");
  }
  HMENU items = reinterpret_cast<HMENU>(SendMessageW(menu, MN_GETHMENU, 0, 0));
  std::wstring texts;
  for (int i = 0; items && i < GetMenuItemCount(items); ++i) {
    wchar_t text[64] = L"";
    GetMenuStringW(items, i, text, 64, MF_BYPOSITION);
    texts += (i ? L" / " : L"") + std::wstring(text);
  }
  // 复制链接 / 复制全部 / 打开
  const std::wstring want = L"\u590D\u5236\u94FE\u63A5 / \u590D\u5236\u5168\u90E8 / \u6253\u5F00";
  if (items && GetMenuItemCount(items) > 0) {
    Check(texts == want, L"menu items: " + texts);
  } else {
    Print(L"SKIP menu item texts: this system does not show another process's menu");
  }
  // Down to the item, then Enter, as a user would with the keyboard.
  for (int i = 0; i <= item; ++i) PostMessageW(menu, WM_KEYDOWN, VK_DOWN, 0);
  PostMessageW(menu, WM_KEYDOWN, VK_RETURN, 0);
  Check(WaitFor([&] { return IsWindowVisible(menu) ? nullptr : top; }, 5000) != nullptr,
        L"the menu closed");
  if (item == 0) {
    ExpectClipboard(kLinks[row - 1], L"复制链接 copied row " + std::to_wstring(row) + L"'s link");
  } else if (item == 1) {
    std::wstring all;
    for (const wchar_t* link : kLinks) all += (all.empty() ? L"" : L"\r\n") + std::wstring(link);
    ExpectClipboard(all, L"复制全部 copied every link, one per line");
  } else {
    Sleep(300);
    Check(ClipboardText() == kSentinel, L"打开 left the clipboard alone");
  }
}

}  // namespace

int main(int argc, char** argv) {
  // Sizes in the window's own pixels, whatever the DPI.
  SetProcessDPIAware();
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
  } else if (phase == "answering" && argc == 4) {
    Fetch(top, argv[2], argv[3], true);
  } else if (phase == "dblclick" && argc == 3) {
    DoubleClickRow(top, std::atoi(argv[2]));
  } else if (phase == "resources") {
    Resources(top);
  } else if (phase == "scaled" && argc == 4) {
    Scaled(top, std::atoi(argv[2]), argv[3]);
  } else if (phase == "dpichange" && argc == 4) {
    DpiChange(top, std::atoi(argv[2]), argv[3]);
  } else if (phase == "copy" && argc == 3) {
    CopyShortcut(top, std::atoi(argv[2]));
  } else if (phase == "menu" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "key"))) {
    MenuChoice(top, std::atoi(argv[2]), std::atoi(argv[3]), argc == 5);
  } else if (phase == "close") {
    PostMessageW(top, WM_CLOSE, 0, 0);
  } else {
    Check(false, L"unknown phase");
  }
  return g_failed;
}
