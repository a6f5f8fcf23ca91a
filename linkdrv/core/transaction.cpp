// Command/answer transactions on the application thread: the command is
// handed to LinkThread, and every wait keeps pumping the thread's window
// messages so that posted notifications are delivered during the wait.
#include <algorithm>
#include <cstring>

#include "answer_wait.h"
#include "link_core.h"

namespace linkdrv {
namespace {

constexpr DWORD kHandshakeWaitMs = 500;
constexpr int kHandshakeWaits = 5;
constexpr int kSendAttempts = 10;
constexpr DWORD kRefusedPauseMs = 100;
constexpr DWORD kEarlierCommandPollMs = 10;
constexpr uint8_t kErrorAnswerCode = 'E';
constexpr uint8_t kPokeCode = 'I';

void Log(int flags, int ecrNumber, const char* text, int result = 0) {
  LogEntry(kLogExport, flags, ecrNumber, text, nullptr, 0, result);
}

// Ends the transaction's wait for its answer: from now on an answer is
// notified. True, with the answer copied into out[kFrameBufferSize] and
// *length, when one had been handed to the transaction first.
bool StopAwaitingAnswer(uint8_t* out, int* length) {
  kr::LockGuard<kr::CriticalSection> guard(g_link.answerLock);
  g_link.answerWaiter = 0;
  StateBlock& b = g_link.block;
  if (!b.answerReady.load()) return false;
  b.answerReady.store(0);
  const FramingState& s = b.link;
  int n = std::clamp(s.answerLength, 0, kFrameBufferSize);
  std::memcpy(out, s.answer, n);
  *length = n;
  return true;
}

// Waits while the answer is not ready: true when the wait ended with the
// answer or at the limit, false when it gave up on failed status requests.
bool AwaitAnswer(int ecrNumber, DWORD slice, const AnswerWait::Options& options) {
  StateBlock& b = g_link.block;
  int progress = 0;
  AnswerWait wait(options, Now());
  DWORD sliceStart = Now();
  DWORD remaining = slice;
  for (;;) {
    DWORD w = MsgWaitForMultipleObjectsEx(1, &g_link.answerEvent, remaining, QS_ALLINPUT,
                                          MWMO_INPUTAVAILABLE);
    bool timedOut = w != WAIT_OBJECT_0 && w != WAIT_OBJECT_0 + 1;
    if (!timedOut) {
      if (b.answerReady.load()) break;
      PumpMessages(&b.answerReady);
      DWORD used = Since(sliceStart);
      remaining = used < slice ? slice - used : 0;
    }
    // A CloseProt from a window procedure during the pump ends the wait.
    if (!g_link.open.load()) break;
    if (timedOut || remaining == 0) {
      if (b.answerReady.load()) break;
      AnswerWait::Step step;
      if (b.unsolicitedPrevious.load() > 4) {
        step = wait.EcrTalking(Now());
      } else {
        int status = 0;
        int s = SendStRq(ecrNumber, 1, &status);
        if (s == kResultOk && b.answerReady.load()) break;
        step = wait.StatusRead(s, status, Now());
        if (step.giveUp) return false;
        if (step.poke) SendCommand(ecrNumber, &kPokeCode, 1);
      }
      if (step.newSlice) {
        remaining = slice;
        sliceStart = Now();
      }
      auto progressCallback =
          reinterpret_cast<ProgressCallback>(g_info.field[kInfoProgressCallback]);
      if (progressCallback) progressCallback(ecrNumber, 0, 0, "Executing...", &progress);
    }
    if (b.answerReady.load()) break;
    if (wait.OverLimit(Now())) break;
  }
  return true;
}

// Returns 1 with the answer in out[kFrameBufferSize] and *length, 0 when
// the wait gave up. An answer that comes as the wait ends is either taken
// here or notified by the thread, never both, never neither.
int WaitAnswer(int ecrNumber, DWORD slice, const AnswerWait::Options& options, uint8_t* out,
               int* length) {
  Log(kLogStart, 1, "WAIT ANSWER START");
  bool finished = AwaitAnswer(ecrNumber, slice, options);
  int ready = StopAwaitingAnswer(out, length) ? 1 : 0;
  // Given up on the status: no end entry, unless the answer came after all.
  if (finished || ready) Log(0x4004, 1, "WAIT ANSWER END", ready);
  return ready;
}

// Waits (pumping, as long as a send handshake may take) while the thread is
// still sending a command that an earlier call gave up on; true once it has
// let go of the command buffer.
bool WaitForEarlierCommand(const StateBlock& b) {
  DWORD start = Now();
  while (b.commandPending.load() == kCommandTaken) {
    if (Since(start) >= kHandshakeWaits * kHandshakeWaitMs) return false;
    WaitPumping(g_link.sendDoneEvent, kEarlierCommandPollMs);
  }
  return true;
}

}  // namespace

void PumpMessages(const std::atomic<int32_t>* stopWhenSet) {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
    if (stopWhenSet && stopWhenSet->load()) return;
  }
}

