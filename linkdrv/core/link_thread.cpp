// LinkThread: the one worker thread that owns the socket while the link is
// open. Each pass polls for a message, sends a queued command, serves the
// status requests, checks the line when asked to and rolls the traffic
// statistics; it tells the application about messages and line changes.
#include <algorithm>
#include <cstring>
#include <new>

#include "link_core.h"
#include "winsock_io.h"

namespace linkdrv {
namespace {

constexpr DWORD kEagerReadMs = 500;  // required reads after a command that expects an answer
constexpr DWORD kLineCheckMs = 200;
constexpr DWORD kRollOverMs = 1000;
constexpr DWORD kBurstWaitMs = 20;
constexpr DWORD kOnLineWaitMs = 50;
constexpr DWORD kOffLineWaitMs = 200;
constexpr int kBusyBit = 0x04;
constexpr int kBusyCleared = 0x100;

// What the core lends the framing.
class CoreHost final : public FramingHost {
 public:
  explicit CoreHost(LinkIo& io) : io_(io) {}
  LinkIo& Io() override { return io_; }
  FramingState& State() override { return g_link.block.link; }
  void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
           unsigned count, int result) override {
    LogEntry(kind, flags, ecrNumber, text, bytes, count, result);
  }
  void LockQueue() override { g_queueLock.Lock(); }
  void UnlockQueue() override { g_queueLock.Unlock(); }
  void LockAnswer() override { g_link.answerLock.Lock(); }
  void UnlockAnswer() override { g_link.answerLock.Unlock(); }

  static kr::CriticalSection g_queueLock;

 private:
  LinkIo& io_;
};

kr::CriticalSection CoreHost::g_queueLock;

void NotifyNetChange(int lineStatus) {
  if (NetChangeCallback callback = g_link.netCallback.load()) callback(1, lineStatus);
  UINT message = g_link.netMessage.load();
  if (message != 0) PostMessageA(g_link.window.load(), message, 1, lineStatus);
}

class LinkLoop {
 public:
  explicit LinkLoop(LinkSession& session)
      : session_(session), io_(*session.io), framing_(*session.framing), b_(g_link.block) {}

  void Run() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    while (!Stopping()) {
      Poll();
      CommandStep();
      if (b_.plainMode.load() != kStatusNone) PlainStatusStep();
      if (b_.extMode.load() != kStatusNone) ExtendedStatusStep();
      LineCheck();
      RollOver();
    }
  }

 private:
  bool Stopping() const { return session_.stop.load() != 0; }

  void Wait(DWORD ms) { WaitForSingleObject(g_link.wakeEvent, ms); }

  // A poll whose read failed because the connection is gone sets the fault
  // and pauses like an idle poll, so a dead link is not spun on.
  bool LinkLost(const ReadOutcome& out) {
    if (out.result == kResultOk || Stopping() || !io_.Failed()) return false;
    SetLineFault(kResultLinkFailure, true);
    return true;
  }

  void Poll() {
    FramingState& s = b_.link;
    const bool windowOpen = b_.answerWindow.load() != 0;
    ReadOutcome out;
    if (windowOpen && Since(b_.sendTick.load()) < kEagerReadMs) {
      out = framing_.RequiredRead(-1);
      if (LinkLost(out)) Wait(kOnLineWaitMs);
    } else if (b_.unsolicitedPrevious.load() > 4 && b_.commandsPrevious.load() < 4) {
      out = framing_.RequiredRead(-1);
      if (LinkLost(out)) {
        Wait(kOnLineWaitMs);
      } else if (out.result != kResultOk && b_.unsolicitedPrevious.load() < 10) {
        Wait(kBurstWaitMs);
      }
    } else {
      out = framing_.ReadMessage(true, -1);
      LinkLost(out);
      if (out.result != kResultOk) {
        Wait(s.onLine.load() || windowOpen ? kOnLineWaitMs : kOffLineWaitMs);
      }
    }
    if (out.result == kResultOk) HandleMessage(out);
  }

  void HandleMessage(const ReadOutcome& out) {
    FramingState& s = b_.link;
    if (out.unsolicited) {
      if (s.onLine.load()) {
        b_.unsolicitedCurrent += 1;
        NotifyReceived(out.code);
      } else {
        // Dropped unseen; the queue lock keeps GetEcrMessage's take whole.
        kr::LockGuard<kr::CriticalSection> guard(CoreHost::g_queueLock);
        if (s.queueCount.load() > 0) {
          s.queueRead = (s.queueRead + 1) % QueueCapacity(s);
          s.queueCount -= 1;
        }
      }
    } else {
      // Handed to a waiting transaction, or notified: decided under the
      // lock under which the transaction stops waiting, so never both and
      // never neither, however the two threads interleave.
      bool awaited;
      {
        kr::LockGuard<kr::CriticalSection> guard(g_link.answerLock);
        b_.answerReady.store(1);
        b_.answerWindow.store(0);
        awaited = g_link.answerWaiter != 0;
      }
      SetEvent(g_link.answerEvent);
      if (!awaited) NotifyReceived(out.code);
    }
    SetLineFault(kResultOk, true);
  }

