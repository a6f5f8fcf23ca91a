// Programming and records of the test Service Object across processes,
// through two files named in the environment (testso_state.h).
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testso_state.h"

namespace testso {
namespace {

using Guard = kr::LockGuard<kr::CriticalSection>;

constexpr DWORD kMaxScriptBytes = 64 * 1024;

// The value of an environment variable, empty when unset.
std::wstring Env(const wchar_t* name) {
  wchar_t value[MAX_PATH] = L"";
  const DWORD n = ::GetEnvironmentVariableW(name, value, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(value, n) : std::wstring();
}

// Returns whether the whole file was read into `text`.
bool ReadFileText(const std::wstring& path, std::string& text) {
  kr::UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  text.assign(kMaxScriptBytes, '\0');
  DWORD n = 0;
  if (!::ReadFile(file.get(), text.data(), kMaxScriptBytes, &n, nullptr)) return false;
  text.resize(n);
  return true;
}

std::wstring Utf8ToWide(const std::string& s) {
  std::wstring w(s.size(), L'\0');
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(),
                                      static_cast<int>(w.size()));
  w.resize(n > 0 ? n : 0);
  return w;
}

std::string WideToUtf8(const WCHAR* w, size_t length) {
  std::string s(length * 3, '\0');
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w, static_cast<int>(length), s.data(),
                                      static_cast<int>(s.size()), nullptr, nullptr);
  s.resize(n > 0 ? n : 0);
  return s;
}

std::vector<std::wstring> SplitTabs(const std::wstring& line) {
  std::vector<std::wstring> fields;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find(L'\t', start);
    fields.push_back(line.substr(start, tab == std::wstring::npos ? tab : tab - start));
    if (tab == std::wstring::npos) return fields;
    start = tab + 1;
  }
}

LONG Number(const std::wstring& s) {
  return static_cast<LONG>(std::wcstoll(s.c_str(), nullptr, 0));
}

// Applies one script line; unknown lines are ignored.
void ApplyLine(State& s, const std::vector<std::wstring>& f) {
  if (f.size() < 3) return;
  const std::wstring& verb = f[0];
  if (verb == L"number") {
    s.numbers[Number(f[1])] = Number(f[2]);
    return;
  }
  if (verb == L"string") {
    s.strings[Number(f[1])].Set(f[2].c_str());
    return;
  }
  const int index = FindMethod(f[1].c_str());
  if (index < 0) return;
  MethodProgram& p = s.methods[index];
  if (verb == L"result") {
    p.hasResult = true;
    p.resultVt = VT_I4;
    p.resultValue = Number(f[2]);
  } else if (verb == L"outnumber") {
    p.hasOutNumber = true;
    p.outNumber = Number(f[2]);
  } else if (verb == L"outtext") {
    p.hasOutText = true;
    p.outText.Set(f[2].c_str());
  } else if (verb == L"fail") {
    p.failHr = static_cast<HRESULT>(std::wcstoul(f[2].c_str(), nullptr, 0));
  } else if (verb == L"callback" && f.size() >= 8) {
    CallbackPlan plan;
    const std::wstring& kind = f[2];
    plan.kind = kind == L"output"     ? TESTSO_CB_OUTPUT_COMPLETE
                : kind == L"error"    ? TESTSO_CB_ERROR
                : kind == L"directio" ? TESTSO_CB_DIRECT_IO
                                      : TESTSO_CB_STATUS_UPDATE;
    for (int i = 0; i < 3; ++i) plan.values[i] = Number(f[3 + i]);
    plan.refNumber = Number(f[6]);
    plan.refText.Set(f[7].c_str());
    p.callbacks.push_back(plan);
  }
}

void AppendLine(const std::string& line) {
  static const std::wstring path = Env(L"KERUNEL_TESTSO_JOURNAL");
  if (path.empty()) return;
  kr::UniqueFileHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

std::string Text(const WCHAR* text) {
  return text ? WideToUtf8(text, ::lstrlenW(text)) : std::string("(null)");
}

}  // namespace

void RemoteSync() {
  static const std::wstring path = Env(L"KERUNEL_TESTSO_SCRIPT");
  static std::string applied;
  if (path.empty()) return;
  std::string text;
  if (!ReadFileText(path, text)) text.clear();
  State& s = TheState();
  Guard g(s.lock);
  if (text == applied) return;
  applied = text;
  for (auto& m : s.methods) m = MethodProgram{};
  s.numbers.clear();
  s.strings.clear();
  const std::wstring wide = Utf8ToWide(text);
  size_t start = 0;
  while (start < wide.size()) {
    size_t end = wide.find(L'\n', start);
    if (end == std::wstring::npos) end = wide.size();
    std::wstring line = wide.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    ApplyLine(s, SplitTabs(line));
    start = end + 1;
  }
}

void RemoteJournalCall(const TestSoCall& call) {
  std::string line = "call\t" + Text(call.method);
  for (UINT i = 0; i < call.argCount && i < TESTSO_MAX_ARGS; ++i) {
    const TestSoArg& a = call.args[i];
    char number[64];
    switch (a.vt) {
      case VT_I4:
      case VT_BOOL:
        std::snprintf(number, sizeof number, "\t%s:%ld", a.vt == VT_I4 ? "I4" : "BOOL",
                      static_cast<long>(a.number));
        line += number;
        break;
      case VT_BYREF | VT_I4:
        std::snprintf(number, sizeof number, "\tI4&:%ld", static_cast<long>(a.number));
        line += number;
        break;
      case VT_CY:
        std::snprintf(number, sizeof number, "\tCY:%lld", static_cast<long long>(a.currency));
        line += number;
        break;
      case VT_BSTR:
        line += "\tBSTR:" + Text(a.text);
        break;
      case VT_BYREF | VT_BSTR:
        line += "\tBSTR&:" + Text(a.text);
        break;
      default:
        std::snprintf(number, sizeof number, "\tVT%u", static_cast<unsigned>(a.vt));
        line += number;
        break;
    }
  }
  AppendLine(line + "\n");
}

void RemoteJournalCallback(const TestSoCallbackResult& result) {
  static const char* const kKinds[] = {"", "status", "output", "error", "directio", "processid"};
  const int kind = result.kind >= 1 && result.kind <= 5 ? result.kind : 0;
  char head[96];
  std::snprintf(head, sizeof head, "callback\t%s\t0x%08lX\t%ld\t", kKinds[kind],
                static_cast<unsigned long>(result.hr), static_cast<long>(result.refNumber));
  AppendLine(head + Text(result.refText) + "\n");
}

}  // namespace testso
