// The driver's side of receiving: the byte-driven frame reader, its
// acknowledgements, repeats, the unsolicited-message queue and "I" answers.
#include <cstring>

#include "fake_link.h"
#include "mirevon_framing.h"

namespace mirevon_test {
namespace {

using namespace linkdrv;
using mirevon::MirevonFraming;

const Bytes kAck{kACK}, kNak{kNAK}, kCan{kCAN};

class MirevonReceive : public ::testing::Test {
 protected:
  ReadOutcome Poll() { return framing.ReadMessage(true, -1); }
  Bytes Answer() const {
    return Bytes(host.state.answer, host.state.answer + host.state.answerLength);
  }
  Bytes SlotData(int i) const {
    const QueueSlot& s = host.state.queue[i];
    return Bytes(s.data, s.data + s.length - 1);
  }
  // Fills both queue slots with "X" (sequence 1) and "Y" (sequence 2).
  void FillQueue() {
    host.io.Feed(Concat({EcrFrame(1, {'X', 1}), EcrFrame(2, {'Y', 2})}));
    ASSERT_EQ(Poll().result, kResultOk);
    ASSERT_EQ(Poll().result, kResultOk);
    ASSERT_EQ(host.state.queueCount, 2);
  }
  FakeHost host;
  MirevonFraming framing{host};
};

TEST_F(MirevonReceive, AnswerFrameIsAcknowledgedLoggedAndDelivered) {
  EXPECT_EQ(Poll().result, kResultNothing);  // nothing pending: no wait, nothing sent
  EXPECT_EQ(host.io.Now(), 0);

  const Bytes frame = EcrFrame(5, {'A', 1, 2}, {7, 8, 9});
  host.io.Feed(frame);
  ReadOutcome r = Poll();
  EXPECT_EQ(r.result, kResultOk);
  EXPECT_FALSE(r.unsolicited);
  EXPECT_EQ(r.code, 'A');
  EXPECT_EQ(Answer(), (Bytes{'A', 1, 2}));
  EXPECT_EQ(Bytes(host.state.answerHeader, host.state.answerHeader + 4), (Bytes{5, 7, 8, 9}));
  EXPECT_EQ(host.state.lastFrameId, 5);
  EXPECT_EQ(host.io.Sends(), std::vector<Bytes>{kAck});
  EXPECT_EQ(host.state.bytesReceived, static_cast<int>(frame.size()));
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0].text, "MSG RECEIVED");
  EXPECT_EQ(host.log[0].kind, 1);
  EXPECT_EQ(host.log[0].flags, 2);
  EXPECT_EQ(host.log[0].ecr, 1);
  EXPECT_EQ(host.log[0].bytes, frame);

  // 0x10 in the sequence and the data is unstuffed; the log keeps the wire bytes.
  const Bytes stuffed = EcrFrame(0x10, {'A', 0x10, 0x10, 0x03});
  host.io.Feed(stuffed);
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(Answer(), (Bytes{'A', 0x10, 0x10, 0x03}));
  EXPECT_EQ(host.log.back().bytes, stuffed);

  // Without check bytes (the no-checksum flag).
  host.state.noChecksum = 1;
  host.io.Feed(EcrFrame(6, {'B' + 1, 4}, {0, 0, 0}, false, false));
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(Answer(), (Bytes{'C', 4}));
}

TEST_F(MirevonReceive, RequiredReadStartsFromTheLeadInByte) {
  const Bytes frame = EcrFrame(3, {'A', 9});
  host.io.Feed(frame);
  EXPECT_EQ(framing.RequiredRead(-1).result, kResultOk);
  EXPECT_EQ(host.log.back().bytes, frame);  // the lead-in DLE is logged too

  host.io.Feed(Bytes(frame.begin() + 1, frame.end()));  // the collision DLE was read already
  host.state.lastFrameId = -1;
  EXPECT_EQ(framing.RequiredRead(kDLE).result, kResultOk);

  int before = host.io.Now();
  EXPECT_EQ(framing.RequiredRead(-1).result, kResultNothing);  // one second, no byte
  EXPECT_EQ(host.io.Now() - before, mirevon::kRawWaitMs);
  EXPECT_EQ(host.io.Sends().size(), 2u);
}

