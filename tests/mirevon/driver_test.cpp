// Mirevon.dll through its exports against the simulated ECR speaking
// host-PC frames.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <set>
#include <string>

#include "ecrsim.h"
#include "link_api.h"
#include "link_core.h"

namespace {

using namespace linkdrv;
using ecrsim::Bytes;
using ecrsim::EventKind;
using ecrsim::LinkReply;

std::atomic<int> g_received{0};
std::atomic<int> g_lastCode{0};
std::atomic<int> g_lineStatus{0};
std::atomic<int> g_netChanges{0};

void WINAPI OnReceived(int kind, int code) {
  g_received += 1;
  g_lastCode = code;
}

void WINAPI OnNetChange(int kind, int lineStatus) {
  g_netChanges += 1;
  g_lineStatus = lineStatus;
}

// The DLL as an outside component uses it: loaded by name, entries by name.
struct Mirevon {
  HMODULE module = LoadLibraryA("Mirevon.dll");
  template <typename T>
  T Entry(const char* name) {
    return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  OpenProtFn OpenProt = Entry<OpenProtFn>("OpenProt");
  CloseProtFn CloseProt = Entry<CloseProtFn>("CloseProt");
  GetLastProtocolErrorFn GetLastProtocolError =
      Entry<GetLastProtocolErrorFn>("GetLastProtocolError");
  SetOnRxEventFn SetOnRxEvent = Entry<SetOnRxEventFn>("SetOnRxEvent");
  SetOnNetChangeEventFn SetOnNetChangeEvent = Entry<SetOnNetChangeEventFn>("SetOnNetChangeEvent");
  SetMessRxEventFn SetMessRxEvent = Entry<SetMessRxEventFn>("SetMessRxEvent");
  EcrIOFn EcrIO = Entry<EcrIOFn>("EcrIO");
  GetEcrMessageFn GetEcrMessage = Entry<GetEcrMessageFn>("GetEcrMessage");
  SendStRqFn SendStRq = Entry<SendStRqFn>("SendStRq");
  SendStExRqFn SendStExRq = Entry<SendStExRqFn>("SendStExRq");
};

Mirevon& Dll() {
  static Mirevon dll;
  return dll;
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
  DWORD start = GetTickCount();
  while (!done()) {
    if (GetTickCount() - start > static_cast<DWORD>(timeoutMs)) return false;
    Sleep(5);
  }
  return true;
}

class MirevonDriver : public ::testing::Test {
 protected:
  // OpenProt with inline settings, or (config starting with a key path)
  // the registry key filled from the simulator's address and values.
  void Open(const std::string& extra) {
    ASSERT_NE(Dll().module, nullptr);
    ASSERT_NE(ecr.Start(), 0);
    ecr.SetCanRetry(100, 20);  // a refused message comes again, nothing is lost
    ASSERT_TRUE(Dll().OpenProt(ecr.InlineSettings(extra).c_str(), 0));
    Listen();
  }
  void OpenFromRegistry(const std::vector<std::pair<const char*, std::string>>& values) {
    ASSERT_NE(Dll().module, nullptr);
    ASSERT_NE(ecr.Start(), 0);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath);
    kr::UniqueHKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              key.put(), nullptr),
              ERROR_SUCCESS);
    auto set = [&](const char* name, const std::string& value) {
      RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>(value.size() + 1));
    };
    set("ECRIP", "127.0.0.1");
    set("ECRPortNumber", std::to_string(ecr.Port()));
    for (const auto& [name, value] : values) set(name, value);
    ASSERT_TRUE(Dll().OpenProt(kKeyPath, 0));
    Listen();
  }
  void Listen() {
    g_received = 0;
    g_netChanges = 0;
    g_lineStatus = 0;
    Dll().SetOnRxEvent(OnReceived);
    Dll().SetOnNetChangeEvent(OnNetChange);
  }
  void TearDown() override {
    Dll().SetOnRxEvent(nullptr);
    Dll().SetOnNetChangeEvent(nullptr);
    Dll().CloseProt(0);
    ecr.Stop();
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKeyPath);
  }
  int Control(int code) { return Dll().EcrIO(code, 0, nullptr, 0, nullptr, nullptr, nullptr); }
  static constexpr const char* kKeyPath = "SOFTWARE\\KerunelTest\\MirevonDriver";
  // EcrIO with flags 3: returns the result, the answer in *answer.
  int Transact(const Bytes& command, Bytes* answer = nullptr, int* extra = nullptr) {
    char buffer[256] = {};
    int length = 0, extraResult = -1;
    int r = Dll().EcrIO(1, 3, reinterpret_cast<const char*>(command.data()),
                        static_cast<int>(command.size()), buffer, &length, &extraResult);
    if (answer) answer->assign(buffer, buffer + std::clamp(length, 0, 256));
    if (extra) *extra = extraResult;
    return r;
  }
  // The unsolicited message taken from the queue, or an empty one.
  Bytes Take() {
    EcrMessage m = {};
    if (!Dll().GetEcrMessage(1, &m)) return {};
    Bytes message{static_cast<uint8_t>(m.code)};
    message.insert(message.end(), m.data, m.data + m.length);
    return message;
  }
  const StateBlock& Block() {
    DriverInfo* info = nullptr;
    Dll().EcrIO(kControlDriverInfo, 0, nullptr, 0, nullptr, nullptr, reinterpret_cast<int*>(&info));
    return *reinterpret_cast<const StateBlock*>(info->field[kInfoStateBlock]);
  }
  int LastError() {
    int error = 0;
    Dll().GetLastProtocolError(&error, nullptr);
    return error;
  }
  ecrsim::Counters Counters() { return ecr.GetCounters(); }

  ecrsim::Simulator ecr{ecrsim::Wire::kHostPc};
};

