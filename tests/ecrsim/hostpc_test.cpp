// The simulator speaking host-PC frames, driven by a raw client.
#include <gtest/gtest.h>

#include "raw_client.h"

using ecrsim::Bytes;
using ecrsim::EventKind;
using ecrsim::FrameStyle;
using ecrsim::LinkReply;
using ecrsim::Reply;
using ecrsim::Simulator;
using ecrsim::StatusReply;
using ecrsim::Wire;
using ecrsim_test::Concat;
using ecrsim_test::RawClient;

namespace {

constexpr uint8_t ACK = 0x06, NAK = 0x15, CAN = 0x18, BEL = 0x07, DLE = 0x10;

Bytes Frame(uint8_t seq, const Bytes& m, const FrameStyle& s = {}) {
  return Simulator::EncodeHostPc(seq, m, s);
}

class HostPcSim : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = ecr_.Start();
    ASSERT_NE(port_, 0);
    ASSERT_TRUE(client_.Connect(port_));
    ASSERT_TRUE(ecr_.WaitForConnection(2000));
    ecr_.SetDefaultReply(Reply::NoAnswer());
  }

  Simulator ecr_{Wire::kHostPc};
  RawClient client_;
  uint16_t port_ = 0;
};

TEST(HostPcEncoding, StuffsDleAndNeverDoublesTheCheckByte) {
  // "I" after sequence counter 0x0F: sequence number 0x10, doubled.
  EXPECT_EQ(Frame(0x10, {'I'}), (Bytes{DLE, 0x02, DLE, DLE, 0, 0, 0, 'I', DLE, 0x03, 0x5A}));
  // 0x10 in the header and the data is doubled and counted once.
  FrameStyle h;
  h.header[1] = 0x10;
  EXPECT_EQ(Frame(1, {'A', 0x10, 0x20}, h),
            (Bytes{DLE, 0x02, 1, 0, DLE, DLE, 0, 'A', DLE, DLE, 0x20, DLE, 0x03,
                   static_cast<uint8_t>(1 ^ 0x10 ^ 'A' ^ 0x10 ^ 0x20 ^ 0x03)}));
  // A check byte of 0x10 goes out once.
  Bytes f = Frame(0, {'A', 0x52});
  EXPECT_EQ(f, (Bytes{DLE, 0x02, 0, 0, 0, 0, 'A', 0x52, DLE, 0x03, DLE}));
  FrameStyle noCheck;
  noCheck.noCheck = true;
  EXPECT_EQ(Frame(0, {'A'}, noCheck).size(), 9u);
  uint8_t inner[4] = {7, 9, 8, 6};
  EXPECT_EQ(Simulator::WrapInI({'X', 1}), (Bytes{'I', 0, 0, 0, 0, 'X', 1}));
  EXPECT_EQ(Simulator::WrapInI({'A'}, inner), (Bytes{'I', 7, 9, 8, 6, 'A'}));
}

TEST_F(HostPcSim, AcknowledgesGoodFramesAndAnswers) {
  ecr_.OnCommand('A', Reply::Answer({'A', 0x10, 0x01}));
  ASSERT_TRUE(client_.Send(Frame(5, {'A', 0x33})));
  Bytes answer = Frame(1, {'A', 0x10, 0x01});
  EXPECT_EQ(client_.Read(1 + answer.size()), Concat({{ACK}, answer}));
  ASSERT_TRUE(client_.Send({ACK}));
  ASSERT_TRUE(ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.acks == 1; }, 2000));

  ecrsim::Record r = ecr_.Snapshot();
  std::vector<ecrsim::Event> m = r.Of(EventKind::kMessage);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m[0].sequence, 5);
  EXPECT_EQ(m[0].message, (Bytes{'A', 0x33}));
  EXPECT_EQ(m[0].raw, Frame(5, {'A', 0x33}));
  std::vector<ecrsim::Event> sent = r.Of(EventKind::kFrameSent);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].sequence, 1);
  EXPECT_EQ(r.Of(EventKind::kLinkReply)[0].byte, ACK);

  // The ECR's own sequence number goes on with each new frame.
  ASSERT_TRUE(client_.Send(Frame(6, {'A'})));
  Bytes second = Frame(2, {'A', 0x10, 0x01});
  EXPECT_EQ(client_.Read(1 + second.size()), Concat({{ACK}, second}));
}

