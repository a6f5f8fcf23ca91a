// Status requests: the application thread sets a request mode and wakes
// LinkThread, which reads the status on its next pass and signals back.
#include <cstring>

#include "link_core.h"

namespace linkdrv {
namespace {

constexpr DWORD kStatusWaitMs = 500;
constexpr int kStatusWaits = 11;

// Sets the request mode, wakes the thread and waits for it with the
// messages pumped; true when the thread served the request.
bool RequestStatus(std::atomic<int32_t>& mode, int modeFlag) {
  // Reset before the mode is set: the thread may serve the request as soon
  // as it sees the mode, and its signal must not be reset away.
  ResetEvent(g_link.statusDoneEvent);
  mode.store(modeFlag ? kStatusWaitWhileBusy : kStatusNormal);
  SetEvent(g_link.wakeEvent);
  for (int i = 0; i < kStatusWaits; ++i) {
    if (WaitPumping(g_link.statusDoneEvent, kStatusWaitMs)) return true;
  }
  return false;
}

}  // namespace
}  // namespace linkdrv

using namespace linkdrv;

extern "C" int WINAPI SendStRq(int ecrNumber, int modeFlag, int* status) {
  if (ecrNumber != 1) return kResultBadEcrNumber;
  StateBlock& b = g_link.block;
  LogEntry(kLogExport, kLogStart, 1, "STATUS REQUEST START");
  if (!RequestStatus(b.plainMode, modeFlag)) {
    LogEntry(kLogExport, kLogEnd, 1, "STATUS REQUEST END : TIME-OUT !!");
    return kResultThreadTimeout;  // stays pending: the thread serves it later
  }
  if (status) *status = b.statusWord.load();
  int result = b.statusResult.load();
  LogEntry(kLogExport, 0x4004, 1, "STATUS REQUEST END", nullptr, 0, result);
  return result;
}

extern "C" int WINAPI SendStExRq(int ecrNumber, int modeFlag, int* status, int* length,
                                 char* data) {
  if (GetLineStatus() != 0) return kResultLineError;
  if (ecrNumber != 1) return kResultBadEcrNumber;
  StateBlock& b = g_link.block;
  LogEntry(kLogExport, kLogStart, 1, "STATUS REQUEST-EX START");
  if (!RequestStatus(b.extMode, modeFlag)) return kResultThreadTimeout;
  int result = b.statusResult.load();
  if (result == kResultOk) {
    if (status) *status = b.statusWord.load();
    int kept = b.extLength;
    if (kept < 0 || kept > static_cast<int>(sizeof b.extData)) kept = 0;
    if (length) *length = kept;
    if (data) std::memcpy(data, b.extData, kept);
    // The next command frame continues from the ECR's sequence number.
    b.link.sequence = b.ext0;
  }
  LogEntry(kLogExport, 0x4004, 1, "STATUS-EX REQUEST END", nullptr, 0, result);
  return result;
}

extern "C" BOOL WINAPI GetEcrIStatus(int ecrNumber, int* status) {
  int r = SendStRq(ecrNumber, 0, status);
  g_link.lastError.store(r);
  return r == kResultOk ? TRUE : FALSE;
}