TEST_F(MirevonDriver, CommandRepliesGiveTheirResults) {
  Open("OnLine=1");
  struct Case {
    std::vector<LinkReply> replies;
    int result, extra;
  };
  const Case cases[] = {
      {{LinkReply::Nak(), LinkReply::Ack()}, kResultOk, 0},
      {{LinkReply::Nak(), LinkReply::Nak(), LinkReply::Nak()}, kResultNotSent, kResultNakLimit},
      {{LinkReply::Bel()}, kResultNotSent, kResultBell},
      {std::vector<LinkReply>(10, LinkReply::Can()), kResultNotSent, kResultRefused},
  };
  for (const Case& c : cases) {
    ecr.QueueLinkReplies(c.replies);
    Bytes answer;
    int extra = -1;
    EXPECT_EQ(Transact({'A', 0x10, 2}, &answer, &extra), c.result);
    EXPECT_EQ(extra, c.extra);
    if (c.result == kResultOk) {
      EXPECT_EQ(answer, (Bytes{'A', 0x10, 2}));
    }
  }
  EXPECT_EQ(Counters().naks, 0);  // every frame of the driver had a good check byte

  // A long command goes out when its stuffed frame fits the 256-byte
  // buffer, and only then: 200 plain bytes do, 124 DLE bytes do not.
  Bytes plain(200, 'p');
  plain[0] = 'A';
  Bytes answer;
  int extra = -1;
  EXPECT_EQ(Transact(plain, &answer, &extra), kResultOk);
  EXPECT_EQ(answer, plain);
  Bytes stuffed(124, kDLE);
  stuffed[0] = 'A';
  EXPECT_EQ(Transact(stuffed, &answer, &extra), kResultOk);
  stuffed.push_back(kDLE);
  EXPECT_EQ(Transact(stuffed, &answer, &extra), kResultNotSent);
  EXPECT_EQ(extra, kResultLinkFailure);
}

// An ECR that leaves a frame unanswered keeps the thread on that command
// for over three seconds (three one-second reply waits, a status read, the
// frame again), so EcrIO gives up on it after 2.5 s with 105. The next
// EcrIO must not rewrite the command buffer under the thread: the first
// command goes out whole and once, then the next one.
TEST_F(MirevonDriver, ACommandGivenUpOnIsFinishedBeforeTheNextIsWritten) {
  Open("OnLine=1");
  ecr.OnCommand('A', ecrsim::Reply::NoAnswer());
  ecr.QueueLinkReplies({LinkReply::Silence()});
  int extra = 0;
  EXPECT_EQ(Transact({'A', 1}, nullptr, &extra), kResultNotSent);
  EXPECT_EQ(extra, kResultThreadTimeout);

  const Bytes next{'C', 1, 2, 3, 4, 5, 6, 7, 8};
  Bytes answer;
  EXPECT_EQ(Transact(next, &answer, &extra), kResultOk);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(answer, next);
  EXPECT_EQ(ecr.Messages(), (std::vector<Bytes>{{'A', 1}, next}));
  EXPECT_EQ(Counters().badFrames, 0);
}

