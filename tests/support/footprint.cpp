#include "support.h"

// After windows.h (from support.h):
#include <tlhelp32.h>

#include <vector>

namespace kr_test {

Footprint ReadFootprint() {
  Footprint f;
  std::vector<HANDLE> heaps(64);
  DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (count > heaps.size()) {
    heaps.resize(count);
    count = GetProcessHeaps(count, heaps.data());
  }
  heaps.resize(count < heaps.size() ? count : heaps.size());
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) {
        f.heapBytes += entry.cbData;
        f.heapBlocks += 1;
      }
    }
    HeapUnlock(heap);
  }
  // Wine does not count handles (GetProcessHandleCount gives 0): they are
  // found one by one, up to a long run of values that are none.
  if (!GetProcessHandleCount(GetCurrentProcess(), &f.handles) || f.handles == 0) {
    constexpr uintptr_t kStep = 4, kGap = 4096 * kStep;
    uintptr_t last = 0;
    DWORD flags = 0;
    for (uintptr_t h = kStep; h <= last + kGap; h += kStep) {
      if (GetHandleInformation(reinterpret_cast<HANDLE>(h), &flags)) {
        f.handles += 1;
        last = h;
      }
    }
  }
  kr::UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  THREADENTRY32 thread = {};
  thread.dwSize = sizeof thread;
  const DWORD self = GetCurrentProcessId();
  for (BOOL more = snapshot && Thread32First(snapshot.get(), &thread); more;
       more = Thread32Next(snapshot.get(), &thread)) {
    f.threads += thread.th32OwnerProcessID == self;
  }
  return f;
}

}  // namespace kr_test
