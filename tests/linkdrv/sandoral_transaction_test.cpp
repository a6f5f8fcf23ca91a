// EcrIO transactions, GetEcrAnswer and the status requests against the
// simulated ECR, with the wire bytes checked on the ECR's side.
#include "driver_fixture.h"

namespace linkdrv_test {
namespace {

using namespace linkdrv;
constexpr unsigned kWait = kEcrAnswerExpected | kEcrWaitAnswer;

TEST_F(SandoralTest, EcrIOFlagsAnswersAndErrors) {
  ASSERT_TRUE(Open());
  ecr.ClearRecord();

  // Flags 3: the answer comes back whole; the wire carries the hex line.
  ecr.OnCommand(0x31, ecrsim::Reply::Answer({0x31, 0x0A, 0x1B}));
  EXPECT_EQ(Io(kWait, {0x31, 0x00, 0xFF}), 0);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{0x31, 0x0A, 0x1B}));
  EXPECT_EQ(d.LastError(), 0);
  ecrsim::Record record = ecr.Snapshot();
  ASSERT_EQ(record.Messages().size(), 1u);
  EXPECT_EQ(record.Messages()[0], (Bytes{0x31, 0x00, 0xFF}));
  EXPECT_EQ(record.received, (Bytes{0x40, 0x31, 0x30, 0x30, 0x46, 0x46, 0x0D}));

  // An error answer: 8, the ECR's error byte as extra result, both bytes kept.
  ecr.OnCommand('P', ecrsim::Reply::Error(0x05));
  EXPECT_EQ(Io(kWait, {'P', 1}), kResultErrorAnswer);
  EXPECT_EQ(extra, 5);
  EXPECT_EQ(AnswerBytes(), (Bytes{'E', 0x05}));
  EXPECT_EQ(d.LastError(), kResultErrorAnswer);
  ecr.OnCommand('Q', ecrsim::Reply::Error(0xF0));
  EXPECT_EQ(Io(kWait, {'Q'}), kResultErrorAnswer);
  EXPECT_EQ(extra, -16);  // sign-extended

  // ECR number 2: not sent, 2 with extra 3.
  EXPECT_EQ(Io(kWait, {'A'}, 2), kResultNotSent);
  EXPECT_EQ(extra, kResultBadEcrNumber);
  EXPECT_EQ(d.LastError(), kResultNotSent);
  // A command that no line frame holds: not sent either.
  EXPECT_EQ(Io(kWait, Bytes(128, 'Z')), kResultNotSent);
  EXPECT_EQ(extra, kResultLinkFailure);
  EXPECT_EQ(Io(kWait, {}), kResultNotSent);

  // Flags 0x0B: the long slice; an answer after 2.5 s is still taken.
  ecr.OnCommand('L', ecrsim::Reply::Answer({'L', 0x01}, 2500));
  EXPECT_EQ(Io(kWait | kEcrLongWait, {'L'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'L', 0x01}));

  // Flags 0x13: restart-while-idle; the answer after two 2 s slices.
  ecr.OnCommand('R', ecrsim::Reply::Answer({'R', 0x02}, 4500));
  DWORD start = GetTickCount();
  EXPECT_EQ(Io(kWait | kEcrRestartWhileIdle, {'R'}), 0);
  EXPECT_GE(ElapsedMs(start), 4400u);
  EXPECT_EQ(AnswerBytes(), (Bytes{'R', 0x02}));
  EXPECT_EQ(ecr.Snapshot().Messages().size(), 5u);  // no "I" pokes: the status never asks for one
}

