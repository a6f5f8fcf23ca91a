// Notifications: posted window messages delivered by the pump inside
// driver calls, callbacks from the link thread, and net changes only when
// the line state changes.
#include "driver_fixture.h"

namespace linkdrv_test {
namespace {

using namespace linkdrv;
constexpr unsigned kWait = kEcrAnswerExpected | kEcrWaitAnswer;

class SandoralNotify : public SandoralTest {
 protected:
  // OpenProt clears the notification targets: they are set after it.
  bool OpenWithTargets(const std::string& extra = "OnLine=1") {
    if (!Open(extra)) return false;
    d.SetMessRxEvent(window.hwnd(), NoteWindow::kRxMessage);
    d.SetMessNetChange(window.hwnd(), NoteWindow::kNetMessage);
    CallbackLog::Install();
    EXPECT_EQ(d.LastError(), 0);
    return true;
  }
  static std::vector<std::pair<int, int>> Values(const std::vector<Note>& notes) {
    std::vector<std::pair<int, int>> out;
    for (const Note& n : notes) out.emplace_back(n.kind, n.value);
    return out;
  }
  NoteWindow window;
};

TEST_F(SandoralNotify, ReceivedMessagesReachTheWindowWhileEcrIOPumps) {
  ASSERT_TRUE(OpenWithTargets());
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x01}));
  ecr.OnCommand('B', ecrsim::Reply::Answer({'B', 0x02}, 300));

  // An answer nobody waits for is notified: the callback at once (on the
  // link thread), the window message when this thread next pumps.
  EXPECT_EQ(Io(0, {'A'}), 0);
  DWORD start = GetTickCount();
  while (CallbackLog::Rx().empty() && ElapsedMs(start) < 2000) Sleep(10);
  ASSERT_EQ(Values(CallbackLog::Rx()), (std::vector<std::pair<int, int>>{{1, 'A'}}));
  EXPECT_FALSE(CallbackLog::Rx()[0].duringCall);
  EXPECT_TRUE(window.Notes(NoteWindow::kRxMessage).empty());

  // The next transaction's waits dispatch it.
  EXPECT_EQ(Io(kWait, {'B'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'B', 0x02}));
  std::vector<Note> rx = window.Notes(NoteWindow::kRxMessage);
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_EQ(rx[0].kind, 1);
  EXPECT_EQ(rx[0].value, 'A');
  EXPECT_TRUE(rx[0].duringCall);
  // The answer a transaction waits for is not notified.
  window.Pump(200);
  EXPECT_EQ(window.Notes(NoteWindow::kRxMessage).size(), 1u);
  EXPECT_EQ(CallbackLog::Rx().size(), 1u);
  EXPECT_TRUE(window.Notes(NoteWindow::kNetMessage).empty());

  // The status requests pump as well.
  EXPECT_EQ(Io(kEcrAnswerExpected, {'A'}), 0);
  Sleep(300);
  int status = 0;
  NoteWindow::inCall = true;
  EXPECT_EQ(d.SendStRq(1, 0, &status), 0);
  NoteWindow::inCall = false;
  rx = window.Notes(NoteWindow::kRxMessage);
  ASSERT_EQ(rx.size(), 2u);
  EXPECT_TRUE(rx[1].duringCall);

  // After CloseProt the ids and callbacks are gone.
  EXPECT_TRUE(d.CloseProt(0));
  ASSERT_TRUE(Open());
  EXPECT_EQ(Io(0, {'A'}), 0);
  window.Pump(500);
  EXPECT_EQ(window.Notes(NoteWindow::kRxMessage).size(), 2u);
  EXPECT_EQ(CallbackLog::Rx().size(), 2u);
}

