// Faults on the wire and on the connection: noise, lower-case digits, two
// frames at once, an over-long frame, a connection that closes during a
// wait, and an ECR that falls silent in the middle of a frame.
#include <thread>

#include "driver_fixture.h"

namespace linkdrv_test {
namespace {

using namespace linkdrv;
constexpr unsigned kWait = kEcrAnswerExpected | kEcrWaitAnswer;

TEST_F(SandoralTest, WireFaultsAroundAnswers) {
  ASSERT_TRUE(Open("OnLine=0"));

  // Noise and a stray carriage return before '@', lower-case digits.
  ecrsim::Reply noisy = ecrsim::Reply::Answer({'A', 0xAB, 0xCD}, 200);
  noisy.style.before = {'x', 0x0D, 'y'};
  noisy.style.lowerCaseHex = true;
  ecr.OnCommand('A', noisy);
  EXPECT_EQ(Io(kWait, {'A'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 0xAB, 0xCD}));

  // An over-long frame with no carriage return, then the answer.
  ecrsim::Reply overlong = ecrsim::Reply::Answer({'O', 0x05}, 200);
  overlong.style.before = ecrsim::Simulator::OverlongHexLine(600);
  ecr.OnCommand('O', overlong);
  EXPECT_EQ(Io(kWait, {'O'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'O', 0x05}));

  // A lone last digit is dropped.
  ecrsim::Reply lone = ecrsim::Reply::Answer({'L', 0x12}, 200);
  lone.style.loneDigit = true;
  ecr.OnCommand('L', lone);
  EXPECT_EQ(Io(kWait, {'L'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'L', 0x12}));

  // Two frames pending at once (the idle poll comes every 200 ms with
  // OnLine 0): the first is dropped, the next poll delivers the second.
  EcrMessage m;
  ecr.SendTogether({{'T', 0x01}, {'T', 0x02}});
  DWORD start = GetTickCount();
  while (!d.GetEcrAnswer(1, &m) && ElapsedMs(start) < 2000) Sleep(20);
  EXPECT_EQ(m.code, 'T');
  EXPECT_EQ(m.length, 1);
  EXPECT_EQ(m.data[0], 0x02);
  Sleep(500);
  EXPECT_FALSE(d.GetEcrAnswer(1, &m));
}

TEST_F(SandoralTest, ClosedConnectionDuringAWaitEndsWithAResult) {
  NoteWindow window;
  std::string log = TempPath("linkdrv_lost.txt");
  ASSERT_TRUE(Open("OnLine=1,LogLevel=2,LogFileName='" + log + "'"));
  d.SetMessNetChange(window.hwnd(), NoteWindow::kNetMessage);
  ecr.OnCommand('N', ecrsim::Reply::NoAnswer());

  // A graceful close 300 ms into the wait.
  std::thread closer([this] {
    Sleep(300);
    ecr.Close();
  });
  DWORD start = GetTickCount();
  EXPECT_EQ(Io(kWait, {'N'}), kResultAnswerTimeout);
  DWORD elapsed = ElapsedMs(start);
  closer.join();
  EXPECT_EQ(extra, kResultAnswerTimeoutExtra);
  EXPECT_LT(elapsed, 5000u);  // the status after the first slice shows the dead line
  std::vector<Note> net = window.Notes(NoteWindow::kNetMessage);
  ASSERT_EQ(net.size(), 1u);
  EXPECT_EQ(net[0].value, 3);
  EXPECT_TRUE(net[0].duringCall);

  // A reset during the long wait: each failed status request is tolerated
  // for one more wait, the seventh ends it.
  std::string target = "127.0.0.1 " + std::to_string(ecr.Port());
  ASSERT_EQ(d.EcrIO(kControlNewAddress, 0, target.c_str(), 0, nullptr, nullptr, nullptr), 0);
  ASSERT_TRUE(ecr.WaitForConnection(2000));
  std::thread resetter([this] {
    Sleep(300);
    ecr.Reset();
  });
  start = GetTickCount();
  EXPECT_EQ(Io(kWait | kEcrLongWait, {'N'}), kResultAnswerTimeout);
  elapsed = ElapsedMs(start);
  resetter.join();
  EXPECT_GT(elapsed, 20000u);
  EXPECT_LT(elapsed, 32000u);
  int statusReads = 0;
  for (const std::string& line : ReadLines(log)) {
    if (line.find("STATUS READ Result-Code=99") != std::string::npos) ++statusReads;
  }
  EXPECT_EQ(statusReads, 1 + 7);
  // Closing after all that is prompt and clean.
  start = GetTickCount();
  EXPECT_TRUE(d.CloseProt(0));
  EXPECT_LT(ElapsedMs(start), 1000u);
}

TEST_F(SandoralTest, CloseProtReturnsWithinASecondWhenTheEcrFallsSilentMidFrame) {
  for (int round = 0; round < 3; ++round) {
    ecr.SetMute(false);
    ASSERT_TRUE(Open("OnLine=0"));
    ecrsim::Reply cut = ecrsim::Reply::Answer({'A', 1, 2, 3, 4, 5});
    cut.style.cutAfter = 4;  // "@A01", then nothing
    ecr.OnCommand('A', cut);
    EXPECT_EQ(Io(kEcrAnswerExpected, {'A'}), 0);
    Sleep(150 + round * 300);  // the link thread is inside the frame's read
    DWORD start = GetTickCount();
    EXPECT_TRUE(d.CloseProt(0));
    EXPECT_LT(ElapsedMs(start), 1000u) << "round " << round;
  }
  // The stopped threads are gone: a new link works normally.
  ecr.SetMute(false);
  ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 9}));
  ASSERT_TRUE(Open());
  EXPECT_EQ(Io(kWait, {'A'}), 0);
  EXPECT_EQ(AnswerBytes(), (Bytes{'A', 9}));
}

}  // namespace
}  // namespace linkdrv_test
