#include "ecr_link.h"

#include <algorithm>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace kso {
namespace {

// The directory of this module, with a trailing backslash.
std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return L"";
  std::wstring dir(path, n);
  size_t slash = dir.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"" : dir.substr(0, slash + 1);
}

bool IsPlainName(const std::wstring& name) {
  return !name.empty() && name.size() < 64 && std::all_of(name.begin(), name.end(), [](wchar_t c) {
    return iswalnum(c) || c == L'_' || c == L'-';
  });
}

constexpr int kStatusAtWork = 0x20;  // the ECR's status bit while it works on a command

// The transaction the driver's progress callback may cut short. There is
// one link per process, so one deadline.
struct Deadline {
  EcrLink* link = nullptr;
  DWORD lastSign = 0;  // when the ECR last showed it was at the command
  DWORD limitMs = 0;
};
Deadline g_deadline;

// Called by the driver after every answer slice that brought nothing, just
// after its own status request. An ECR that reports itself at work is not
// silent: its limit starts again. One silent for the whole limit loses its
// link, which ends the driver's wait as soon as it looks again.
void WINAPI OnProgress(int, int, int, const char*, int*) {
  Deadline& d = g_deadline;
  if (!d.link) return;
  if (d.link->EcrAtWork()) d.lastSign = GetTickCount();
  if (GetTickCount() - d.lastSign < d.limitMs) return;
  EcrLink* link = d.link;
  d.link = nullptr;
  link->Close();
  PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);  // wakes the wait to see it
}

template <typename F>
bool Find(HMODULE module, const char* name, F* out) {
  *out = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return *out != nullptr;
}

}  // namespace

bool EcrLink::Load(const std::wstring& driver, std::string* why) {
  Close();
  module_.reset();
  if (!IsPlainName(driver)) {
    *why = "the link driver is named by a plain module name such as Sandoral";
    return false;
  }
  const std::wstring file = driver + L".dll";
  module_.reset(LoadLibraryW((OwnDirectory() + file).c_str()));
  if (!module_) module_.reset(LoadLibraryW(file.c_str()));
  if (!module_) {
    *why = "the link driver module could not be loaded";
    return false;
  }
  HMODULE m = module_.get();
  if (!Find(m, "OpenProt", &openProt_) || !Find(m, "CloseProt", &closeProt_) ||
      !Find(m, "GetLastProtocolError", &lastError_) || !Find(m, "EcrIO", &ecrIO_) ||
      !Find(m, "SetMessNetChange", &setNetMessage_) || !Find(m, "SendStRq", &statusRequest_)) {
    module_.reset();
    *why = "the link driver module lacks an export";
    return false;
  }
  return true;
}

int EcrLink::Open(const std::string& settings, HWND window, UINT netMessage) {
  if (!module_) return 103;
  if (open_) return 0;
  if (!openProt_(settings.c_str(), 0)) {
    int error = 0;
    lastError_(&error, nullptr);
    return error != 0 ? error : 103;
  }
  open_ = true;
  setNetMessage_(window, netMessage);
  // OpenProt clears the progress callback: it is set for every link.
  linkdrv::DriverInfo* info = nullptr;
  if (ecrIO_(linkdrv::kControlDriverInfo, 0, nullptr, 0, nullptr, nullptr,
             reinterpret_cast<int*>(&info)) == 0 &&
      info) {
    info->field[linkdrv::kInfoProgressCallback] = reinterpret_cast<intptr_t>(&OnProgress);
  }
  log_.AttachDriver(info);
  return 0;
}

void EcrLink::Close() {
  if (!open_) return;
  open_ = false;
  log_.AttachDriver(nullptr);
  closeProt_(0);
}

bool EcrLink::EcrAtWork() {
  int status = 0;
  return open_ && statusRequest_ && statusRequest_(1, 0, &status) == 0 &&
         (status & kStatusAtWork) != 0;
}

int EcrLink::Transact(const std::string& command, std::string* answer, int* extra,
                      DWORD silenceLimitMs) {
  answer->clear();
  *extra = 0;
  if (!open_) {
    *extra = 99;  // as a command the link could not carry
    return 2;
  }
  char buffer[256] = {};
  int length = 0;
  if (log_.Enabled()) log_.Write("SEND %s", LogText(command).c_str());
  g_deadline = Deadline{this, GetTickCount(), silenceLimitMs};
  int r = ecrIO_(1, linkdrv::kEcrAnswerExpected | linkdrv::kEcrWaitAnswer, command.data(),
                 static_cast<int>(command.size()), buffer, &length, extra);
  g_deadline.link = nullptr;
  length = std::clamp(length, 0, static_cast<int>(sizeof buffer));
  if (r == 0 || r == 8) answer->assign(buffer, buffer + length);
  if (log_.Enabled()) {
    log_.Write("ANSWER %s (EcrIO %d, extra %d)", LogText(*answer).c_str(), r, *extra);
  }
  return r;
}

}  // namespace kso