TEST_F(MirevonReceive, BadCheckByteIsRejectedThenRetransmissionAccepted) {
  const Bytes good = EcrFrame(4, {'A', 1});
  const Bytes bad = EcrFrame(4, {'A', 1}, {0, 0, 0}, true);
  host.io.Feed(bad);
  host.io.ReactBytes({good});  // the ECR answers our NAK with the frame again
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{kNak, kAck}));
  EXPECT_EQ(Answer(), (Bytes{'A', 1}));
  EXPECT_EQ(host.log.back().bytes, good);

  host.io.Feed(bad);
  host.io.ReactBytes({bad, bad});
  EXPECT_EQ(Poll().result, kResultBadCheck);
  EXPECT_EQ(host.io.Sends().size(), 4u);  // two more NAKs, nothing after the third
}

TEST_F(MirevonReceive, RepeatedFrameIsAcknowledgedAndDeliveredOnce) {
  const Bytes frame = EcrFrame(9, {'A', 1});
  host.io.Feed(frame);
  EXPECT_EQ(Poll().result, kResultOk);
  host.LockAnswer();  // as the application takes the answer
  host.state.answerLength = 0;
  host.UnlockAnswer();
  host.io.Feed(frame);
  EXPECT_EQ(Poll().result, kResultNothing);
  EXPECT_EQ(host.state.answerLength, 0);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{kAck, kAck}));
  EXPECT_EQ(host.log.size(), 2u);
}

TEST_F(MirevonReceive, FullQueueRefusesWithCanUntilAMessageIsTaken) {
  host.io.Feed(EcrFrame(1, {'X', 1, 0x10}, {4, 5, 6}));
  ReadOutcome r = Poll();
  EXPECT_EQ(r.result, kResultOk);
  EXPECT_TRUE(r.unsolicited);
  EXPECT_EQ(r.code, 'X');
  const QueueSlot& slot = host.state.queue[0];
  EXPECT_EQ(slot.length, 3);
  EXPECT_EQ(slot.code, 'X');
  EXPECT_EQ(Bytes(slot.header, slot.header + 4), (Bytes{1, 4, 5, 6}));
  EXPECT_EQ(SlotData(0), (Bytes{1, 0x10}));
  host.io.Feed(EcrFrame(2, {'Y'}));
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(host.state.queueCount, 2);
  EXPECT_EQ(host.state.queueWrite, 0);

  const QueueSlot saved[2] = {host.state.queue[0], host.state.queue[1]};
  const Bytes third = EcrFrame(3, {'G', 3});
  host.io.Feed(third);
  EXPECT_EQ(Poll().result, kResultQueueFull);
  EXPECT_EQ(host.io.Sends().back(), kCan);
  EXPECT_EQ(host.state.queueCount, 2);
  EXPECT_EQ(std::memcmp(saved, host.state.queue, sizeof saved), 0);
  EXPECT_EQ(host.state.lastFrameId, 2);

  // A repeat of a delivered message is acknowledged even now.
  host.io.Feed(EcrFrame(2, {'Y'}));
  EXPECT_EQ(Poll().result, kResultNothing);
  EXPECT_EQ(host.io.Sends().back(), kAck);

  QueueSlot taken;
  ASSERT_TRUE(host.Take(&taken));
  EXPECT_EQ(taken.code, 'X');
  host.io.Feed(third);
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(host.state.queue[0].code, 'G');
  EXPECT_EQ(host.state.queueCount, 2);
  EXPECT_EQ(host.publishedUnderLock, 4);  // three messages queued, one taken
  EXPECT_EQ(host.countAtUnlock, host.state.queueCount);
}