TEST_F(HostPcSim, RejectsBadFramesAndRepliesAsScripted) {
  Bytes bad = Frame(3, {'B'});
  bad.back() ^= 1;
  ASSERT_TRUE(client_.Send(bad));
  EXPECT_EQ(client_.Read(1), (Bytes{NAK}));

  // NAK twice then ACK: the frame is executed once, after the third copy.
  ecr_.OnCommand('B', Reply::Answer({'b'}));
  ecr_.QueueLinkReplies({LinkReply::Nak(), LinkReply::Nak()});
  Bytes good = Frame(3, {'B'});
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(client_.Send(good));
    EXPECT_EQ(client_.Read(1), (Bytes{NAK}));
  }
  EXPECT_TRUE(client_.ReadFor(100).empty());
  ASSERT_TRUE(client_.Send(good));
  Bytes answer = Frame(1, {'b'});
  EXPECT_EQ(client_.Read(1 + answer.size()), Concat({{ACK}, answer}));
  ASSERT_TRUE(client_.Send({ACK}));

  // CAN, BEL, a raw byte, silence: none of them executes the frame.
  ecr_.QueueLinkReplies(
      {LinkReply::Can(), LinkReply::Bel(), LinkReply::Raw(0x42), LinkReply::Silence()});
  for (uint8_t expected : {CAN, BEL, uint8_t{0x42}}) {
    ASSERT_TRUE(client_.Send(Frame(4, {'B'})));
    EXPECT_EQ(client_.Read(1), (Bytes{expected}));
  }
  ASSERT_TRUE(client_.Send(Frame(4, {'B'})));
  EXPECT_TRUE(client_.ReadFor(300).empty());

  ecrsim::Counters c = ecr_.GetCounters();
  EXPECT_EQ(c.badFrames, 1);
  EXPECT_EQ(c.rejected, 6);
  EXPECT_EQ(c.messages, 1);
  EXPECT_EQ(ecr_.Messages(), (std::vector<Bytes>{{'B'}}));
}

TEST_F(HostPcSim, RepeatedSequenceIsAcknowledgedAndNotExecutedTwice) {
  ecr_.OnCommand('C', Reply::Answer({'c'}));
  ecr_.SetReplyTimeout(100);
  ASSERT_TRUE(client_.Send(Frame(9, {'C', 1})));
  Bytes answer = Frame(1, {'c'});
  EXPECT_EQ(client_.Read(1 + answer.size()), Concat({{ACK}, answer}));
  ASSERT_TRUE(client_.Send(Frame(9, {'C', 1})));
  EXPECT_EQ(client_.ReadFor(300), (Bytes{ACK}));
  ecrsim::Counters c = ecr_.GetCounters();
  EXPECT_EQ(c.messages, 2);
  EXPECT_EQ(c.duplicates, 1);
  EXPECT_EQ(ecr_.Messages().size(), 1u);
  EXPECT_EQ(c.noReplies, 1);  // the answer frame was never acknowledged

  // With duplicates kept, the same frame runs again.
  ecr_.SetDropDuplicates(false);
  ASSERT_TRUE(client_.Send(Frame(9, {'C', 1})));
  EXPECT_EQ(client_.Read(1 + answer.size())[0], ACK);
  EXPECT_EQ(ecr_.Messages().size(), 2u);
}

TEST_F(HostPcSim, RetransmitsOnNakUpToTheLimit) {
  FrameStyle badOnce;
  badOnce.badCheck = 1;
  ecr_.Send({'X', 1}, badOnce);
  Bytes good = Frame(1, {'X', 1});
  Bytes first = client_.Read(good.size());
  ASSERT_EQ(first.size(), good.size());
  EXPECT_NE(first.back(), good.back());
  ASSERT_TRUE(client_.Send({NAK}));
  EXPECT_EQ(client_.Read(good.size()), good);
  ASSERT_TRUE(client_.Send({ACK}));

  // NAK three times: the third copy is the last.
  ecr_.Send({'Y'});
  Bytes y = Frame(2, {'Y'});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(client_.Read(y.size()), y);
    ASSERT_TRUE(client_.Send({NAK}));
  }
  EXPECT_TRUE(client_.ReadFor(300).empty());
  ASSERT_TRUE(ecr_.Flush());
  ecrsim::Counters c = ecr_.GetCounters();
  EXPECT_EQ(c.naks, 4);
  EXPECT_EQ(c.acks, 1);
  EXPECT_EQ(c.retransmissions, 3);
  EXPECT_EQ(c.refused, 1);
  EXPECT_EQ(c.framesSent, 5);
}

