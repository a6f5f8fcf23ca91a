#include "support.h"

namespace kr_test {

namespace {

constexpr DWORD kPollMs = 20;
constexpr DWORD kScreenshotTimeoutMs = 20000;
constexpr int kTextMax = 512;

std::wstring WindowText(HWND window) {
  wchar_t text[kTextMax] = L"";
  ::GetWindowTextW(window, text, kTextMax);
  return text;
}

struct Search {
  const std::wstring* caption;
  HWND found;
};

BOOL CALLBACK MatchTopLevel(HWND window, LPARAM lParam) {
  auto* search = reinterpret_cast<Search*>(lParam);
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  if (process == ::GetCurrentProcessId() && ::IsWindowVisible(window) &&
      WindowText(window).find(*search->caption) != std::wstring::npos) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

BOOL CALLBACK CollectText(HWND window, LPARAM lParam) {
  std::wstring text = WindowText(window);
  // An icon or bitmap control's text names its resource; nobody reads it.
  if (!text.empty() && text[0] != 0xFFFF) {
    reinterpret_cast<std::vector<std::wstring>*>(lParam)->push_back(text);
  }
  return TRUE;
}

// The Unix path of a Windows path (Wine's own conversion), or "".
std::string UnixPath(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
      ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unixPath = convert ? convert(path.c_str()) : nullptr;
  if (unixPath == nullptr) return std::string();
  std::string result = unixPath;
  ::HeapFree(::GetProcessHeap(), 0, unixPath);
  return result;
}

}  // namespace

HWND WaitForTopLevelWindow(const std::wstring& caption, DWORD timeoutMs) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  do {
    Search search{&caption, nullptr};
    ::EnumWindows(MatchTopLevel, reinterpret_cast<LPARAM>(&search));
    if (search.found) return search.found;
    ::Sleep(kPollMs);
  } while (::GetTickCount64() < end);
  return nullptr;
}

std::vector<std::wstring> DescendantTexts(HWND window) {
  std::vector<std::wstring> texts;
  ::EnumChildWindows(window, CollectText, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

std::wstring TakeScreenshot(const std::wstring& name) {
  wchar_t exe[MAX_PATH];
  DWORD length = ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  std::wstring root(exe, length);
  for (int up = 0; up < 2; ++up) root.erase(root.find_last_of(L'\\'));  // ...\bin\x.exe
  const std::wstring directory = root + L"\\screenshots";
  const std::wstring file = directory + L"\\" + name + L".png";
  ::CreateDirectoryW(directory.c_str(), nullptr);
  ::DeleteFileW(file.c_str());
  const std::string target = UnixPath(file);
  if (target.empty()) return std::wstring();

  // ImageMagick runs as a Unix program; Wine gives no handle to wait on, so
  // it writes under another name and the rename marks the picture complete.
  const std::string script =
      "import -window root 'png:" + target + ".part' && mv '" + target + ".part' '" + target + "'";
  std::wstring command = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
    return std::wstring();
  }
  kr::UniqueHandle processHandle(process.hProcess), threadHandle(process.hThread);
  const ULONGLONG end = ::GetTickCount64() + kScreenshotTimeoutMs;
  while (::GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (::GetTickCount64() >= end) return std::wstring();
    ::Sleep(kPollMs);
  }
  return file;
}

}  // namespace kr_test