TEST_F(MirevonReceive, IAnswerCarriesAnInnerMessage) {
  host.io.Feed(EcrFrame(1, {'I', 0x21, 0, 0x22, 0x23, 'A', 1, 2}));
  ReadOutcome r = Poll();
  EXPECT_EQ(r.result, kResultOk);
  EXPECT_FALSE(r.unsolicited);
  EXPECT_EQ(r.code, 'A');
  EXPECT_EQ(Answer(), (Bytes{'A', 1, 2}));
  EXPECT_EQ(Bytes(host.state.answerHeader, host.state.answerHeader + 4),
            (Bytes{0x21, 0, 0x22, 0x23}));

  host.io.Feed(EcrFrame(2, {'I', 0x31, 0, 0x32, 0x33, 'F', 7}));
  r = Poll();
  EXPECT_EQ(r.result, kResultOk);
  EXPECT_TRUE(r.unsolicited);
  EXPECT_EQ(r.code, 'F');
  const QueueSlot& slot = host.state.queue[0];
  EXPECT_EQ(slot.code, 'F');
  EXPECT_EQ(slot.length, 2);
  EXPECT_EQ(Bytes(slot.header, slot.header + 4), (Bytes{0x31, 1, 0x32, 0x33}));
  EXPECT_EQ(SlotData(0), Bytes{7});

  // No inner message (four data bytes or fewer, inner byte 1 not 0): -1,
  // acknowledged and counted as seen; the answer stays as it was.
  const Bytes unusable[] = {{'I', 1, 0, 3, 4}, {'I', 1, 0, 3}, {'I', 1, 5, 3, 4, 'A'}};
  uint8_t sequence = 3;
  for (const Bytes& message : unusable) {
    host.io.Feed(EcrFrame(sequence, message));
    EXPECT_EQ(Poll().result, kResultNothing);
    EXPECT_EQ(host.io.Sends().back(), kAck);
    EXPECT_EQ(host.state.lastFrameId, sequence++);
  }
  EXPECT_EQ(Answer(), (Bytes{'A', 1, 2}));
}

TEST_F(MirevonReceive, UnsolicitedInnerMessageWithFullQueueIsRefused) {
  FillQueue();
  const QueueSlot saved[2] = {host.state.queue[0], host.state.queue[1]};
  host.io.Feed(EcrFrame(3, {'I', 0, 0, 0, 0, 'X', 5}));
  EXPECT_EQ(Poll().result, kResultQueueFull);
  EXPECT_EQ(host.io.Sends().back(), kCan);
  EXPECT_EQ(host.state.queueCount, 2);
  EXPECT_EQ(host.state.queueWrite, 0);
  EXPECT_EQ(std::memcmp(saved, host.state.queue, sizeof saved), 0);

  // An inner answer still gets through with a full queue.
  host.io.Feed(EcrFrame(4, {'I', 0, 0, 0, 0, 'A', 5}));
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(Answer(), (Bytes{'A', 5}));
}

TEST_F(MirevonReceive, FrameLengthIsBounded) {
  Bytes longest{'A'};
  longest.resize(250, 0x10);
  host.io.Feed(EcrFrame(1, longest));
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(Answer(), longest);
  EXPECT_EQ(host.log.back().bytes.size(), EcrFrame(1, longest).size());

  Bytes tooLong = longest;
  tooLong.push_back(0x10);
  host.io.Feed(EcrFrame(2, tooLong));
  EXPECT_EQ(Poll().result, kResultLinkFailure);
  EXPECT_EQ(host.io.Unread(), 0u);
  EXPECT_EQ(Answer(), longest);
  EXPECT_EQ(host.io.Sends(), std::vector<Bytes>{kAck});  // no reply to the broken frame
}

