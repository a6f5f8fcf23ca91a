// A device's claim, exclusive on this machine: a named mutex (in the global
// namespace where the system allows it, so claims also meet across
// sessions) held by a thread of the claim's own. A mutex, not a semaphore,
// so that a holder that dies without releasing it gives it up: the next
// waiter takes over the abandoned mutex. Its own thread, because a mutex is
// recursive for the thread that owns it: two Service Objects called on one
// thread must still not both hold a claim.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "win_raii.h"

namespace kso {

class DeviceClaim {
 public:
  DeviceClaim() = default;
  DeviceClaim(const DeviceClaim&) = delete;
  DeviceClaim& operator=(const DeviceClaim&) = delete;
  ~DeviceClaim() { Release(); }

  enum class Result { kTaken, kTimeout, kGivenUp, kFailed };
  // Waits up to timeoutMs (-1: without end) for the claim of deviceName,
  // pumping the calling thread's messages; after each pumping giveUp() may
  // end the wait (the device was closed from a window procedure).
  Result Take(const std::wstring& deviceName, long timeoutMs, const std::function<bool()>& giveUp);
  // Gives the claim back (nothing when not held); returns once its thread
  // has ended.
  void Release();
  bool Held() const { return static_cast<bool>(thread_); }

 private:
  static DWORD WINAPI Hold(void* self);

  kr::UniqueHandle mutex_;
  kr::UniqueHandle decided_;  // set by the thread once it owns the mutex or gave up on it
  kr::UniqueHandle stop_;     // set to make the thread give the mutex back and end
  kr::UniqueHandle thread_;
  DWORD timeoutMs_ = 0;
  bool owned_ = false;  // written by the thread before it sets decided_
};

}  // namespace kso