  // The buffer is given back last: a command queued after that finds no
  // done signal or wake reset of this one still to come.
  void FinishCommand(int result) {
    b_.sendResult.store(result);
    if (result == kResultOk && b_.answerExpected.load()) {
      b_.sendTick.store(Now());
      b_.answerWindow.store(1);
    }
    b_.answerExpected.store(0);
    SetEvent(g_link.sendDoneEvent);
    ResetEvent(g_link.wakeEvent);
    SetLineFault(result, true);
    b_.commandPending.store(kCommandNone);
  }

  void CommandStep() {
    FramingState& s = b_.link;
    int32_t queued = kCommandQueued;
    if (!b_.commandPending.compare_exchange_strong(queued, kCommandTaken)) return;
    while (!Stopping()) {
      LogEntry(kLogLinkThread, 0x8001, 1, "OUTPUT START", s.command,
               static_cast<unsigned>(std::clamp(s.commandLength, 0, kFrameBufferSize)));
      int r = framing_.WriteCommand();
      b_.commandsCurrent += 1;
      LogEntry(kLogLinkThread, 0x4004, 1, "OUTPUT END", nullptr, 0, r);
      if (r != framing_.CollisionResult(s)) {
        FinishCommand(r);
        return;
      }
      // The ECR is sending: read its message first.
      ReadOutcome out = framing_.RequiredRead(kDLE);
      if (out.result != kResultOk) {
        if (LinkLost(out)) {
          FinishCommand(kResultLinkFailure);
          return;
        }
        continue;  // send again
      }
      bool answersThisCommand = !out.unsolicited && g_link.ioInProgress.load() &&
                                b_.answerExpected.load() && s.answerLength > 0 &&
                                s.answer[0] == s.lastCommandCode;
      if (!answersThisCommand) {
        HandleMessage(out);
        continue;
      }
      // The ECR had already answered this command.
      FinishCommand(kResultOk);
      HandleMessage(out);
      return;
    }
    FinishCommand(kResultLinkFailure);  // stopping
  }

  // A collision during a status read: the ECR's message is read and
  // handled; the request stays pending for a later pass.
  void ReadAfterCollision() {
    ReadOutcome out = framing_.RequiredRead(kDLE);
    if (out.result == kResultOk) {
      HandleMessage(out);
    } else {
      LinkLost(out);
    }
  }

  void FinishStatus(std::atomic<int32_t>& mode, int result) {
    b_.statusResult.store(result);
    mode.store(kStatusNone);
    SetEvent(g_link.statusDoneEvent);
    SetLineFault(result, true);
  }

  void PlainStatusStep() {
    FramingState& s = b_.link;
    b_.statusWord.store(0x10);
    uint8_t status = 0;
    int r = framing_.ReadStatus(&status);
    LogEntry(kLogLinkThread, 0x14, 1, "STATUS READ", &status, 1, r);
    if (r == framing_.CollisionResult(s)) {
      ReadAfterCollision();
      return;
    }
    if (r == kResultOk && b_.plainMode.load() == kStatusWaitWhileBusy && (status & kBusyBit)) {
      int reads = (status & 0x03) ? 10 : 30;
      for (int i = 0; i < reads && !Stopping(); ++i) {
        io_.SleepMs(5);
        uint8_t next = 0;
        int again = framing_.ReadStatus(&next);
        if (again != kResultOk) {
          r = again;
          break;
        }
        status = next;
        if (!(status & kBusyBit)) {
          b_.statusWord += kBusyCleared;
          break;
        }
      }
    }
    if (r == kResultOk) b_.statusWord.store((b_.statusWord.load() & ~0xFF) | status);
    FinishStatus(b_.plainMode, r);
  }

  void ExtendedStatusStep() {
    FramingState& s = b_.link;
    b_.statusWord.store(0x10);
    uint8_t block[kFrameBufferSize] = {};
    int length = 0;
    int r = framing_.ReadStatusEx(block, &length);
    length = std::clamp(length, 0, kFrameBufferSize);
    LogEntry(kLogLinkThread, 0x24, 1, "STATUS-EX READ", block,
             r == kResultOk ? static_cast<unsigned>(length) : 0, r);
    if (r == framing_.CollisionResult(s)) {
      ReadAfterCollision();
      return;
    }
    if (r == kResultOk && b_.extMode.load() == kStatusWaitWhileBusy && length > 3 &&
        (block[3] & kBusyBit)) {
      for (int i = 0; i < 10 && !Stopping(); ++i) {
        io_.SleepMs(10);
        int again = framing_.ReadStatusEx(block, &length);
        length = std::clamp(length, 0, kFrameBufferSize);
        if (again != kResultOk) {
          r = again;
          break;
        }
        if (length <= 3 || !(block[3] & kBusyBit)) {
          b_.statusWord += kBusyCleared;
          break;
        }
      }
    }
    if (r == kResultOk && framing_.StoresExtendedStatus()) {
      b_.ext0 = length > 0 ? block[0] : 0;
      b_.ext1 = length > 1 ? block[1] : 0;
      b_.ext2 = length > 2 ? block[2] : 0;
      b_.ext4 = length > 4 ? block[4] : 0;
      if (length > 3) b_.statusWord.store((b_.statusWord.load() & ~0xFF) | block[3]);
      int kept = std::min(length, static_cast<int>(sizeof b_.extData));
      std::memset(b_.extData, 0, sizeof b_.extData);
      std::memcpy(b_.extData, block, kept);
      b_.extLength = kept;
    }
    FinishStatus(b_.extMode, r);
  }