TEST_F(MirevonReceive, BrokenFrameEndsAndTheRetransmissionIsCaught) {
  const Bytes good = EcrFrame(7, {'A', 1});
  struct Case {
    Bytes bytes;
    int leadIn;
  };
  const Case broken[] = {
      {{'Z', 'Z', 0x10, 0x02}, -1},  // noise where a frame should start
      {{0x10, 0x02, 7, 0, 0, 0, 'A', 0x10, 'Q', 1, 0x10, 0x03, 0}, -1},  // DLE then a data byte
      {{0x10, 0x05, 7}, -1},                                             // DLE without STX
      {{0x10, 0x02, 7, 0, 0x10, 0x03, 0}, -1},                           // the header cut short
      {{1, 2, 3}, 0x41},  // lead-in that starts no frame
  };
  for (const Case& c : broken) {
    host.io.Feed(c.bytes);
    ReadOutcome r = c.leadIn < 0 ? Poll() : framing.ReadMessage(false, c.leadIn);
    EXPECT_EQ(r.result, kResultLinkFailure);
    EXPECT_EQ(host.io.Unread(), 0u);
    host.io.Feed(good);
    EXPECT_EQ(Poll().result, kResultOk);
    host.state.lastFrameId = -1;
  }
  EXPECT_EQ(host.io.Sends().size(), std::size(broken));  // one ACK each, nothing else
  EXPECT_LT(host.io.Now(), 1000);

  // An endless stream of noise: each read ends after a bounded drain.
  host.io.Feed(Bytes(3 * mirevon::kDrainLimit, 0x55));
  int reads = 0;
  while (host.io.Unread() > 0 && reads < 10) {
    EXPECT_EQ(Poll().result, kResultLinkFailure);
    ++reads;
  }
  EXPECT_EQ(reads, 3);
}

TEST_F(MirevonReceive, SilenceOrClosedConnectionMidFrameEnds) {
  const Bytes frame = EcrFrame(8, {'A', 1, 2});
  const Bytes half(frame.begin(), frame.begin() + 6);
  host.io.Feed(half);
  host.io.ReactBytes({frame});  // the ECR answers the NAK with the whole frame
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{kNak, kAck}));

  host.io.Feed(half);
  EXPECT_EQ(Poll().result, kResultShortRead);  // silent: two NAKs, then 31
  EXPECT_EQ(host.io.Sends().size(), 4u);

  host.io.Feed(half);
  host.io.Close();
  EXPECT_EQ(Poll().result, kResultLinkFailure);
  EXPECT_EQ(framing.RequiredRead(-1).result, kResultLinkFailure);
  EXPECT_FALSE(host.io.ReceiveWouldHaveBlocked());
}

TEST_F(MirevonReceive, FramesThatArriveTogetherAreAllRead) {
  host.io.Feed(Concat({EcrFrame(1, {'X', 1}), EcrFrame(2, {'A', 2}), EcrFrame(3, {'Y', 3})}));
  EXPECT_TRUE(Poll().unsolicited);
  ReadOutcome r = Poll();
  EXPECT_EQ(r.result, kResultOk);
  EXPECT_FALSE(r.unsolicited);
  EXPECT_EQ(Answer(), (Bytes{'A', 2}));
  EXPECT_EQ(Poll().code, 'Y');
  EXPECT_EQ(Poll().result, kResultNothing);
  EXPECT_EQ(host.state.queueCount, 2);
  EXPECT_EQ(host.io.Sends().size(), 3u);
}

TEST_F(MirevonReceive, TcpModeZeroExchange) {
  host.state.tcpMode = 0;
  const Bytes frame = EcrFrame(1, {'A', 1});
  host.io.Feed(Concat({{kENQ}, frame, {kEOT}}));
  EXPECT_EQ(Poll().result, kResultOk);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{kAck, kAck}));
  EXPECT_EQ(host.io.Unread(), 0u);

  host.io.Feed({'Z'});
  EXPECT_EQ(Poll().result, kResultNotEnq);

  // The ECR gives up with EOT on its last try.
  const Bytes bad = EcrFrame(2, {'A', 1}, {0, 0, 0}, true);
  host.io.Feed(bad);
  host.io.ReactBytes({{}, bad, {kEOT}});
  EXPECT_EQ(framing.ReadMessage(false, kENQ).result, kResultEotAfterRetries);
}

}  // namespace
}  // namespace mirevon_test
