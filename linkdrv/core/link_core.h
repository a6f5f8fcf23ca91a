// The link's process-wide state and the core's internal entry points,
// shared by the files of linkdrv/core. One link per process.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "framing.h"
#include "link_api.h"
#include "log_format.h"
#include "settings.h"
#include "win_raii.h"

namespace linkdrv {

class WinsockIo;

// Status request modes.
enum : int { kStatusNone = 0, kStatusNormal = 1, kStatusWaitWhileBusy = 3 };

// Command handshake (StateBlock::commandPending). The application writes
// the command buffer only while no command is taken: it queues a command,
// and may replace one still queued; the thread takes it, and gives the
// buffer back only once it has signalled the send's end.
enum : int { kCommandNone = 0, kCommandQueued = 1, kCommandTaken = 2 };

// The transaction/status block whose address DriverInfo publishes (field 10)
// and whose size it gives (field 11). Shared between the application thread
// and LinkThread; flags are atomic words written by one side, read by the other.
struct StateBlock {
  std::atomic<int32_t> stopFlag;
  std::atomic<int32_t> plainMode;
  std::atomic<int32_t> statusWord;
  std::atomic<int32_t> extMode;
  uint8_t ext0, ext1, ext2, ext4;  // extended status bytes kept apart (byte 3 is the status)
  int32_t extLength;
  uint8_t extData[16];
  std::atomic<int32_t> statusResult;
  std::atomic<int32_t> commandPending;  // kCommandNone, kCommandQueued or kCommandTaken
  std::atomic<int32_t> answerExpected;
  std::atomic<int32_t> sendResult;
  std::atomic<int32_t> answerWindow;
  std::atomic<uint32_t> sendTick;
  std::atomic<int32_t> answerReady;
  FramingState link;  // command, answer, queue, sequence, line status, counters
  uint32_t openTick[2];
  std::atomic<uint32_t> lastLineCheck;
  std::atomic<int32_t> unsolicitedPrevious;
  std::atomic<int32_t> unsolicitedCurrent;
  std::atomic<int32_t> commandsPrevious;
  std::atomic<int32_t> commandsCurrent;
  std::atomic<uint32_t> lastRollOver;
};

// One run of the link thread and what it owns. The thread holds a reference
// of its own, so the session outlives a CloseProt that stopped waiting for it.
struct LinkSession {
  LinkSession();
  ~LinkSession();
  std::atomic<int32_t> stop{0};
  std::unique_ptr<WinsockIo> io;
  std::unique_ptr<FramingHost> host;
  std::unique_ptr<Framing> framing;
};

struct LinkState {
  LinkSettings settings;  // as configured
  StateBlock block;

  // Guards the answer fields, answer ready and answerWaiter, so that the
  // thread hands an answer over, and the application takes it, whole.
  kr::CriticalSection answerLock;
  // 1 (under answerLock) while a transaction waits for its answer: from
  // before its command is sent to the end of its wait. The thread notifies
  // an answer that comes while it is 0.
  int32_t answerWaiter;

  std::atomic<int32_t> open;
  std::atomic<int32_t> lastError;
  std::atomic<int32_t> ioInProgress;
  std::atomic<int32_t> longSlice;     // 1: 2000 ms answer slices (set on connect)
  std::atomic<int32_t> flagA, flagB;  // set by control codes -108 and -109, read by nobody

  // Notification targets; the window is shared by both message kinds.
  std::atomic<HWND> window;
  std::atomic<UINT> rxMessage;
  std::atomic<UINT> netMessage;
  std::atomic<RxCallback> rxCallback;
  std::atomic<NetChangeCallback> netCallback;

  // Created once, reset at every OpenProt and kept for the life of the
  // process, so that a wait nested in a pumped message never sees a closed handle.
  HANDLE wakeEvent, sendDoneEvent, statusDoneEvent, answerEvent;

  std::shared_ptr<LinkSession> session;  // while a connection or thread exists
  kr::UniqueHandle thread;               // the link thread of the current session
  DWORD threadId;
  // 1 ms timer resolution asked for while the thread runs (timeBeginPeriod).
  std::atomic<bool> timerPeriodRaised;

  char reservedText[3][4];
};

extern LinkState g_link;
extern DriverInfo g_info;

// How CloseLink may wait for the link thread.
enum class CloseMode {
  kWait,         // CloseProt: up to 500 ms for the thread to end
  kUnloading,    // the library is unloaded, under the loader lock: no wait (a
                 // thread still running holds its own reference on the module)
  kProcessExit,  // the other threads are gone: nothing is waited for
};

// driver_api.cpp
void ResetLinkState();
// Connects to the configured address (nothing to do when it is empty);
// true on success. Used by OpenProt and control code -110.
bool ConnectLink();
// CloseProt's work: TRUE, or FALSE with 102 when the link is not open.
int CloseLink(CloseMode mode);
// EcrIO with a negative first argument; returns its result.
int EcrControl(int code, const char* command, int* extra);

// transaction.cpp
// Pumps the calling thread's messages; stops early once *stopWhenSet is nonzero.
void PumpMessages(const std::atomic<int32_t>* stopWhenSet = nullptr);
// Waits up to ms for event while pumping messages; true when it was signalled.
bool WaitPumping(HANDLE event, DWORD ms);
// Returns 0, 3, 7, 99 (empty, or its frame does not fit), 105, 12 after
// ten refusals, or the send result.
int SendCommand(int ecrNumber, const uint8_t* command, int length);

// link_thread.cpp
// Starts the link thread of session; returns its handle, or null. The
// thread holds the session and a reference on this module, which it drops
// as it exits (FreeLibraryAndExitThread): however late it ends, it never
// runs in a module that has been unloaded.
HANDLE StartLinkThread(const std::shared_ptr<LinkSession>& session, DWORD* id);
// The received-message notification: the window message, then the callback.
void NotifyReceived(int code);
// Sets or clears the fault bit; notifies on a change when notify is set.
// Returns 1 when the state changed and was notified, else 0.
int SetLineFault(int result, bool notify);

// protocol_log.cpp
bool OpenProtocolLog(const char* fileName, int level);
void CloseProtocolLog(bool processExit);
void LogEntry(int kind, int flags, int ecrNumber, const char* text, const void* bytes = nullptr,
              unsigned count = 0, int result = 0);
extern "C" void __cdecl LogWrite(int kind, int flags, int ecrNumber, const char* text,
                                 const void* bytes, unsigned count, int result, void* reserved);

inline uint32_t Now() {
  return GetTickCount();
}
inline uint32_t Since(uint32_t tick) {
  return GetTickCount() - tick;
}

}  // namespace linkdrv
