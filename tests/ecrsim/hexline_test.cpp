// The simulator speaking hex-text lines, driven by a raw client.
#include <gtest/gtest.h>

#include "raw_client.h"

using ecrsim::Bytes;
using ecrsim::EventKind;
using ecrsim::FrameStyle;
using ecrsim::Reply;
using ecrsim::Simulator;
using ecrsim::Wire;
using ecrsim_test::Concat;
using ecrsim_test::RawClient;
using ecrsim_test::Text;

namespace {

class HexLineSim : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ecr_.Start();
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(client_.Connect(port_));
    ASSERT_TRUE(ecr_.WaitForConnection(2000));
  }
  Bytes Frame(const Bytes& m, const FrameStyle& s = {}) { return Simulator::EncodeHexLine(m, s); }

  Simulator ecr_{Wire::kHexLine};
  RawClient client_;
  uint16_t port_ = 0;
};

TEST(HexLineEncoding, FramesAreByteForByte) {
  EXPECT_EQ(Simulator::EncodeHexLine({'I'}), (Bytes{0x40, 0x49, 0x0D}));
  EXPECT_EQ(Simulator::EncodeHexLine({0x31, 0x00, 0xFF}),
            (Bytes{0x40, 0x31, 0x30, 0x30, 0x46, 0x46, 0x0D}));
  FrameStyle lower;
  lower.lowerCaseHex = true;
  EXPECT_EQ(Simulator::EncodeHexLine({'A', 0x0A, 0x1B}, lower), Text("@A0a1b\r"));
  FrameStyle lone;
  lone.loneDigit = true;
  EXPECT_EQ(Simulator::EncodeHexLine({'A', 0x0A}, lone), Text("@A0A7\r"));
  FrameStyle open;
  open.noTerminator = true;
  EXPECT_EQ(Simulator::EncodeHexLine({'A', 0xC3}, open), Text("@AC3"));
  Bytes overlong = Simulator::OverlongHexLine(300);
  EXPECT_EQ(overlong.size(), 302u);
  EXPECT_EQ(overlong[0], '@');
  EXPECT_EQ(std::count(overlong.begin(), overlong.end(), 0x0D), 0);
}

TEST_F(HexLineSim, AnswersCommandsByTheirCode) {
  ecr_.OnCommand('A', Reply::Answer({'A', 0x01, 0xFE}));
  ecr_.OnCommand('B', Reply::Error(0x05));
  ecr_.OnCommand('N', Reply::NoAnswer());
  ecr_.OnceOnCommand('A', Reply::Answer({'a'}));

  ASSERT_TRUE(client_.Send(Text("@A0102\r")));
  EXPECT_EQ(client_.Read(3), Text("@a\r"));  // the one-time reply first
  ASSERT_TRUE(client_.Send(Text("@A\r")));
  EXPECT_EQ(client_.Read(7), Text("@A01FE\r"));
  ASSERT_TRUE(client_.Send(Text("@B\r")));
  EXPECT_EQ(client_.Read(5), Text("@E05\r"));
  ASSERT_TRUE(client_.Send(Text("@Z7F\r")));  // no rule: echoed
  EXPECT_EQ(client_.Read(5), Text("@Z7F\r"));
  ASSERT_TRUE(client_.Send(Text("@N\r")));
  EXPECT_TRUE(client_.ReadFor(300).empty());

  ASSERT_TRUE(ecr_.WaitForMessages(5, 2000));
  std::vector<Bytes> expected{{'A', 1, 2}, {'A'}, {'B'}, {'Z', 0x7F}, {'N'}};
  EXPECT_EQ(ecr_.Messages(), expected);
  ecrsim::Record r = ecr_.Snapshot();
  EXPECT_EQ(r.Of(EventKind::kMessage)[0].raw, Text("@A0102\r"));
  EXPECT_EQ(r.received, Text("@A0102\r@A\r@B\r@Z7F\r@N\r"));
  EXPECT_EQ(r.sent, Text("@a\r@A01FE\r@E05\r@Z7F\r"));
  EXPECT_EQ(r.counters.messages, 5);
  EXPECT_EQ(r.counters.framesSent, 4);
}

TEST_F(HexLineSim, DecodesDriverFramesAndFlagsSloppyOnes) {
  ecr_.SetDefaultReply(Reply::NoAnswer());
  // Noise before '@' is recorded as stray bytes; lower case and a lone
  // digit still decode, but are marked.
  ASSERT_TRUE(client_.Send(Text("xy\r@C0a\r@D123\r@E12\r")));
  ASSERT_TRUE(ecr_.WaitForMessages(3, 2000));
  ecrsim::Record r = ecr_.Snapshot();
  std::vector<ecrsim::Event> m = r.Of(EventKind::kMessage);
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0].message, (Bytes{'C', 0x0A}));
  EXPECT_FALSE(m[0].wellFormed);
  EXPECT_EQ(m[1].message, (Bytes{'D', 0x12}));
  EXPECT_FALSE(m[1].wellFormed);
  EXPECT_EQ(m[2].message, (Bytes{'E', 0x12}));
  EXPECT_TRUE(m[2].wellFormed);
  EXPECT_EQ(r.Of(EventKind::kStray).size(), 3u);
}

