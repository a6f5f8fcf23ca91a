#include "service_thread.h"

#include "message_window.h"

namespace kso {
namespace {

constexpr wchar_t kWindowClass[] = L"KerunelServiceThread";
constexpr UINT kCallMessage = WM_APP + 100;
constexpr UINT kStopMessage = WM_APP + 101;

std::atomic<long> g_running{0};

}  // namespace

long ServiceThread::Count() {
  return g_running.load();
}

LRESULT CALLBACK ServiceThread::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<ServiceThread*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
  if (message == kCallMessage || message == kStopMessage) {
    auto* call = reinterpret_cast<Call*>(lParam);
    if (message == kStopMessage) self->quit_ = true;
    if (call->fn && *call->fn) (*call->fn)();
    if (call->done) SetEvent(call->done);
    return 0;
  }
  if (message >= WM_APP && self->handler_) {
    self->handler_(message, wParam, lParam);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

DWORD WINAPI ServiceThread::Main(void* param) {
  auto* self = static_cast<ServiceThread*>(param);
  HWND window = CreateMessageWindow(kWindowClass, WindowProc, self);
  self->window_ = window;
  SetEvent(self->ready_.get());
  if (!window) return 1;
  while (!self->quit_) {
    MSG msg;
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) break;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  DestroyWindow(window);
  return 0;
}

bool ServiceThread::Start(Handler handler) {
  if (thread_) return true;
  handler_ = std::move(handler);
  quit_ = false;
  window_ = nullptr;
  ready_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!ready_) return false;
  thread_.reset(CreateThread(nullptr, 0, Main, this, 0, &threadId_));
  if (!thread_) return false;
  ++g_running;
  HANDLE waits[] = {ready_.get(), thread_.get()};
  WaitForMultipleObjects(2, waits, FALSE, INFINITE);  // the thread signals or ends at once
  if (!window_) {
    Stop(nullptr);
    return false;
  }
  return true;
}

bool ServiceThread::Post(UINT message, WPARAM wParam, LPARAM lParam) {
  return window_ && PostMessageW(window_, message, wParam, lParam) != FALSE;
}

bool ServiceThread::Run(const std::function<void()>& fn) {
  if (!thread_) return false;
  if (OnThread()) {
    fn();
    return true;
  }
  kr::UniqueHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  Call call{&fn, done.get()};
  if (!done || !Post(kCallMessage, 0, reinterpret_cast<LPARAM>(&call))) return false;
  // The thread runs every call it is given, and ends only by Stop, which
  // is called on this thread: the wait ends when the call is done.
  HANDLE waits[] = {done.get(), thread_.get()};
  WaitPumping(waits, 2);
  return WaitForSingleObject(done.get(), 0) == WAIT_OBJECT_0;
}

void ServiceThread::Stop(const std::function<void()>& last) {
  if (!thread_ || OnThread()) return;  // it cannot wait for its own end
  Call call{&last, nullptr};
  if (!Post(kStopMessage, 0, reinterpret_cast<LPARAM>(&call))) {
    quit_ = true;
    PostThreadMessageW(threadId_, WM_NULL, 0, 0);
  }
  WaitForSingleObject(thread_.get(), INFINITE);
  thread_.reset();
  ready_.reset();
  threadId_ = 0;
  window_ = nullptr;
  --g_running;
}

}  // namespace kso
