#include "device_claim.h"

#include <sddl.h>

#include <algorithm>

#include "message_window.h"

namespace kso {
namespace {

// Everyone may wait on the mutex and release it; only its creator may
// change who may.
constexpr wchar_t kClaimAccess[] = L"D:(A;;0x100001;;;WD)";

// The claim's mutex for the device: Global\ when it can be made or opened
// there, else Local\ (this session only).
HANDLE OpenClaimMutex(const std::wstring& deviceName) {
  std::wstring name = L"Kerunel.Claim." + deviceName;
  std::replace(name.begin(), name.end(), L'\\', L'/');
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorW(kClaimAccess, SDDL_REVISION_1, &descriptor,
                                                       nullptr);
  kr::UniqueLocalMem owned(descriptor);
  SECURITY_ATTRIBUTES sa{sizeof sa, descriptor, FALSE};
  for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
    const std::wstring full = space + name;
    HANDLE h = CreateMutexW(descriptor ? &sa : nullptr, FALSE, full.c_str());
    if (!h) h = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, full.c_str());
    if (h) return h;
  }
  return nullptr;
}

}  // namespace

DWORD WINAPI DeviceClaim::Hold(void* self) {
  auto* claim = static_cast<DeviceClaim*>(self);
  HANDLE waits[] = {claim->stop_.get(), claim->mutex_.get()};
  const DWORD w = WaitForMultipleObjects(2, waits, FALSE, claim->timeoutMs_);
  // An abandoned mutex is owned all the same: its holder died with it.
  const bool owned = w == WAIT_OBJECT_0 + 1 || w == WAIT_ABANDONED_0 + 1;
  claim->owned_ = owned;
  SetEvent(claim->decided_.get());
  if (owned) {
    WaitForSingleObject(claim->stop_.get(), INFINITE);
    ReleaseMutex(claim->mutex_.get());
  }
  return 0;
}

DeviceClaim::Result DeviceClaim::Take(const std::wstring& deviceName, long timeoutMs,
                                      const std::function<bool()>& giveUp) {
  if (Held()) return Result::kTaken;
  timeoutMs_ = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  owned_ = false;
  mutex_.reset(OpenClaimMutex(deviceName));
  decided_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (mutex_ && decided_ && stop_) thread_.reset(CreateThread(nullptr, 0, Hold, this, 0, nullptr));
  if (!thread_) {
    mutex_.reset();
    return Result::kFailed;
  }
  // The thread's wait has the time-out; this one pumps until it decides.
  bool gaveUp = false;
  HANDLE decided = decided_.get();
  WaitPumping(&decided, 1, [&] {
    if (!gaveUp && giveUp()) {
      gaveUp = true;
      SetEvent(stop_.get());  // its wait ends at once
    }
  });
  if (owned_ && !gaveUp) return Result::kTaken;
  Release();  // taken just as it was given up: given back
  return gaveUp ? Result::kGivenUp : Result::kTimeout;
}

void DeviceClaim::Release() {
  if (!thread_) return;
  SetEvent(stop_.get());
  WaitForSingleObject(thread_.get(), INFINITE);  // each of its waits ends with stop_
  thread_.reset();
  mutex_.reset();
  decided_.reset();
  stop_.reset();
}

}  // namespace kso
