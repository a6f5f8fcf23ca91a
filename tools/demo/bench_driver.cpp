// demo_bench.exe: the demo's hand on the Vostrik test bench. Starts
// Vostrik.exe (next to itself), presses its buttons as a person would to
// open ZV_FPrinter and print one receipt, printing each button's result as
// the bench shows it, then prints "ready" and keeps the window up until its
// standard input closes, so that a screenshot can be taken.
//
//   demo_bench.exe      exit status 0 when every press gave OPOS_SUCCESS
#include <windows.h>

#include <cstdio>
#include <string>

#include "form_layout.h"

namespace {

using namespace vostrik::c;

constexpr DWORD kMessageTimeoutMs = 30000;

struct Search {
  DWORD pid;
  int id;
  HWND found;
};

BOOL CALLBACK FindForm(HWND hwnd, LPARAM lParam) {
  auto* s = reinterpret_cast<Search*>(lParam);
  DWORD pid = 0;
  GetWindowThreadProcessId(hwnd, &pid);
  wchar_t name[32] = L"";
  GetClassNameW(hwnd, name, 32);
  if (pid == s->pid && lstrcmpW(name, vostrik::kFormClass) == 0 && IsWindowVisible(hwnd)) {
    s->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK FindChild(HWND hwnd, LPARAM lParam) {
  auto* s = reinterpret_cast<Search*>(lParam);
  if (GetDlgCtrlID(hwnd) != s->id) return TRUE;
  s->found = hwnd;
  return FALSE;
}

class Bench {
 public:
  explicit Bench(HWND form) : form_(form) {}

  HWND Item(int id) const {
    Search s{0, id, nullptr};
    EnumChildWindows(form_, FindChild, reinterpret_cast<LPARAM>(&s));
    return s.found;
  }
  void Type(int id, const wchar_t* text) const {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        kMessageTimeoutMs, &ignored);
  }
  std::string Text(int id) const {
    wchar_t text[256] = L"";
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(Item(id), WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        kMessageTimeoutMs, &ignored);
    char narrow[256];
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
    return narrow;
  }
  // Presses a button and reports the result field; true when it shows 0.
  bool Press(int id, const char* label) const {
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(Item(id), BM_CLICK, 0, 0, SMTO_NORMAL, kMessageTimeoutMs, &ignored);
    const std::string result = Text(eResultCode);
    std::printf("   %-22s %s\n", label, result.c_str());
    std::fflush(stdout);
    return result.rfind("0 ", 0) == 0;
  }
  // Fills the parameter fields e1..e6 (the rest are emptied).
  void Fields(std::initializer_list<const wchar_t*> values) const {
    static const int kFields[] = {e1, e2, e3, e4, e5, e6};
    size_t i = 0;
    for (const wchar_t* v : values) Type(kFields[i++], v);
    for (; i < 6; ++i) Type(kFields[i], L"");
  }

 private:
  HWND form_;
};

}  // namespace

int main() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring exe(path, n);
  exe = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"Vostrik.exe";
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "demo_bench: Vostrik.exe could not be started\n");
    return 2;
  }
  Search form{process.dwProcessId, 0, nullptr};
  for (int i = 0; i < 300 && !form.found; ++i) {
    EnumWindows(FindForm, reinterpret_cast<LPARAM>(&form));
    if (!form.found && WaitForSingleObject(process.hProcess, 100) == WAIT_OBJECT_0) break;
  }
  if (!form.found) {
    std::fprintf(stderr, "demo_bench: the Vostrik window did not appear\n");
    TerminateProcess(process.hProcess, 1);
    return 2;
  }
  WaitForInputIdle(process.hProcess, 5000);

  const Bench bench(form.found);
  bool ok = bench.Press(bOpen, "Open ZV_FPrinter") && bench.Press(bClaim, "Claim") &&
            bench.Press(bEnable, "Enable");
  bench.Fields({L"1"});
  ok = ok && bench.Press(sbBeginFiscalReceipt, "Begin");
  // Money fields take the raw currency value: 18000 is 1.80.
  bench.Fields({L"Green tea", L"18000", L"0", L"1", L"0", L""});
  ok = ok && bench.Press(sbPrintRecItem, "P RecItem Green tea");
  bench.Fields({L"Lemon cake", L"32000", L"0", L"2", L"0", L""});
  ok = ok && bench.Press(sbPrintRecItem, "P RecItem Lemon cake");
  bench.Fields({L"50000", L"50000", L"CARD"});
  ok = ok && bench.Press(sbPrintRecTotal, "P RecTotal");
  bench.Fields({L"0"});
  ok = ok && bench.Press(sbEndFiscalReceipt, "End");
  std::printf("ready\n");
  std::fflush(stdout);

  // The window stays for the screenshot until standard input closes.
  char line[64];
  while (std::fgets(line, sizeof line, stdin)) {
  }
  PostMessageW(form.found, WM_CLOSE, 0, 0);
  if (WaitForSingleObject(process.hProcess, 15000) != WAIT_OBJECT_0) {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return ok ? 0 : 1;
}
