#include "ecr_link.h"

#include <algorithm>
#include <iterator>
#include <map>

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

// The drivers this process has loaded, by name, with the links that use
// them. A driver stays loaded from its first use until COM asks whether
// this module can go and no link uses it. Service Objects of several
// apartments may load at once.
struct LoadedDriver {
  kr::UniqueModule module;
  DriverExports exports;
  int uses;
};
kr::CriticalSection g_driversLock;
std::map<std::wstring, LoadedDriver> g_drivers;

// Loads driver (a plain name), or takes the one already loaded, for one
// more link; null with *why.
const DriverExports* UseDriver(const std::wstring& driver, std::string* why) {
  kr::LockGuard<kr::CriticalSection> guard(g_driversLock);
  auto known = g_drivers.find(driver);
  if (known != g_drivers.end()) {
    known->second.uses += 1;
    return &known->second.exports;
  }
  const std::wstring file = driver + L".dll";
  kr::UniqueModule module(LoadLibraryW((OwnDirectory() + file).c_str()));
  if (!module) module.reset(LoadLibraryW(file.c_str()));
  if (!module) {
    *why = "the link driver module could not be loaded";
    return nullptr;
  }
  HMODULE m = module.get();
  DriverExports d = {};
  if (!Find(m, "OpenProt", &d.openProt) || !Find(m, "CloseProt", &d.closeProt) ||
      !Find(m, "GetLastProtocolError", &d.lastError) || !Find(m, "EcrIO", &d.ecrIO) ||
      !Find(m, "SetMessNetChange", &d.setNetMessage) || !Find(m, "SendStRq", &d.statusRequest)) {
    *why = "the link driver module lacks an export";
    return nullptr;
  }
  return &g_drivers.emplace(driver, LoadedDriver{std::move(module), d, 1}).first->second.exports;
}

void StopUsing(const DriverExports* exports) {
  if (!exports) return;
  kr::LockGuard<kr::CriticalSection> guard(g_driversLock);
  for (auto& entry : g_drivers) {
    if (&entry.second.exports == exports) entry.second.uses -= 1;
  }
}

}  // namespace

void ReleaseUnusedDrivers() {
  kr::LockGuard<kr::CriticalSection> guard(g_driversLock);
  for (auto it = g_drivers.begin(); it != g_drivers.end();) {
    it = it->second.uses > 0 ? std::next(it) : g_drivers.erase(it);
  }
}

EcrLink::~EcrLink() {
  Close();
  StopUsing(driver_);
}

bool EcrLink::Load(const std::wstring& driver, std::string* why) {
  Close();
  StopUsing(driver_);
  driver_ = nullptr;
  if (!IsPlainName(driver)) {
    *why = "the link driver is named by a plain module name such as Sandoral";
    return false;
  }
  driver_ = UseDriver(driver, why);
  return driver_ != nullptr;
}

int EcrLink::Open(const std::string& settings, HWND window, UINT netMessage) {
  if (!driver_) return 103;
  if (open_) return 0;
  if (!driver_->openProt(settings.c_str(), 0)) {
    int error = 0;
    driver_->lastError(&error, nullptr);
    return error != 0 ? error : 103;
  }
  open_ = true;
  driver_->setNetMessage(window, netMessage);
  // OpenProt clears the progress callback: it is set for every link.
  linkdrv::DriverInfo* info = nullptr;
  if (driver_->ecrIO(linkdrv::kControlDriverInfo, 0, nullptr, 0, nullptr, nullptr,
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
  driver_->closeProt(0);
}

bool EcrLink::EcrAtWork() {
  int status = 0;
  return open_ && driver_->statusRequest(1, 0, &status) == 0 && (status & kStatusAtWork) != 0;
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
  int r = driver_->ecrIO(1, linkdrv::kEcrAnswerExpected | linkdrv::kEcrWaitAnswer, command.data(),
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
