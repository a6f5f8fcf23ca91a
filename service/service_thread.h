// The Service Object's own thread. Every call of the application is
// carried out there, one at a time, and so is the asynchronous output: the
// link is driven from it whatever the application's thread is doing, and
// an application that is busy or does not pump messages still gets its
// output printed. The calling thread waits for a call with its messages
// pumped, so its windows stay live and a window procedure may call again;
// the link driver pumps this thread's messages while it waits, so such a
// call is carried out within the running one (as the driver's own rules
// expect of its caller). The thread owns a message-only window for its
// calls and for the messages of the Service Object (the driver's line
// changes, the output queue).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>

#include "win_raii.h"

namespace kso {

class ServiceThread {
 public:
  using Handler = std::function<void(UINT message, WPARAM wParam, LPARAM lParam)>;

  ServiceThread() = default;
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  ~ServiceThread() { Stop(nullptr); }

  // Starts the thread, whose window hands every message but the calls to
  // handler (on the thread); true once it runs (also when it already did).
  bool Start(Handler handler);
  bool Running() const { return static_cast<bool>(thread_); }
  bool OnThread() const { return GetCurrentThreadId() == threadId_; }
  HWND Window() const { return window_; }
  bool Post(UINT message, WPARAM wParam, LPARAM lParam);

  // Runs fn on the thread and returns once it has run, pumping the calling
  // thread's messages meanwhile; on the thread itself fn runs at once.
  // False when the thread does not run (fn did not run).
  bool Run(const std::function<void()>& fn);
  // Runs last on the thread at once (within a wait of the link driver if it
  // is in one), then ends the thread and returns when it has ended: each of
  // its waits has an end of its own (the driver's limits, and last closing
  // the link ends the driver's wait at once).
  void Stop(const std::function<void()>& last);

  // Threads of this kind running in the process: the module must stay.
  static long Count();

 private:
  struct Call {
    const std::function<void()>* fn;
    HANDLE done;
  };
  static DWORD WINAPI Main(void* self);
  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  Handler handler_;
  kr::UniqueHandle thread_;
  kr::UniqueHandle ready_;
  DWORD threadId_ = 0;
  HWND window_ = nullptr;  // made and destroyed by the thread
  std::atomic<bool> quit_{false};
};

}  // namespace kso
