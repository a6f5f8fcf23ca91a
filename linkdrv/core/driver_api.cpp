// The link's life: state reset, configuration (registry or inline text),
// connection, OpenProt/CloseProt, control codes, the small exports and the
// library's load and unload.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "link_core.h"
#include "module_unload.h"
#include "registry_settings.h"
#include "winsock_io.h"

// After windows.h (from link_core.h):
#include <mmsystem.h>

namespace linkdrv {

LinkState g_link;
DriverInfo g_info;

namespace {

constexpr DWORD kThreadStopWaitMs = 500;
// The thread's pauses and poll waits (20, 50, 200 ms) take their length from
// the system timer: at Windows' default 15.6 ms tick a 20 ms pause lasts
// about 31 ms. While the link runs the driver asks for 1 ms.
constexpr UINT kTimerPeriodMs = 1;
constexpr size_t kNewAddressMinLength = 8;

void RefillDriverInfo() {
  intptr_t* f = g_info.field;
  intptr_t open = f[kInfoLinkOpen];
  std::memset(&g_info, 0, sizeof g_info);
  f[kInfoVersion] = 3;
  f[kInfoMajor] = 1;
  f[kInfoMinor] = 0;
  f[kInfoBuild] = 1;
  f[kInfoLinkOpen] = open;
  f[kInfoReserved6] = 1;
  f[kInfoLastError] = reinterpret_cast<intptr_t>(&g_link.lastError);
  f[kInfoBytesSent] = reinterpret_cast<intptr_t>(&g_link.block.link.bytesSent);
  f[kInfoBytesReceived] = reinterpret_cast<intptr_t>(&g_link.block.link.bytesReceived);
  f[kInfoStateBlock] = reinterpret_cast<intptr_t>(&g_link.block);
  f[kInfoStateBlockSize] = sizeof(StateBlock);
  f[kInfoLineStatus] = reinterpret_cast<intptr_t>(&g_link.block.link.lineStatus[0]);
  f[kInfoReservedText13] = reinterpret_cast<intptr_t>(g_link.reservedText[0]);
  f[kInfoReservedText14] = reinterpret_cast<intptr_t>(g_link.reservedText[1]);
  f[kInfoReservedText15] = reinterpret_cast<intptr_t>(g_link.reservedText[2]);
  f[kInfoPortText] = reinterpret_cast<intptr_t>(g_link.settings.port);
  f[kInfoEcrIO] = reinterpret_cast<intptr_t>(&EcrIO);
  f[kInfoEcrBrdcIO] = reinterpret_cast<intptr_t>(&EcrBrdcIO);
  f[kInfoSendStRq] = reinterpret_cast<intptr_t>(&SendStRq);
  f[kInfoSendStExRq] = reinterpret_cast<intptr_t>(&SendStExRq);
}

void ResetFramingState(FramingState& s) {
  s.~FramingState();
  new (&s) FramingState();
  s.queueCapacity = kQueueCapacity;
  s.lastFrameId = -1;
  s.lineStatus[1].store(kLineOk);
}

// Reads the configuration into g_link.settings; false with a reason (and
// the fault's place in an inline text, else -1) when it cannot be used.
bool Configure(const char* config, std::string& reason) {
  const char* why = "no configuration text";
  if (config == nullptr) {
    reason = why;
    return false;
  }
  LinkSettings& s = g_link.settings;
  if (config[0] == '@') {
    size_t at = 0;
    const int error = ReadInlineSettings(config + 1, std::strlen(config + 1), s, &at);
    if (error != kSettingsOk) {
      // Where the faulty setting starts (counted from the '@'), and its first characters.
      char text[kLogLineMax];
      std::snprintf(text, sizeof text, "inline setting at %u (\"%.24s\"): %s",
                    static_cast<unsigned>(at + 1), config + 1 + at, SettingsErrorText(error));
      reason = text;
      return false;
    }
  } else if (!ReadLinkSettings(config, 0, s, &why)) {
    reason = why;
    return false;
  }
  g_link.block.link.onLine.store(s.onLine);
  return true;
}

// When the settings read before the fault ask for a log, the failed
// configuration and its reason are written to it (opened for this entry).
void LogConfigFailure(const std::string& reason) {
  const LinkSettings& s = g_link.settings;
  if (s.logLevel == 0 || !OpenProtocolLog(s.logFileName, s.logLevel)) return;
  LogEntry(kLogExport, kLogResult, 0, ("OPEN FAILED : " + reason).c_str(), nullptr, 0,
           kResultConfigFailed);
  CloseProtocolLog(false);
}

// Stops the thread of the current session: sets its stop flag, breaks its
// reads and, from CloseProt, waits up to 500 ms for it to end. A thread
// that ends later keeps its session and its module until it does.
void StopThread(CloseMode mode) {
  std::shared_ptr<LinkSession> session = g_link.session;
  if (!g_link.thread) return;
  if (session) {
    session->stop.store(1);
    g_link.block.stopFlag.store(1);
    if (mode != CloseMode::kProcessExit) session->io->Interrupt();
  }
  SetEvent(g_link.wakeEvent);
  if (mode == CloseMode::kWait) WaitForSingleObject(g_link.thread.get(), kThreadStopWaitMs);
  g_link.thread.reset();
}

}  // namespace

void ResetLinkState() {
  StateBlock& b = g_link.block;
  b.stopFlag = 0;
  b.plainMode = kStatusNone;
  b.statusWord = 0;
  b.extMode = kStatusNone;
  b.ext0 = b.ext1 = b.ext2 = b.ext4 = 0;
  b.extLength = 0;
  std::memset(b.extData, 0, sizeof b.extData);
  b.statusResult = 0;
  b.commandPending = kCommandNone;
  b.answerExpected = 0;
  b.sendResult = 0;
  b.answerWindow = 0;
  b.sendTick = 0;
  b.answerReady = 0;
  ResetFramingState(b.link);
  b.openTick[0] = b.openTick[1] = 0;
  b.lastLineCheck = 0;
  b.unsolicitedPrevious = b.unsolicitedCurrent = 0;
  b.commandsPrevious = b.commandsCurrent = 0;
  b.lastRollOver = 0;

  ClearSettings(g_link.settings);
  g_link.lastError = 0;
  g_link.ioInProgress = 0;
  g_link.answerWaiter = 0;
  g_link.longSlice = 0;
  g_link.flagA = g_link.flagB = 0;
  g_link.window = nullptr;
  g_link.rxMessage = 0;
  g_link.netMessage = 0;
  g_link.rxCallback = nullptr;
  g_link.netCallback = nullptr;
  std::memset(g_link.reservedText, 0, sizeof g_link.reservedText);
  RefillDriverInfo();
}

bool ConnectLink() {
  LinkSettings& s = g_link.settings;
  if (s.address[0] == '\0') return true;
  SOCKET socket = WinsockIo::Connect(s.address, s.port);
  if (socket == INVALID_SOCKET) return false;
  g_link.session->io->Adopt(socket);
  g_link.block.link.tcpMode = 1;
  g_link.longSlice.store(1);
  g_link.block.link.noChecksum = 0;
  return true;
}

int CloseLink(CloseMode mode) {
  if (!g_link.open.load()) {
    g_link.lastError.store(kResultNotOpen);
    return FALSE;
  }
  const bool processExit = mode == CloseMode::kProcessExit;
  CloseProtocolLog(processExit);
  StopThread(mode);
  if (g_link.timerPeriodRaised.exchange(false) && !processExit) timeEndPeriod(kTimerPeriodMs);
  if (g_link.session && !processExit) g_link.session->io->CloseSocket();
  g_link.session.reset();
  g_link.rxMessage = 0;
  g_link.netMessage = 0;
  g_link.rxCallback = nullptr;
  g_link.netCallback = nullptr;
  g_link.open.store(0);
  g_info.field[kInfoLinkOpen] = 0;
  g_link.lastError.store(kResultOk);
  return TRUE;
}

int EcrControl(int code, const char* command, int* extra) {
  FramingState& s = g_link.block.link;
  switch (code) {
    case kControlOnLineOff:
    case kControlOnLineOn:
    case kControlOnLineConfigured:
      s.onLine.store(code == kControlOnLineOff  ? 0
                     : code == kControlOnLineOn ? 1
                                                : g_link.settings.onLine);
      g_link.lastError.store(kResultOk);
      return kResultOk;
    case kControlDriverInfo:
      if (extra) *reinterpret_cast<DriverInfo**>(extra) = &g_info;
      g_link.lastError.store(kResultOk);
      return kResultOk;
    case kControlFlagA:
      g_link.flagA.store(1);
      g_link.lastError.store(kResultOk);
      return kResultOk;
    case kControlFlagB:
      g_link.flagB.store(1);
      g_link.lastError.store(kResultOk);
      return kResultOk;
    case kControlNewAddress: {
      // "address[ port]": at least 8 characters to count as a new address.
      if (!g_link.open.load() || !g_link.session) return 1;
      LinkSettings& settings = g_link.settings;
      size_t length = command ? strnlen(command, kFrameBufferSize) : 0;
      if (length >= kNewAddressMinLength) {
        const char* blank = static_cast<const char*>(std::memchr(command, ' ', length));
        size_t addressLength = blank ? static_cast<size_t>(blank - command) : length;
        const char* port = blank ? blank + 1 : kDefaultPort;
        size_t portLength = blank ? length - addressLength - 1 : std::strlen(kDefaultPort);
        if (addressLength + 1 > sizeof settings.address || portLength + 1 > sizeof settings.port) {
          return 1;  // does not fit: nothing changed
        }
        std::memcpy(settings.address, command, addressLength);
        settings.address[addressLength] = '\0';
        std::memmove(settings.port, port, portLength);
        settings.port[portLength] = '\0';
      }
      return ConnectLink() && settings.address[0] ? 0 : 1;
    }
    case kControlCloseSocket:
      if (g_link.session) g_link.session->io->CloseSocket();
      return kResultOk;
    default:
      g_link.lastError.store(kResultUnknownControl);
      return kResultUnknownControl;
  }
}

}  // namespace linkdrv