// EcrIO without the wait flag: however fast the ECR answers, the answer is
// notified once, also when it is read before EcrIO has returned (here the
// window procedure holds this thread inside the send's wait while the
// ECR's immediate answer comes in).
TEST_F(SandoralNotify, AnImmediateAnswerAfterEcrIOWithoutWaitIsNotified) {
  ASSERT_TRUE(OpenWithTargets());
  ecr.SetDefaultReply(ecrsim::Reply::Echo());
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    CallbackLog::Clear();
    size_t posted = window.Notes(NoteWindow::kRxMessage).size();
    if (i % 2) PostMessageA(window.hwnd(), NoteWindow::kSlowMessage, 0, 80);
    const uint8_t tag = static_cast<uint8_t>('a' + i);
    ASSERT_EQ(Io(i % 4 < 2 ? 0u : static_cast<unsigned>(kEcrAnswerExpected), {'A', tag}), 0);
    DWORD start = GetTickCount();
    while (CallbackLog::Rx().empty() && ElapsedMs(start) < 1500) Sleep(5);
    ASSERT_EQ(Values(CallbackLog::Rx()), (std::vector<std::pair<int, int>>{{1, 'A'}}));
    window.Pump(20);
    EXPECT_EQ(window.Notes(NoteWindow::kRxMessage).size(), posted + 1);
    EcrMessage m;
    ASSERT_TRUE(d.GetEcrAnswer(1, &m));
    EXPECT_EQ(m.length, 1);
    EXPECT_EQ(m.data[0], tag);
  }
}

TEST_F(SandoralNotify, TwoFaultsNotifyOnceAndRecoveryOnceMore) {
  ASSERT_TRUE(OpenWithTargets());
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x01}));
  const int* lineStatus = reinterpret_cast<const int*>(d.Info()->field[kInfoLineStatus]);

  // The ECR drops the connection: the idle poll sees it.
  ecr.Close();
  DWORD start = GetTickCount();
  while (CallbackLog::Net().empty() && ElapsedMs(start) < 3000) Sleep(10);
  EXPECT_EQ(lineStatus[1], 3);
  // A second failure (the command cannot be sent) changes nothing.
  EXPECT_EQ(Io(kWait, {'A'}), kResultNotSent);
  EXPECT_EQ(extra, kResultLinkFailure);
  window.Pump(300);
  EXPECT_EQ(Values(window.Notes(NoteWindow::kNetMessage)),
            (std::vector<std::pair<int, int>>{{1, 3}}));
  EXPECT_EQ(Values(CallbackLog::Net()), (std::vector<std::pair<int, int>>{{1, 3}}));

  // A new connection and a good command: one more, with the fault cleared.
  std::string target = "127.0.0.1 " + std::to_string(ecr.Port());
  EXPECT_EQ(d.EcrIO(kControlNewAddress, 0, target.c_str(), 0, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(Io(kWait, {'A'}), 0);
  window.Pump(300);
  EXPECT_EQ(lineStatus[1], 1);
  EXPECT_EQ(Values(window.Notes(NoteWindow::kNetMessage)),
            (std::vector<std::pair<int, int>>{{1, 3}, {1, 1}}));
  EXPECT_EQ(Values(CallbackLog::Net()), (std::vector<std::pair<int, int>>{{1, 3}, {1, 1}}));
  EXPECT_TRUE(window.Notes(NoteWindow::kRxMessage).empty());
}

TEST_F(SandoralNotify, TargetsAreClearedByOpenProtAndShareOneWindow) {
  // Set before OpenProt: cleared by it.
  d.SetMessRxEvent(window.hwnd(), NoteWindow::kRxMessage);
  CallbackLog::Install();
  ASSERT_TRUE(Open());
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x01}));
  EXPECT_EQ(Io(0, {'A'}), 0);
  window.Pump(500);
  EXPECT_TRUE(window.Notes(NoteWindow::kRxMessage).empty());
  EXPECT_TRUE(CallbackLog::Rx().empty());

  // The last call decides the window for both kinds of message.
  NoteWindow other;
  d.SetMessRxEvent(window.hwnd(), NoteWindow::kRxMessage);
  d.SetMessNetChange(other.hwnd(), NoteWindow::kNetMessage);
  EXPECT_EQ(Io(0, {'A'}), 0);
  other.Pump(500);
  std::vector<Note> rx = other.Notes(NoteWindow::kRxMessage);
  ASSERT_EQ(rx.size(), 1u);
  EXPECT_EQ(rx[0].value, 'A');
}

}  // namespace
}  // namespace linkdrv_test