bool WaitPumping(HANDLE event, DWORD ms) {
  DWORD start = Now();
  PumpMessages();  // what was posted before the wait is delivered during it
  for (;;) {
    DWORD used = Since(start);
    DWORD remaining = used < ms ? ms - used : 0;
    DWORD w = MsgWaitForMultipleObjectsEx(1, &event, remaining, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (w == WAIT_OBJECT_0) return true;
    if (w != WAIT_OBJECT_0 + 1) return false;
    PumpMessages();
    if (remaining == 0) return WaitForSingleObject(event, 0) == WAIT_OBJECT_0;
  }
}

int SendCommand(int ecrNumber, const uint8_t* command, int length) {
  if (GetLineStatus() != 0) return kResultLineError;
  if (ecrNumber != 1) return kResultBadEcrNumber;
  std::shared_ptr<LinkSession> session = g_link.session;
  if (!session) return kResultThreadTimeout;  // no link thread to serve it
  if (command == nullptr || length < 1) return kResultLinkFailure;
  StateBlock& b = g_link.block;
  // A command that an earlier call gave up on (105) and the thread has not
  // taken yet is replaced by this one; one it has taken is let finish.
  int32_t queued = kCommandQueued;
  b.commandPending.compare_exchange_strong(queued, kCommandNone);
  if (!WaitForEarlierCommand(b)) return kResultThreadTimeout;
  // A command whose frame does not fit is refused before the thread sees it.
  if (!session->framing->PrepareCommand(command, length)) return kResultLinkFailure;
  for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
    if (!WaitForEarlierCommand(b)) return kResultThreadTimeout;
    ResetEvent(g_link.sendDoneEvent);
    b.commandPending.store(kCommandQueued);
    SetEvent(g_link.wakeEvent);
    bool served = false;
    for (int i = 0; i < kHandshakeWaits && !served; ++i) {
      served = WaitPumping(g_link.sendDoneEvent, kHandshakeWaitMs);
    }
    if (!served) return kResultThreadTimeout;  // still pending: the thread sends it later
    int r = b.sendResult.load();
    if (r != kResultRefused) return r;
    if (command[0] == kPokeCode) return kResultRefused;
    Sleep(kRefusedPauseMs);
    PumpMessages();
  }
  return kResultRefused;
}

}  // namespace linkdrv

using namespace linkdrv;