using namespace linkdrv;

extern "C" BOOL WINAPI OpenProt(const char* config, int) {
  if (g_link.open.load()) {
    g_link.lastError.store(kResultAlreadyOpen);
    return FALSE;
  }
  ResetLinkState();
  std::string reason;
  if (!Configure(config, reason)) {
    LogConfigFailure(reason);
    g_link.lastError.store(kResultConfigFailed);
    return FALSE;
  }
  const LinkSettings& s = g_link.settings;
  if (s.logLevel != 0) OpenProtocolLog(s.logFileName, s.logLevel);

  g_link.session = std::make_shared<LinkSession>();
  auto fail = [](int error) {
    CloseProtocolLog(false);
    g_link.session.reset();
    g_link.lastError.store(error);
    return FALSE;
  };
  if (!ConnectLink()) {
    unsigned short port = 0;
    std::string why =
        ParsePort(s.port, &port)
            ? "no connection to " + std::string(s.address) + " port " + s.port
            : "ECRPortNumber \"" + std::string(s.port) + "\" is not a port (1 to 65535)";
    LogEntry(kLogExport, kLogResult, 0, ("OPEN FAILED : " + why).c_str(), nullptr, 0,
             kResultConfigFailed);
    return fail(kResultConfigFailed);
  }

  // The events live for the rest of the process; each open starts them unsignalled.
  for (HANDLE* event :
       {&g_link.wakeEvent, &g_link.sendDoneEvent, &g_link.statusDoneEvent, &g_link.answerEvent}) {
    if (*event == nullptr) *event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (*event == nullptr) return fail(kResultStartFailed);
    ResetEvent(*event);
  }
  StateBlock& b = g_link.block;
  b.link.lastFrameId = -1;
  DWORD now = Now();
  b.openTick[0] = now;
  b.lastLineCheck = now;
  b.lastRollOver = now;
  b.unsolicitedPrevious = b.unsolicitedCurrent = 0;
  b.commandsPrevious = b.commandsCurrent = 0;

  if (s.address[0] != '\0') {
    HANDLE thread = StartLinkThread(g_link.session, &g_link.threadId);
    if (thread == nullptr) {
      g_link.session->io->CloseSocket();
      return fail(kResultStartFailed);
    }
    g_link.thread.reset(thread);
    if (!g_link.timerPeriodRaised.load() && timeBeginPeriod(kTimerPeriodMs) == TIMERR_NOERROR) {
      g_link.timerPeriodRaised.store(true);
    }
  }

  intptr_t* f = g_info.field;
  f[kInfoExtDisplayEcho] = s.extDisplayEcho;
  f[kInfoOnLine] = b.link.onLine.load();
  f[kInfoTcpMode] = b.link.tcpMode;
  f[kInfoNoChecksum] = b.link.noChecksum;
  f[kInfoLongSlice] = g_link.longSlice.load();
  g_link.open.store(1);
  f[kInfoLinkOpen] = 1;
  f[kInfoProgressCallback] = 0;

  if (SendStExRq(1, 0, nullptr, nullptr, nullptr) != kResultOk) {
    CloseLink(CloseMode::kWait);
    g_link.lastError.store(kResultStartFailed);
    return FALSE;
  }
  g_link.lastError.store(kResultOk);
  return TRUE;
}