  void LineCheck() {
    if (!g_link.settings.statusCheck || Since(b_.lastLineCheck.load()) <= kLineCheckMs ||
        b_.answerWindow.load() || b_.plainMode.load() || b_.extMode.load()) {
      return;
    }
    uint8_t status = 0;
    int r = framing_.ReadStatus(&status);
    if (r == framing_.CollisionResult(b_.link)) {
      ReadAfterCollision();
      return;
    }
    b_.lastLineCheck.store(Now());
    SetLineFault(r, true);
  }

  void RollOver() {
    if (Since(b_.lastRollOver.load()) <= kRollOverMs) return;
    b_.lastRollOver.store(Now());
    b_.unsolicitedPrevious.store(b_.unsolicitedCurrent.exchange(0));
    b_.commandsPrevious.store(b_.commandsCurrent.exchange(0));
  }

  LinkSession& session_;
  WinsockIo& io_;
  Framing& framing_;
  StateBlock& b_;
};

}  // namespace

void NotifyReceived(int code) {
  UINT message = g_link.rxMessage.load();
  if (message != 0) PostMessageA(g_link.window.load(), message, 1, code);
  if (RxCallback callback = g_link.rxCallback.load()) callback(1, code);
}

LinkSession::LinkSession()
    : io(std::make_unique<WinsockIo>(stop)), host(std::make_unique<CoreHost>(*io)) {
  framing = CreateFraming(*host);
}

LinkSession::~LinkSession() = default;

namespace {

// What a new thread is handed: its session and its own module reference.
struct ThreadStart {
  std::shared_ptr<LinkSession> session;
  HMODULE module;
};

DWORD WINAPI LinkThreadProc(void* arg) {
  auto* start = static_cast<ThreadStart*>(arg);
  HMODULE module = start->module;
  {
    std::shared_ptr<LinkSession> session = std::move(start->session);
    delete start;
    if (!session->stop.load()) LinkLoop(*session).Run();
  }
  // Never returns into this module: the reference dropped here may be its last.
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

HANDLE StartLinkThread(const std::shared_ptr<LinkSession>& session, DWORD* id) {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&LinkThreadProc), &self)) {
    return nullptr;
  }
  auto* start = new (std::nothrow) ThreadStart{session, self};
  HANDLE thread = start ? CreateThread(nullptr, 0, LinkThreadProc, start, 0, id) : nullptr;
  if (thread == nullptr) {
    delete start;
    FreeLibrary(self);  // the caller's own reference keeps the module
  }
  return thread;
}

int SetLineFault(int result, bool notify) {
  auto& word = g_link.block.link.lineStatus[1];
  int32_t status = word.load();
  if (result != kResultOk) {
    if (status & kLineFault) return 0;
    status |= kLineFault;
  } else {
    if (!(status & kLineFault)) return 0;
    status &= ~kLineFault;
  }
  word.store(status);
  if (!notify) return 0;
  NotifyNetChange(status);
  return 1;
}

}  // namespace linkdrv

using namespace linkdrv;

extern "C" BOOL WINAPI GetEcrMessage(int ecrNumber, EcrMessage* message) {
  FramingState& s = g_link.block.link;
  if (s.queueCount.load() <= 0 || message == nullptr) {
    g_link.lastError.store(kResultNothing);
    return FALSE;
  }
  kr::LockGuard<kr::CriticalSection> guard(CoreHost::g_queueLock);
  if (s.queueCount.load() <= 0) {
    g_link.lastError.store(kResultNothing);
    return FALSE;
  }
  int capacity = QueueCapacity(s);
  int index = std::clamp(s.queueRead, 0, capacity - 1);
  const QueueSlot& slot = s.queue[index];
  int length = std::clamp(slot.length - 1, 0, static_cast<int>(sizeof message->data));
  message->ecrNumber = ecrNumber;
  message->length = length;
  message->code = static_cast<int8_t>(slot.code);
  std::memcpy(message->data, slot.data, length);
  s.queueRead = (index + 1) % capacity;
  s.queueCount -= 1;
  return TRUE;
}