TEST_F(MirevonDriver, SequenceContinuesFromTheEcrsAfterExtendedStatus) {
  Open("OnLine=1");
  ecr.SetEcrSequence(0x41);
  ecr.SetStatusByte(0x24);
  int status = 0, length = 0;
  char data[16] = {};
  ASSERT_EQ(Dll().SendStExRq(1, 0, &status, &length, data), kResultOk);
  EXPECT_EQ(status, 0x24);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(data[0], 0x41);
  EXPECT_EQ(Transact({'A'}), kResultOk);
  std::vector<ecrsim::Event> frames = ecr.Snapshot().Of(EventKind::kMessage);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames.back().sequence, 0x42);
  EXPECT_FALSE(frames.back().duplicate);
}

TEST_F(MirevonDriver, BusyEcrInAWaitingStatusRequestAdds0x100) {
  Open("OnLine=1");
  ecr.QueueStatusBytes({0x04, 0x04, 0x00});
  int status = 0;
  EXPECT_EQ(Dll().SendStRq(1, 1, &status), kResultOk);
  EXPECT_EQ(status, 0x100);
  EXPECT_EQ(Counters().plainStatusRequests, 3);

  ecr.SetStatusByte(0x04);  // busy all along: no 0x100
  EXPECT_EQ(Dll().SendStRq(1, 1, &status), kResultOk);
  EXPECT_EQ(status, 0x04);
}

TEST_F(MirevonDriver, OffLineDropsUnsolicitedMessagesUnseen) {
  Open("OnLine=0");
  ecr.SendBurst({{'X', 1}, {'Y', 2}, {'F', 3}});
  ASSERT_TRUE(WaitUntil([&] { return Counters().acks >= 3; }, 5000));
  Sleep(300);
  EXPECT_EQ(g_received, 0);
  EXPECT_TRUE(Take().empty());
  EXPECT_EQ(LastError(), kResultNothing);
  EXPECT_EQ(Counters().cans, 0);  // dropped at once, so the queue never filled
}

TEST_F(MirevonDriver, RepeatedFrameIsDeliveredOnce) {
  Open("OnLine=1");
  ecrsim::FrameStyle twice;
  twice.repeat = 1;
  ecr.Send({'X', 7}, twice);
  ASSERT_TRUE(WaitUntil([&] { return Counters().acks >= 2; }, 5000));
  Sleep(200);
  EXPECT_EQ(g_received, 1);
  EXPECT_EQ(Take(), (Bytes{'X', 7}));
  EXPECT_TRUE(Take().empty());
}

TEST_F(MirevonDriver, FullQueueRefusesUntilAMessageIsTaken) {
  Open("OnLine=1");
  ecr.SendBurst({{'X', 1}, {'G', 2}, {'B', 3}});
  ASSERT_TRUE(WaitUntil([&] { return Counters().cans >= 1; }, 5000));
  EXPECT_EQ(g_received, 2);
  EXPECT_EQ(g_lastCode, 'G');
  EXPECT_EQ(Take(), (Bytes{'X', 1}));
  ASSERT_TRUE(WaitUntil([&] { return g_received == 3; }, 5000));
  EXPECT_EQ(g_lastCode, 'B');
  EXPECT_EQ(Take(), (Bytes{'G', 2}));
  EXPECT_EQ(Take(), (Bytes{'B', 3}));
  EXPECT_TRUE(Take().empty());
}

// Takes every queued message when the received-message notification
// arrives, as an application's window does; EcrIO pumps it while it waits.
constexpr UINT kReceivedMessage = WM_APP + 1;
std::set<int>* g_seen = nullptr;
int g_duplicates = 0;