TEST_F(HostPcSim, RepeatsFramesAndRetriesAfterCan) {
  FrameStyle twice;
  twice.repeat = 1;
  ecr_.Send({'F', 2}, twice);
  Bytes f = Frame(1, {'F', 2});
  EXPECT_EQ(client_.Read(f.size()), f);
  ASSERT_TRUE(client_.Send({ACK}));
  EXPECT_EQ(client_.Read(f.size()), f);  // same sequence number again
  ASSERT_TRUE(client_.Send({ACK}));

  ecr_.SetCanRetry(200, 1);
  ecr_.Send({'G'});
  Bytes g = Frame(2, {'G'});
  EXPECT_EQ(client_.Read(g.size()), g);
  ASSERT_TRUE(client_.Send({CAN}));
  EXPECT_TRUE(client_.ReadFor(120).empty());
  EXPECT_EQ(client_.Read(g.size()), g);
  ASSERT_TRUE(client_.Send({CAN}));  // no tries left: dropped
  EXPECT_TRUE(client_.ReadFor(400).empty());
  ecrsim::Counters c = ecr_.GetCounters();
  EXPECT_EQ(c.cans, 2);
  EXPECT_EQ(c.refused, 1);
}

TEST_F(HostPcSim, SendsBurstsOneFrameAfterEachReply) {
  ecr_.SetReplyTimeout(300);
  ecr_.SendBurst({{'X', 1}, {'X', 2}, {'B'}});
  Bytes f1 = Frame(1, {'X', 1});
  EXPECT_EQ(client_.Read(f1.size()), f1);
  EXPECT_TRUE(client_.ReadFor(100).empty());  // waits for the reply
  ASSERT_TRUE(client_.Send({ACK}));
  Bytes f2 = Frame(2, {'X', 2});
  EXPECT_EQ(client_.Read(f2.size()), f2);
  // No reply: after the time limit the next frame goes.
  Bytes f3 = Frame(3, {'B'});
  EXPECT_EQ(client_.Read(f3.size(), 1000), f3);
  ASSERT_TRUE(client_.Send({ACK}));
  ASSERT_TRUE(ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.acks == 2; }, 1000));
  EXPECT_EQ(ecr_.GetCounters().noReplies, 1);

  // Two frames at once, each acknowledged on its own.
  ecr_.SendTogether({{'Y'}, {'Y', 7}});
  Bytes both = Concat({Frame(4, {'Y'}), Frame(5, {'Y', 7})});
  EXPECT_EQ(client_.Read(both.size()), both);
  ASSERT_TRUE(client_.Send({ACK, ACK}));
  ASSERT_TRUE(ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.acks == 4; }, 1000));
}

TEST_F(HostPcSim, UnsolicitedInsideAnIAnswer) {
  ecr_.OnCommand('I', Reply::Answer(Simulator::WrapInI({'X', 0x10})));
  ASSERT_TRUE(client_.Send(Frame(1, {'I'})));
  Bytes answer = Frame(1, {'I', 0, 0, 0, 0, 'X', 0x10});
  EXPECT_EQ(client_.Read(1 + answer.size()), Concat({{ACK}, answer}));
}

TEST_F(HostPcSim, CollidesInsteadOfAcknowledging) {
  ecr_.OnCommand('A', Reply::Answer({'A'}));
  ecr_.QueueLinkReplies({LinkReply::Collide({'X', 5})});
  ASSERT_TRUE(client_.Send(Frame(1, {'A'})));
  Bytes x = Frame(1, {'X', 5});
  EXPECT_EQ(client_.Read(x.size()), x);  // its DLE is the reply
  ASSERT_TRUE(client_.Send({ACK}));
  ASSERT_TRUE(client_.Send(Frame(1, {'A'})));  // the driver sends its frame again
  Bytes a = Frame(2, {'A'});
  EXPECT_EQ(client_.Read(1 + a.size()), Concat({{ACK}, a}));
  EXPECT_EQ(ecr_.Messages().size(), 1u);
}