TEST_F(SandoralTest, WithoutWaitTheAnswerIsFetchedLater) {
  ASSERT_TRUE(Open());
  EcrMessage m;
  std::memset(&m, 0xCC, sizeof m);
  EXPECT_FALSE(d.GetEcrAnswer(1, &m));
  EXPECT_EQ(d.LastError(), kResultNothing);

  // Flags 0: back as soon as the command is out.
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x10, 0x20}, 400));
  DWORD start = GetTickCount();
  EXPECT_EQ(Io(0, {'A'}), 0);
  EXPECT_LT(ElapsedMs(start), 300u);
  EXPECT_EQ(d.LastError(), 0);
  EXPECT_EQ(extra, 0);
  EXPECT_EQ(answerLength, -1);  // untouched
  EXPECT_FALSE(d.GetEcrAnswer(1, &m));
  EXPECT_EQ(d.LastError(), kResultNothing);

  NoteWindow window;
  window.Pump(1000);
  ASSERT_TRUE(d.GetEcrAnswer(7, &m));
  EXPECT_EQ(d.LastError(), 0);
  EXPECT_EQ(m.ecrNumber, 7);
  EXPECT_EQ(m.code, 'A');
  EXPECT_EQ(m.length, 2);
  EXPECT_EQ(m.data[0], 0x10);
  EXPECT_EQ(m.data[1], 0x20);
  EXPECT_FALSE(d.GetEcrAnswer(1, &m));  // consumed

  // Flags 1: the answer window opens, still no wait.
  ecr.OnCommand('B', ecrsim::Reply::Answer({'B'}));
  EXPECT_EQ(Io(kEcrAnswerExpected, {'B', 0x00}), 0);
  window.Pump(500);
  // A one-byte message from the ECR is a 3-byte frame, which carries
  // nothing; a frame that follows it within the second is dropped with it.
  EXPECT_FALSE(d.GetEcrAnswer(1, &m));
  window.Pump(1000);
  ecr.Send({'B', 0x7F});
  window.Pump(500);
  ASSERT_TRUE(d.GetEcrAnswer(1, &m));
  EXPECT_EQ(m.code, 'B');
  EXPECT_EQ(m.length, 1);

  // SendData only sends.
  ecr.ClearRecord();
  EXPECT_TRUE(d.SendData(1, "XYZ", 3));
  EXPECT_TRUE(ecr.WaitForMessages(1, 2000));
  EXPECT_FALSE(d.SendData(3, "XYZ", 3));
  EXPECT_EQ(d.LastError(), kResultBadEcrNumber);
}