extern "C" BOOL WINAPI CloseProt(int) {
  return CloseLink(CloseMode::kWait);
}

extern "C" BOOL WINAPI GetLastProtocolError(int* error, char* text) {
  if (error) *error = g_link.lastError.load();
  if (text) text[0] = '\0';
  return TRUE;
}

extern "C" BOOL WINAPI SetOnRxEvent(RxCallback callback) {
  g_link.rxCallback.store(callback);
  g_link.lastError.store(kResultOk);
  return TRUE;
}

extern "C" BOOL WINAPI SetMessRxEvent(HWND window, UINT message) {
  g_link.window.store(window);
  g_link.rxMessage.store(message);
  g_link.lastError.store(kResultOk);
  return TRUE;
}

extern "C" BOOL WINAPI SetOnNetChangeEvent(NetChangeCallback callback) {
  g_link.netCallback.store(callback);
  g_link.lastError.store(kResultOk);
  return TRUE;
}

extern "C" BOOL WINAPI SetMessNetChange(HWND window, UINT message) {
  g_link.window.store(window);
  g_link.netMessage.store(message);
  g_link.lastError.store(kResultOk);
  return TRUE;
}

extern "C" int WINAPI EcrBrdcIO(int, int, int, int, int, int, int, int) {
  g_link.lastError.store(kResultNoBroadcast);
  return kResultNoBroadcast;
}

extern "C" int __cdecl GetLineStatus() {
  return 0;
}

extern "C" int WINAPI GetByteCount() {
  FramingState& s = g_link.block.link;
  return s.bytesSent.exchange(0) + s.bytesReceived.exchange(0);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    ResetLinkState();
    // The timer library stays for the process: under Wine each of its
    // unloads leaves registry handles open.
    HMODULE timerLibrary = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, L"winmm.dll", &timerLibrary);
  } else if (reason == DLL_PROCESS_DETACH) {
    // Under the loader lock, where no thread can end: a link thread still
    // running holds its own reference on the module, so this is a library
    // freed with its link closed, or the process ending (reserved != null).
    CloseLink(reserved != nullptr ? CloseMode::kProcessExit : CloseMode::kUnloading);
    if (reserved == nullptr) {
      for (HANDLE* event : {&g_link.wakeEvent, &g_link.sendDoneEvent, &g_link.statusDoneEvent,
                            &g_link.answerEvent}) {
        if (*event) CloseHandle(*event);
        *event = nullptr;
      }
    }
    kr::ReleaseRuntimeOnUnload(reserved);
  }
  return TRUE;
}
