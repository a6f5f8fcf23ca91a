#include "deferred_release.h"

#include <vector>

#include "kerunel_ctrl.h"
#include "own_module.h"

namespace kr {
namespace {

constexpr wchar_t kWindowClass[] = L"KerunelDeferredRelease";
constexpr UINT kReleaseMessage = WM_APP + 1;

struct Pending {
  DWORD thread;
  IUnknown* object;
};
struct ThreadWindow {
  DWORD thread;
  HWND window;
};

// One message-only window per thread with references waiting; it goes
// with the thread's last waiting reference.
class Queue {
 public:
  void Add(ComPtr<IUnknown> object) {
    const DWORD thread = ::GetCurrentThreadId();
    HWND window = nullptr;
    {
      LockGuard<CriticalSection> guard(lock_);
      window = WindowOf(thread);
      if (window == nullptr) window = CreateFor(thread);
      if (window != nullptr) {
        pending_.push_back(Pending{thread, object.detach()});
        ModuleAddRef();
      }
    }
    // Without a window there is no later: the reference goes now.
    if (window != nullptr) ::PostMessageW(window, kReleaseMessage, 0, 0);
  }

  LONG Count() {
    LockGuard<CriticalSection> guard(lock_);
    return static_cast<LONG>(pending_.size());
  }

  // Releases the thread's waiting references; the window goes first, so
  // that a release which defers another one makes a new window.
  void ReleaseThreadsReferences(HWND window) {
    const DWORD thread = ::GetCurrentThreadId();
    std::vector<IUnknown*> due;
    {
      LockGuard<CriticalSection> guard(lock_);
      for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->thread == thread) {
          due.push_back(it->object);
          it = pending_.erase(it);
        } else {
          ++it;
        }
      }
      for (auto it = windows_.begin(); it != windows_.end(); ++it) {
        if (it->window == window) {
          windows_.erase(it);
          break;
        }
      }
      ::DestroyWindow(window);
      if (windows_.empty()) ::UnregisterClassW(kWindowClass, OwnModule());
    }
    for (IUnknown* object : due) {
      object->Release();
      ModuleRelease();
    }
  }

 private:
  HWND WindowOf(DWORD thread) const {
    for (const ThreadWindow& w : windows_) {
      if (w.thread == thread) return w.window;
    }
    return nullptr;
  }

  HWND CreateFor(DWORD thread) {
    if (windows_.empty()) {
      WNDCLASSEXW windowClass{};
      windowClass.cbSize = sizeof(windowClass);
      windowClass.lpfnWndProc = WindowProc;
      windowClass.hInstance = OwnModule();
      windowClass.lpszClassName = kWindowClass;
      if (!::RegisterClassExW(&windowClass) && ::GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return nullptr;
      }
    }
    HWND window = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                    OwnModule(), nullptr);
    if (window != nullptr) {
      windows_.push_back(ThreadWindow{thread, window});
    } else if (windows_.empty()) {
      ::UnregisterClassW(kWindowClass, OwnModule());
    }
    return window;
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  CriticalSection lock_;
  std::vector<Pending> pending_;
  std::vector<ThreadWindow> windows_;
};

Queue g_queue;

LRESULT CALLBACK Queue::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kReleaseMessage) {
    g_queue.ReleaseThreadsReferences(window);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void ReleaseWhenIdle(ComPtr<IUnknown> object) {
  if (object) g_queue.Add(std::move(object));
}

LONG PendingReleases() {
  return g_queue.Count();
}

}  // namespace kr