TEST_F(HexLineSim, DelaysAnswersAsScripted) {
  ecr_.OnCommand('D', Reply::Answer({'D', 0x42}, 400));
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(client_.Send(Text("@D\r")));
  EXPECT_TRUE(client_.ReadFor(250).empty());
  EXPECT_EQ(client_.Read(5, 2000), Text("@D42\r"));
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_GE(ms, 390);
  EXPECT_LT(ms, 1500);
}

TEST_F(HexLineSim, AnswersStatusControlFrame) {
  ecr_.SetEcrSequence(0x21);
  ecr_.SetStatusByte(0x24);
  ecrsim::StatusReply custom;
  custom.block = {9, 8, 7};
  ecrsim::StatusReply silent;
  silent.silent = true;
  ecrsim::StatusReply bare;
  bare.bare = true;
  ecr_.QueueExtStatusReplies({{}, custom, bare, silent});

  ASSERT_TRUE(client_.Send(Text("@S\r")));
  EXPECT_EQ(client_.Read(13), Text("@S2100002400\r"));
  ASSERT_TRUE(client_.Send(Text("@S\r")));
  EXPECT_EQ(client_.Read(9), Text("@S090807\r"));
  ASSERT_TRUE(client_.Send(Text("@S\r")));
  EXPECT_EQ(client_.Read(3), Text("@S\r"));
  ASSERT_TRUE(client_.Send(Text("@S\r")));
  EXPECT_TRUE(client_.ReadFor(300).empty());

  ecrsim::Record r = ecr_.Snapshot();
  EXPECT_EQ(r.counters.extStatusRequests, 4);
  EXPECT_EQ(r.counters.messages, 0);  // status requests are not commands
  ASSERT_EQ(r.StatusRequestTimes().size(), 4u);
  EXPECT_LE(r.StatusRequestTimes()[0], r.StatusRequestTimes()[1]);
}

TEST_F(HexLineSim, SendsFaultyFramesExactly) {
  FrameStyle noisy;
  noisy.before = {'#', 0x0D, 0x0D};
  noisy.lowerCaseHex = true;
  ecr_.Send({'X', 0xAB}, noisy);
  EXPECT_EQ(client_.Read(9), Text("#\r\r@Xab\r"));

  FrameStyle lone;
  lone.loneDigit = true;
  ecr_.Send({'L', 0x01}, lone);
  EXPECT_EQ(client_.Read(6), Text("@L017\r"));

  ecr_.SendTogether({{'A', 1}, {'B', 2}});
  EXPECT_EQ(client_.Read(10), Text("@A01\r@B02\r"));

  ecr_.SendCollision();
  EXPECT_EQ(client_.Read(4), (Bytes{'@', 0x10, '0', 0x0D}));

  ecr_.SendRaw(Simulator::OverlongHexLine(280));
  EXPECT_EQ(client_.Read(282).size(), 282u);

  // The collision frame, then the frame after the gap.
  FrameStyle collide;
  collide.collisionFirst = true;
  collide.collisionGapMs = 300;
  ecr_.Send({'K', 0x11}, collide);
  EXPECT_EQ(client_.Read(4), (Bytes{'@', 0x10, '0', 0x0D}));
  EXPECT_TRUE(client_.ReadFor(200).empty());
  EXPECT_EQ(client_.Read(5), Text("@K11\r"));
  EXPECT_EQ(ecr_.GetCounters().framesSent, 5);
}

TEST_F(HexLineSim, GoesSilentMidFrame) {
  FrameStyle cut;
  cut.cutAfter = 3;
  ecr_.OnCommand('A', Reply{{{'A', 0x12, 0x34}}, 0, cut});
  ASSERT_TRUE(client_.Send(Text("@A\r")));
  EXPECT_EQ(client_.Read(7, 500), Text("@A1"));
  // From now on it reads and records, but never writes.
  ASSERT_TRUE(client_.Send(Text("@A\r@S\r")));
  EXPECT_TRUE(client_.ReadFor(300).empty());
  EXPECT_TRUE(ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.messages == 2; }, 2000));
  EXPECT_EQ(ecr_.GetCounters().extStatusRequests, 1);
}

TEST_F(HexLineSim, MuteListenerAcceptsAndNeverSpeaks) {
  ecr_.SetMute(true);
  ASSERT_TRUE(client_.Send(Text("@S\r@A01\r")));
  EXPECT_TRUE(client_.ReadFor(300).empty());
  EXPECT_TRUE(ecr_.WaitForMessages(1, 1000));
  ecr_.Send({'Q'});
  EXPECT_TRUE(client_.ReadFor(200).empty());
  EXPECT_TRUE(ecr_.Snapshot().sent.empty());
  ecr_.SetMute(false);
  ASSERT_TRUE(client_.Send(Text("@A01\r")));
  EXPECT_EQ(client_.Read(5), Text("@A01\r"));
}