extern "C" int WINAPI EcrIO(int ecrNumber, unsigned flags, const char* command, int length,
                            char* answer, int* answerLength, int* extraResult) {
  if (ecrNumber < 0) return EcrControl(ecrNumber, command, extraResult);
  StateBlock& b = g_link.block;
  if (g_link.ioInProgress.exchange(1)) {
    g_link.lastError.store(kResultTransactionBusy);
    return kResultTransactionBusy;
  }
  auto setExtra = [extraResult](int value) {
    if (extraResult) *extraResult = value;
  };
  setExtra(0);
  Log(kLogStart, ecrNumber, "ECR I/O START");
  ResetEvent(g_link.answerEvent);
  const bool waits = (flags & kEcrWaitAnswer) != 0;
  {
    // A transaction that waits claims its answer before the command goes
    // out: however soon the ECR answers, the thread hands the answer to the
    // wait. Without the wait nothing claims it, and it is notified.
    kr::LockGuard<kr::CriticalSection> guard(g_link.answerLock);
    b.answerWindow.store(0);
    b.answerReady.store(0);
    g_link.answerWaiter = waits ? 1 : 0;
  }
  b.answerExpected.store((flags & kEcrAnswerExpected) ? 1 : 0);

  int r = SendCommand(ecrNumber, reinterpret_cast<const uint8_t*>(command), length);
  if (r != kResultOk) {
    // An answer already handed to this transaction (a command given up on
    // that the thread sent after all) is left for GetEcrAnswer, notified.
    int handedCode = -1;
    {
      kr::LockGuard<kr::CriticalSection> guard(g_link.answerLock);
      g_link.answerWaiter = 0;
      if (waits && b.answerReady.load()) handedCode = b.link.answer[0];
    }
    if (handedCode >= 0) NotifyReceived(handedCode);
    setExtra(r);
    g_link.ioInProgress.store(0);
    g_link.lastError.store(kResultNotSent);
    Log(0x4004, ecrNumber, "ECR I/O END : SendDataI ERROR", kResultNotSent);
    return kResultNotSent;
  }
  setExtra(0);
  if (!waits) {
    g_link.ioInProgress.store(0);
    g_link.lastError.store(kResultOk);
    Log(kLogEnd, ecrNumber, "ECR I/O END (NO ECR_WAIT_ANSWER)");
    return kResultOk;
  }

  DWORD slice = g_link.longSlice.load() ? 2000 : 1000;
  AnswerWait::Options options;
  options.tolerateStatusFailures = (flags & kEcrLongWait) != 0;
  if (options.tolerateStatusFailures) slice = 4000;
  options.restartWhileIdle = (flags & kEcrRestartWhileIdle) != 0;
  std::shared_ptr<LinkSession> session = g_link.session;
  options.statusFromEcr = session && session->framing->ReadsPlainStatus();
  uint8_t received[kFrameBufferSize];
  int n = 0;
  if (!WaitAnswer(ecrNumber, slice, options, received, &n)) {
    g_link.ioInProgress.store(0);
    if (flags & kEcrAnswerExpected) b.answerWindow.store(0);
    setExtra(kResultAnswerTimeoutExtra);
    g_link.lastError.store(kResultAnswerTimeout);
    Log(0x4004, ecrNumber, "ECR I/O END : TIME-OUT", kResultAnswerTimeout);
    return kResultAnswerTimeout;
  }

  if (answerLength) *answerLength = n;
  if (answer) std::memcpy(answer, received, n);
  g_link.ioInProgress.store(0);
  if (n > 0 && received[0] == kErrorAnswerCode) {
    setExtra(n > 1 ? static_cast<int8_t>(received[1]) : 0);
    g_link.lastError.store(kResultErrorAnswer);
    Log(0x4004, ecrNumber, "ECR I/O END : DATA-ERROR", kResultErrorAnswer);
    return kResultErrorAnswer;
  }
  g_link.lastError.store(kResultOk);
  Log(0x4004, ecrNumber, "ECR I/O END : OK", kResultOk);
  return kResultOk;
}

extern "C" BOOL WINAPI SendData(int ecrNumber, const char* command, int length) {
  int r = SendCommand(ecrNumber, reinterpret_cast<const uint8_t*>(command), length);
  if (r == kResultOk) return TRUE;
  g_link.lastError.store(r);
  return FALSE;
}

extern "C" BOOL WINAPI GetEcrAnswer(int ecrNumber, EcrMessage* message) {
  StateBlock& b = g_link.block;
  // Taken whole: the thread does not write the next answer meanwhile.
  kr::LockGuard<kr::CriticalSection> guard(g_link.answerLock);
  if (!b.answerReady.load() || message == nullptr) {
    g_link.lastError.store(kResultNothing);
    return FALSE;
  }
  b.answerReady.store(0);
  const FramingState& s = b.link;
  int n = std::clamp(s.answerLength, 1, kFrameBufferSize);
  message->ecrNumber = ecrNumber;
  message->code = static_cast<int8_t>(s.answer[0]);
  message->length = n - 1;
  std::memcpy(message->data, s.answer + 1, n - 1);
  g_link.lastError.store(kResultOk);
  return TRUE;
}