TEST_F(SandoralTest, StatusRequests) {
  ASSERT_TRUE(Open("OnLine=1,LogLevel=2,LogFileName='" + TempPath("linkdrv_status.txt") + "'"));
  ecr.ClearRecord();
  int status = -1;
  EXPECT_EQ(d.SendStRq(0, 0, &status), kResultBadEcrNumber);
  EXPECT_EQ(status, -1);
  // The line has no plain status: nothing goes out, the status byte reads 0.
  EXPECT_EQ(d.SendStRq(1, 0, &status), 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(d.SendStRq(1, 1, nullptr), 0);
  status = -1;
  EXPECT_TRUE(d.GetEcrIStatus(1, &status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(d.LastError(), 0);
  EXPECT_FALSE(d.GetEcrIStatus(2, &status));
  EXPECT_EQ(d.LastError(), kResultBadEcrNumber);
  EXPECT_TRUE(ecr.Snapshot().received.empty());

  // The extended request asks with "S"; the block is logged, not stored.
  int length = -1;
  char data[16];
  std::memset(data, 0x5A, sizeof data);
  EXPECT_EQ(d.SendStExRq(1, 0, &status, &length, data), 0);
  EXPECT_EQ(ecr.GetCounters().extStatusRequests, 1);
  EXPECT_EQ(ecr.Snapshot().received, (Bytes{'@', 'S', 0x0D}));
  EXPECT_EQ(status, 0x10);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(data[0], 0x5A);
  EXPECT_EQ(d.SendStExRq(1, 1, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(d.SendStExRq(0, 0, &status, &length, data), kResultBadEcrNumber);

  // An ECR that does not answer "S": the read fails and the line faults.
  ecrsim::StatusReply silent;
  silent.silent = true;
  ecr.QueueExtStatusReplies({silent});
  EXPECT_EQ(d.SendStExRq(1, 0, &status, &length, data), kResultLinkFailure);
  // The thread sets the fault bit right after it has signalled the request.
  const int* lineStatus = reinterpret_cast<const int*>(d.Info()->field[kInfoLineStatus]);
  auto settles = [&](int expected) {
    DWORD start = GetTickCount();
    while (lineStatus[1] != expected && ElapsedMs(start) < 1000) Sleep(5);
    return lineStatus[1];
  };
  EXPECT_EQ(settles(3), 3);
  EXPECT_EQ(d.SendStExRq(1, 0, &status, &length, data), 0);
  EXPECT_EQ(settles(1), 1);
}

// The ECR has begun to send (its collision frame is waiting) as a command
// is to go out: the thread reads the ECR's message first, and when it
// answers that command, the command is done without being sent. With
// OnLine 0 the idle poll waits 200 ms, so the ECR's frames are usually
// still unread when EcrIO wakes the thread; when a poll takes them first
// the round is tried again.
TEST_F(SandoralTest, CollisionBeforeACommandIsReadFirst) {
  ASSERT_TRUE(Open("OnLine=0"));
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 2}));
  ecrsim::FrameStyle collisionFirst;
  collisionFirst.collisionFirst = true;
  bool readFirst = false;
  for (int round = 0; round < 5 && !readFirst; ++round) {
    ecr.ClearRecord();
    ecr.Send({'A', 7}, collisionFirst);
    ASSERT_TRUE(ecr.Flush());
    ASSERT_EQ(Io(kWait, {'A', 1}), 0);
    readFirst = AnswerBytes() == Bytes{'A', 7} && ecr.Messages().empty();
    Sleep(300);
    EcrMessage m;
    while (d.GetEcrAnswer(1, &m)) {
    }
  }
  EXPECT_TRUE(readFirst);
  // The next command goes out as usual.
  EXPECT_EQ(Io(kWait, {'A', 3}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 2}));
}

// The full answer limit: about 120 s with one status request per 2 s
// slice, the progress callback once per slice, then the late answer is
// still delivered and fetched with GetEcrAnswer. Asked to restart while the
// ECR is idle (0x10): the line has no status byte to show that, so the
// limit is never restarted and this wait too ends.
std::atomic<int> g_progressCalls{0};
void WINAPI OnProgress(int ecrNumber, int a, int b, const char* text, int* counter) {
  if (ecrNumber == 1 && a == 0 && b == 0 && std::string(text) == "Executing..." && counter &&
      *counter == 0) {
    ++g_progressCalls;
  }
}

TEST_F(SandoralTest, NoAnswerTimesOutAfterTwoMinutes) {
  std::string log = TempPath("linkdrv_timeout.txt");
  ASSERT_TRUE(Open("OnLine=1,LogLevel=2,LogFileName='" + log + "'"));
  CallbackLog::Install();
  d.Info()->field[kInfoProgressCallback] = reinterpret_cast<intptr_t>(&OnProgress);
  ecr.OnCommand('N', ecrsim::Reply::NoAnswer());

  DWORD start = GetTickCount();
  EXPECT_EQ(Io(kWait | kEcrRestartWhileIdle, {'N', 0x01}), kResultAnswerTimeout);
  DWORD elapsed = ElapsedMs(start);
  EXPECT_EQ(extra, kResultAnswerTimeoutExtra);
  EXPECT_EQ(d.LastError(), kResultAnswerTimeout);
  EXPECT_GE(elapsed, 119000u);
  EXPECT_LE(elapsed, 125000u);
  EXPECT_GE(g_progressCalls.load(), 59);
  EXPECT_LE(g_progressCalls.load(), 61);
  EXPECT_TRUE(CallbackLog::Rx().empty());

  // The answer that comes after the time-out raises a notification and
  // waits for GetEcrAnswer.
  ecr.Send({'N', 0x55});
  DWORD wait = GetTickCount();
  while (CallbackLog::Rx().empty() && ElapsedMs(wait) < 3000) Sleep(20);
  ASSERT_EQ(CallbackLog::Rx().size(), 1u);
  EXPECT_EQ(CallbackLog::Rx()[0].kind, 1);
  EXPECT_EQ(CallbackLog::Rx()[0].value, 'N');
  EcrMessage m;
  ASSERT_TRUE(d.GetEcrAnswer(1, &m));
  EXPECT_EQ(m.code, 'N');
  EXPECT_EQ(m.length, 1);
  EXPECT_EQ(m.data[0], 0x55);
  EXPECT_TRUE(d.CloseProt(0));

  int statusRequests = 0;
  for (const std::string& line : ReadLines(log)) {
    if (line.find("STATUS REQUEST START") != std::string::npos) ++statusRequests;
  }
  EXPECT_EQ(statusRequests, g_progressCalls.load());
}

}  // namespace
}  // namespace linkdrv_test
