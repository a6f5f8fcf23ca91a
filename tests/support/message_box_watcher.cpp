#include "support.h"

namespace kr_test {

namespace {
constexpr DWORD kPollMs = 10;
constexpr int kTextMax = 1024;
}  // namespace

MessageBoxWatcher::MessageBoxWatcher(std::wstring caption, DWORD timeoutMs, int answer)
    : caption_(std::move(caption)),
      answer_(answer),
      thread_([this, timeoutMs] { Run(timeoutMs); }) {}

MessageBoxWatcher::~MessageBoxWatcher() {
  Stop();
}

void MessageBoxWatcher::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::wstring> MessageBoxWatcher::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

size_t MessageBoxWatcher::Count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_.size();
}

void MessageBoxWatcher::Run(DWORD timeoutMs) {
  const ULONGLONG end = ::GetTickCount64() + timeoutMs;
  HWND last = nullptr;  // a box already answered but not yet gone
  while (!stop_ && ::GetTickCount64() < end) {
    HWND box = ::FindWindowW(L"#32770", caption_.c_str());
    if (box && box != last && ::IsWindowVisible(box)) {
      wchar_t text[kTextMax] = L"";
      ::GetDlgItemTextW(box, 0xFFFF, text, kTextMax);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        texts_.emplace_back(text);
      }
      ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(answer_, BN_CLICKED), 0);
      last = box;
    } else if (!box) {
      last = nullptr;
    }
    ::Sleep(kPollMs);
  }
}

}  // namespace kr_test
