#include "vostrik_driver.h"

#include <fstream>

namespace vt {
namespace {

constexpr DWORD kMessageTimeoutMs = 30000;
constexpr DWORD kPollMs = 20;

std::wstring ModuleDir() {
  wchar_t path[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L'\\'));
}

std::wstring TempFile(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  ::GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + L"vostrik_" + std::to_wstring(::GetCurrentProcessId()) + L"_" + name;
}

std::string ToUtf8(const std::wstring& w) {
  std::string s(w.size() * 3 + 1, '\0');
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(),
                                      static_cast<int>(s.size()), nullptr, nullptr);
  s.resize(n > 0 ? n : 0);
  return s;
}

struct FindContext {
  DWORD pid;
  HWND found;
};

BOOL CALLBACK FindFormWindow(HWND hwnd, LPARAM lParam) {
  auto* context = reinterpret_cast<FindContext*>(lParam);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(hwnd, &pid);
  wchar_t className[32] = L"";
  ::GetClassNameW(hwnd, className, 32);
  if (pid == context->pid && ::lstrcmpW(className, vostrik::kFormClass) == 0 &&
      ::IsWindowVisible(hwnd)) {
    context->found = hwnd;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

COLORREF NormalBackground() {
  return ::GetSysColor(COLOR_WINDOW);
}

Vostrik::Vostrik() : scriptPath_(TempFile(L"script.txt")), journalPath_(TempFile(L"journal.txt")) {
  ::DeleteFileW(scriptPath_.c_str());
  ::DeleteFileW(journalPath_.c_str());
  ::SetEnvironmentVariableW(L"KERUNEL_TESTSO_SCRIPT", scriptPath_.c_str());
  ::SetEnvironmentVariableW(L"KERUNEL_TESTSO_JOURNAL", journalPath_.c_str());
}

Vostrik::~Vostrik() {
  Close();
  ::DeleteFileW(scriptPath_.c_str());
  ::DeleteFileW(journalPath_.c_str());
}

bool Vostrik::Start(DWORD timeoutMs) {
  std::wstring exe = ModuleDir() + L"\\Vostrik.exe";
  std::wstring commandLine = L"\"" + exe + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!::CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process_)) {
    return false;
  }
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  while (::GetTickCount64() < end) {
    FindContext context{process_.dwProcessId, nullptr};
    ::EnumWindows(FindFormWindow, reinterpret_cast<LPARAM>(&context));
    if (context.found) {
      window_ = context.found;
      ::WaitForInputIdle(process_.hProcess, 5000);
      return true;
    }
    if (::WaitForSingleObject(process_.hProcess, kPollMs) == WAIT_OBJECT_0) return false;
  }
  return false;
}

bool Vostrik::WaitForExit(DWORD timeoutMs) {
  return process_.hProcess && ::WaitForSingleObject(process_.hProcess, timeoutMs) == WAIT_OBJECT_0;
}

DWORD Vostrik::exitCode() const {
  DWORD code = STILL_ACTIVE;
  if (process_.hProcess) ::GetExitCodeProcess(process_.hProcess, &code);
  return code;
}

void Vostrik::Close() {
  if (!process_.hProcess) return;
  if (window_ && ::IsWindow(window_)) ::PostMessageW(window_, WM_CLOSE, 0, 0);
  if (!WaitForExit(15000)) ::TerminateProcess(process_.hProcess, 99);
  ::CloseHandle(process_.hProcess);
  ::CloseHandle(process_.hThread);
  process_ = PROCESS_INFORMATION{};
  window_ = nullptr;
}

HWND Vostrik::Item(Id id) const {
  const vostrik::Component* k = vostrik::FindComponent(id);
  if (!k || !window_) return nullptr;
  const HWND parent = k->parent == vostrik::c::MainForm ? window_ : Item(k->parent);
  return parent ? ::GetDlgItem(parent, id) : nullptr;
}

std::wstring Vostrik::Text(Id id) const {
  wchar_t text[512] = L"";
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(Item(id), WM_GETTEXT, 512, reinterpret_cast<LPARAM>(text), SMTO_NORMAL,
                        kMessageTimeoutMs, &ignored);
  return text;
}

void Vostrik::Type(Id id, const std::wstring& text) {
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_NORMAL, kMessageTimeoutMs, &ignored);
}

bool Vostrik::Click(Id id) {
  DWORD_PTR ignored = 0;
  return ::SendMessageTimeoutW(Item(id), BM_CLICK, 0, 0, SMTO_NORMAL, kMessageTimeoutMs,
                               &ignored) != 0;
}

bool Vostrik::Visible(Id id) const {
  return ::IsWindowVisible(Item(id)) != FALSE;
}

COLORREF Vostrik::Background(Id id, COLORREF expected) const {
  const HWND item = Item(id);
  RECT client{};
  ::GetClientRect(item, &client);
  POINT p{client.right - 2, client.bottom - 2};
  ::ClientToScreen(item, &p);
  COLORREF seen = CLR_INVALID;
  const ULONGLONG end = ::GetTickCount64() + 2000;
  do {
    HDC screen = ::GetDC(nullptr);
    seen = ::GetPixel(screen, p.x, p.y);
    ::ReleaseDC(nullptr, screen);
    if (seen == expected) break;
    ::Sleep(kPollMs);
  } while (::GetTickCount64() < end);
  return seen;
}

void Vostrik::Program(const std::wstring& script) {
  // Written aside and moved in, so the object never reads half a script.
  const std::wstring next = scriptPath_ + L".next";
  {
    std::ofstream out(next.c_str(), std::ios::binary | std::ios::trunc);
    out << ToUtf8(script);
  }
  ::MoveFileExW(next.c_str(), scriptPath_.c_str(), MOVEFILE_REPLACE_EXISTING);
}

void Vostrik::ClearJournal() {
  ::DeleteFileW(journalPath_.c_str());
}

std::vector<std::string> Vostrik::Journal() const {
  std::vector<std::string> lines;
  std::ifstream in(journalPath_.c_str(), std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

BenchSetup::BenchSetup() : control_(::LoadLibraryW(L"Kerunel.ocx")) {
  ok_ = control_ && so_ && SUCCEEDED(RegisterControl()) && SUCCEEDED(so_.Register()) &&
        config_.Device(L"ZV_FPrinter", TESTSO_PROGID) == ERROR_SUCCESS;
}

BenchSetup::~BenchSetup() {
  UnregisterControl();
}

namespace {
HRESULT CallServerExport(HMODULE module, const char* name) {
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto fn = module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
                   : nullptr;
  return fn ? fn() : E_FAIL;
}
}  // namespace

HRESULT BenchSetup::RegisterControl() {
  return CallServerExport(control_.get(), "DllRegisterServer");
}

HRESULT BenchSetup::UnregisterControl() {
  return CallServerExport(control_.get(), "DllUnregisterServer");
}

}  // namespace vt