LRESULT CALLBACK TakingWindowProc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message != kReceivedMessage) return DefWindowProcA(window, message, w, l);
  EcrMessage m = {};
  while (Dll().GetEcrMessage(1, &m)) {
    if (m.length < 1 || !g_seen->insert(m.data[0]).second) ++g_duplicates;
  }
  return 0;
}

TEST_F(MirevonDriver, BurstOfUnsolicitedMessagesLosesNoAnswer) {
  Open("OnLine=1");
  WNDCLASSA wc = {};
  wc.lpfnWndProc = TakingWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "MirevonTakingWindow";
  RegisterClassA(&wc);
  HWND window = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  std::set<int> seen;
  g_seen = &seen;
  g_duplicates = 0;
  Dll().SetMessRxEvent(window, kReceivedMessage);

  constexpr int kBurst = 40;
  std::vector<Bytes> burst;
  for (int i = 0; i < kBurst; ++i) burst.push_back({'Y', static_cast<uint8_t>(i)});
  ecr.SendBurst(burst);
  int peakPerSecond = 0;
  for (int i = 0; i < 8; ++i) {
    Bytes answer;
    Bytes command{'A', static_cast<uint8_t>(i)};
    EXPECT_EQ(Transact(command, &answer), kResultOk);
    EXPECT_EQ(answer, command);
    peakPerSecond = std::max(peakPerSecond, Block().unsolicitedPrevious.load());
  }
  EXPECT_TRUE(WaitUntil(
      [&] {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        peakPerSecond = std::max(peakPerSecond, Block().unsolicitedPrevious.load());
        return static_cast<int>(seen.size()) == kBurst;
      },
      20000))
      << seen.size() << " of " << kBurst;
  EXPECT_EQ(g_duplicates, 0);
  EXPECT_GT(peakPerSecond, 4);  // the rate at which the thread reads eagerly
  Dll().SetMessRxEvent(nullptr, 0);
  DestroyWindow(window);
}

// A refused command (CAN) is tried ten times, at least 100 ms apart; a
// refused "I" is not tried again.
TEST_F(MirevonDriver, RefusedCommandsAreTriedTenTimesAndAnIOnce) {
  Open("OnLine=1");
  ecr.ClearRecord();
  ecr.QueueLinkReplies(std::vector<LinkReply>(10, LinkReply::Can()));
  int extra = -1;
  EXPECT_EQ(Transact({'A', 1}, nullptr, &extra), kResultNotSent);
  EXPECT_EQ(extra, kResultRefused);
  std::vector<ecrsim::Event> refused = ecr.Snapshot().Of(EventKind::kBadFrame);
  ASSERT_EQ(refused.size(), 10u);
  for (size_t i = 1; i < refused.size(); ++i) {
    auto gap =
        std::chrono::duration_cast<std::chrono::milliseconds>(refused[i].at - refused[i - 1].at);
    EXPECT_GE(gap.count(), 95) << i;
  }

  ecr.ClearRecord();
  ecr.QueueLinkReplies({LinkReply::Can()});  // a second "I" would be acknowledged
  EXPECT_EQ(Transact({'I'}, nullptr, &extra), kResultNotSent);
  EXPECT_EQ(extra, kResultRefused);
  Sleep(300);
  EXPECT_EQ(ecr.Snapshot().Of(EventKind::kBadFrame).size(), 1u);
  EXPECT_TRUE(ecr.Messages().empty());
}