TEST_F(HexLineSim, ClosesOrResetsAndAcceptsAgain) {
  ecr_.Close();
  EXPECT_TRUE(client_.ReadFor(1000).empty());
  EXPECT_EQ(client_.LastRecv(), 0);  // orderly end of stream
  EXPECT_TRUE(client_.Send(Text("@A\r")));
  EXPECT_TRUE(ecr_.WaitFor(
      [](const ecrsim::Record& r) { return !r.Of(EventKind::kDisconnected).empty(); }, 2000));
  EXPECT_FALSE(ecr_.Connected());

  ASSERT_TRUE(client_.Connect(port_));
  ASSERT_TRUE(ecr_.WaitForConnection(2000));
  ASSERT_TRUE(client_.Send(Text("@A01\r")));
  EXPECT_EQ(client_.Read(5), Text("@A01\r"));
  ecr_.Reset();
  // Wine reports the reset to a reader as an end of stream; the first send
  // after it fails at once (after a graceful close the first send still goes).
  EXPECT_TRUE(client_.ReadFor(1000).empty());
  EXPECT_LE(client_.LastRecv(), 0);
  Sleep(50);
  EXPECT_FALSE(client_.Send(Text("@A\r")));
  EXPECT_EQ(client_.LastError(), WSAECONNRESET);
  EXPECT_EQ(ecr_.GetCounters().connections, 2);

  // A driver that drops the connection is seen too.
  ASSERT_TRUE(client_.Connect(port_));
  ASSERT_TRUE(ecr_.WaitForConnection(2000));
  client_.Close();
  EXPECT_TRUE(ecr_.WaitFor(
      [](const ecrsim::Record& r) { return r.Of(EventKind::kDisconnected).size() == 3; }, 2000));
}

TEST_F(HexLineSim, StopEndsAtOnceWhateverIsPending) {
  ecr_.OnCommand('A', Reply::Answer({'A', 1}, 10000));
  ASSERT_TRUE(client_.Send(Text("@A\r")));
  ASSERT_TRUE(ecr_.WaitForMessages(1, 2000));
  ecr_.Send(Simulator::OverlongHexLine(10));
  auto t0 = std::chrono::steady_clock::now();
  ecr_.Stop();
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
          .count();
  EXPECT_LT(ms, 1000);
  client_.ReadFor(1000);
  EXPECT_EQ(client_.LastRecv(), 0);
  RawClient late;
  EXPECT_FALSE(late.Connect(port_));
  ecr_.Stop();  // twice is harmless
}

}  // namespace

namespace {

// A simulator that runs for days stays the same size: it keeps the latest
// events and bytes, counts all of them, and EventsSince hands each event
// out once, in order, however many were dropped before it.
TEST_F(HexLineSim, RecordKeepsTheLatestEventsAndCountsAll) {
  ecr_.OnCommand('N', Reply::NoAnswer());
  constexpr int kCommands = 3 * static_cast<int>(ecrsim::Record::kEventsKept);
  Bytes burst;
  for (int i = 0; i < kCommands; ++i) {
    const Bytes frame = Frame({'N', static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  uint64_t next = 0;
  std::vector<ecrsim::Event> seen = ecr_.EventsSince(&next);  // connected
  ASSERT_TRUE(client_.Send(burst));
  ASSERT_TRUE(ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.messages == kCommands; },
                           20000));
  const ecrsim::Record r = ecr_.Snapshot();
  EXPECT_LT(r.events.size(), 2 * ecrsim::Record::kEventsKept);
  EXPECT_EQ(r.eventsDropped + r.events.size(), kCommands + 1u);
  EXPECT_LT(r.received.size(), 2 * ecrsim::Record::kBytesKept);
  EXPECT_EQ(Bytes(burst.end() - r.received.size(), burst.end()), r.received);
  // The latest events, in order, each once.
  const std::vector<ecrsim::Event> latest = ecr_.EventsSince(&next);
  EXPECT_EQ(next, kCommands + 1u);
  ASSERT_EQ(latest.size(), r.events.size());
  for (size_t i = 0; i < latest.size(); ++i) {
    const int n = kCommands - static_cast<int>(latest.size()) + static_cast<int>(i);
    EXPECT_EQ(latest[i].message,
              (Bytes{'N', static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)}));
  }
  EXPECT_TRUE(ecr_.EventsSince(&next).empty());
  ecr_.ClearRecord();
  ASSERT_TRUE(client_.Send(Frame({'N'})));
  ASSERT_TRUE(ecr_.WaitForMessages(1, 2000));
  EXPECT_EQ(ecr_.EventsSince(&next).size(), 1u);
}

}  // namespace