TEST_F(HostPcSim, AnswersPlainStatusWithBusyThenIdle) {
  ecr_.SetStatusByte(0x20);
  ecr_.QueueStatusBytes({0x05, 0x04});
  StatusReply dle;
  dle.replyByte = DLE;
  StatusReply late;
  late.delayMs = 250;
  StatusReply silent;
  silent.silent = true;
  for (uint8_t expected : {uint8_t{0x05}, uint8_t{0x04}, uint8_t{0x20}}) {
    ASSERT_TRUE(client_.Send({0x1E}));
    EXPECT_EQ(client_.Read(1), (Bytes{expected}));
  }
  StatusReply collide;
  collide.collide = {'Y', 3};
  ecr_.QueuePlainStatusReplies({dle, late, silent, collide});
  ASSERT_TRUE(client_.Send({0x1E}));
  EXPECT_EQ(client_.Read(1), (Bytes{DLE}));
  ASSERT_TRUE(client_.Send({0x1E}));
  EXPECT_TRUE(client_.ReadFor(150).empty());
  EXPECT_EQ(client_.Read(1), (Bytes{0x20}));
  ASSERT_TRUE(client_.Send({0x1E}));
  EXPECT_TRUE(client_.ReadFor(300).empty());
  // The ECR was about to send: its frame comes instead of the status byte.
  ASSERT_TRUE(client_.Send({0x1E}));
  Bytes y = Frame(1, {'Y', 3});
  EXPECT_EQ(client_.Read(y.size()), y);
  ASSERT_TRUE(client_.Send({ACK}));
  ASSERT_TRUE(client_.Send({0x1E}));
  EXPECT_EQ(client_.Read(1), (Bytes{0x20}));

  ecrsim::Record r = ecr_.Snapshot();
  EXPECT_EQ(r.counters.plainStatusRequests, 8);
  EXPECT_EQ(r.counters.acks, 1);
  std::vector<ecrsim::Clock::time_point> t = r.StatusRequestTimes();
  ASSERT_EQ(t.size(), 8u);
  EXPECT_TRUE(std::is_sorted(t.begin(), t.end()));
}

TEST_F(HostPcSim, AnswersExtendedStatusWithCheckedBlocks) {
  ecr_.SetEcrSequence(0x41);
  ecr_.SetStatusByte(0x24);
  ASSERT_TRUE(client_.Send({0x1F}));
  uint8_t check = 6 ^ 0x41 ^ 0x24;
  EXPECT_EQ(client_.Read(7), (Bytes{6, 0x41, 0, 0, 0x24, 0, check}));

  StatusReply shortBlock;
  shortBlock.sendBytes = 3;
  StatusReply badCheck;
  badCheck.badCheck = true;
  StatusReply wrongLength;
  wrongLength.length = 5;
  StatusReply custom;
  custom.block = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  ecr_.QueueExtStatusReplies({shortBlock, badCheck, wrongLength, custom});
  ASSERT_TRUE(client_.Send({0x1F}));
  EXPECT_EQ(client_.ReadFor(200), (Bytes{6, 0x41, 0, 0}));
  ASSERT_TRUE(client_.Send({0x1F}));
  EXPECT_EQ(client_.Read(7), (Bytes{6, 0x41, 0, 0, 0x24, 0, static_cast<uint8_t>(check ^ 0xFF)}));
  ASSERT_TRUE(client_.Send({0x1F}));
  EXPECT_EQ(client_.Read(7),
            (Bytes{5, 0x41, 0, 0, 0x24, 0, static_cast<uint8_t>(5 ^ 0x41 ^ 0x24)}));
  ASSERT_TRUE(client_.Send({0x1F}));
  Bytes reply = client_.Read(11);
  ASSERT_EQ(reply.size(), 11u);
  EXPECT_EQ(reply[0], 10);
  uint8_t sum = 0;
  for (uint8_t b : reply) sum ^= b;
  EXPECT_EQ(sum, 0);  // L, the nine bytes and the check cancel out
  EXPECT_EQ(ecr_.GetCounters().extStatusRequests, 5);

  // The block follows the ECR's last accepted frame.
  ASSERT_TRUE(client_.Send(Frame(0x42, {'Q'})));
  EXPECT_EQ(client_.Read(1), (Bytes{ACK}));
  ASSERT_TRUE(client_.Send({0x1F}));
  EXPECT_EQ(client_.Read(7)[1], 0x42);
}

TEST_F(HostPcSim, RecordsBrokenDriverFramesAndStrayBytes) {
  ASSERT_TRUE(client_.Send({ACK, 0x55}));                         // nothing was sent: stray
  ASSERT_TRUE(client_.Send({DLE, 0x41}));                         // no STX
  ASSERT_TRUE(client_.Send({DLE, 0x02, 1, 0, 0, 0, DLE, 0x41}));  // DLE then a data byte
  ASSERT_TRUE(client_.Send({DLE, 0x02, 1, DLE, 0x03, 0x00}));     // short header
  ASSERT_TRUE(
      ecr_.WaitFor([](const ecrsim::Record& r) { return r.counters.badFrames == 3; }, 2000));
  ecrsim::Record r = ecr_.Snapshot();
  EXPECT_EQ(r.Of(EventKind::kStray).size(), 2u);
  EXPECT_EQ(r.counters.acks, 0);
  EXPECT_TRUE(client_.ReadFor(100).empty());
}

}  // namespace