// The ECR starts a frame of its own where the driver expects a reply: the
// thread reads that frame first. The answer to the command being sent ends
// the command; anything else is handled as ever and the command goes again.
TEST_F(MirevonDriver, CollisionsAreReadBeforeTheCommandOrStatusGoesOn) {
  Open("OnLine=1");
  struct Case {
    Bytes collide;    // the ECR's own frame
    Bytes answer;     // what EcrIO returns
    size_t executed;  // commands the ECR took
    Bytes queued;     // the unsolicited message taken afterwards
  };
  const Case cases[] = {
      {{'A', 9}, {'A', 9}, 0, {}},
      {{'X', 1}, {'A', 1}, 1, {'X', 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.collide));
    ecr.ClearRecord();
    g_received = 0;
    ecr.QueueLinkReplies({LinkReply::Collide(c.collide)});
    Bytes answer;
    EXPECT_EQ(Transact({'A', 1}, &answer), kResultOk);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(ecr.Messages().size(), c.executed);
    EXPECT_EQ(Take(), c.queued);
    EXPECT_EQ(g_received, c.queued.empty() ? 0 : 1);
  }

  // During a status request: the message first, then the status all the same.
  ecrsim::StatusReply collide;
  collide.collide = {'Y', 3};
  ecr.QueuePlainStatusReplies({collide});
  ecr.SetStatusByte(0x02);
  int status = 0;
  EXPECT_EQ(Dll().SendStRq(1, 0, &status), kResultOk);
  EXPECT_EQ(status, 0x02);
  EXPECT_EQ(Take(), (Bytes{'Y', 3}));
}

// A late answer: at the end of each 2 s slice the status is asked; 0x41
// (shorten the wait) and a busy bit that clears (0x100) each poke the ECR
// with "I". Which status keeps or ends the wait when is the AnswerWait
// unit test's matter; here the pokes go out on the wire.
TEST_F(MirevonDriver, LateAnswerStatusesPokeTheEcr) {
  Open("OnLine=1");
  ecr.OnCommand('C', ecrsim::Reply::Answer({'C', 5}, 4500));
  ecr.ClearRecord();
  ecr.QueueStatusBytes({0x41, 0x05, 0x01});
  ecr.SetStatusByte(0x01);
  Bytes answer;
  EXPECT_EQ(Transact({'C'}, &answer), kResultOk);
  EXPECT_EQ(answer, (Bytes{'C', 5}));
  EXPECT_EQ(ecr.Messages(), (std::vector<Bytes>{{'C'}, {'I'}, {'I'}}));
  EXPECT_EQ(Counters().plainStatusRequests, 3);  // the busy one is read again
}

// The effective OnLine decides whether an unsolicited message is kept and
// notified: -102 on, -101 off, -103 back to the configured value. Without
// StatusCheck (never set inline) the idle line is not polled.
TEST_F(MirevonDriver, OnLineControlCodesDecideOverUnsolicitedMessages) {
  Open("OnLine=0");
  const int statusRequests = Counters().plainStatusRequests;
  const struct {
    int code;
    bool kept;
  } cases[] = {{kControlOnLineOn, true},
               {kControlOnLineOff, false},
               {kControlOnLineOn, true},
               {kControlOnLineConfigured, false}};
  uint8_t tag = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(Control(c.code), kResultOk);
    EXPECT_EQ(LastError(), kResultOk);
    g_received = 0;
    int acks = Counters().acks;
    ecr.Send({'X', ++tag});
    ASSERT_TRUE(WaitUntil([&] { return Counters().acks > acks; }, 3000));
    Sleep(100);
    EXPECT_EQ(g_received, c.kept ? 1 : 0);
    EXPECT_EQ(Take(), (c.kept ? Bytes{'X', tag} : Bytes{}));
  }
  EXPECT_EQ(Counters().plainStatusRequests, statusRequests);
}

// StatusCheck: while idle the thread reads the plain status about every
// 200 ms; a failed read faults the line once, the next good one clears it.
TEST_F(MirevonDriver, StatusCheckWatchesTheLineWhileIdle) {
  OpenFromRegistry({{"StatusCheck", "YES"}, {"OnLine", "1"}});
  Sleep(300);
  int before = Counters().plainStatusRequests;
  Sleep(1000);
  int perSecond = Counters().plainStatusRequests - before;
  EXPECT_GE(perSecond, 3);
  EXPECT_LE(perSecond, 6);
  EXPECT_EQ(g_netChanges, 0);

  ecrsim::StatusReply silent;
  silent.silent = true;
  ecr.QueuePlainStatusReplies({silent, silent, silent});  // one check's three tries
  ASSERT_TRUE(WaitUntil([] { return g_netChanges >= 2; }, 8000)) << g_netChanges;
  Sleep(500);
  EXPECT_EQ(g_netChanges, 2);
  EXPECT_EQ(g_lineStatus, 1);
}

}  // namespace
