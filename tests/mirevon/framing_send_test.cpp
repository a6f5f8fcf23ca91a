// The driver's side of sending: command frames, replies to them, and the
// control-byte and status exchanges.
#include "fake_link.h"
#include "mirevon_framing.h"

namespace mirevon_test {
namespace {

using namespace linkdrv;
using mirevon::MirevonFraming;

class MirevonSend : public ::testing::Test {
 protected:
  Bytes Prepare(const Bytes& message) {
    framing.PrepareCommand(message.data(), static_cast<int>(message.size()));
    return Bytes(host.state.command, host.state.command + host.state.commandLength);
  }
  FakeHost host;
  MirevonFraming framing{host};
};

TEST_F(MirevonSend, FramesCommandsWithStuffingAndCheckByte) {
  host.state.sequence = 0x0F;
  EXPECT_EQ(Prepare({'I'}), (Bytes{0x10, 0x02, 0x10, 0x10, 0, 0, 0, 'I', 0x10, 0x03, 0x5A}));
  EXPECT_EQ(host.state.sequence, 0x10);
  EXPECT_EQ(host.state.sequenceCopy, 0x10);
  EXPECT_EQ(host.state.lastCommandCode, 'I');

  // A data byte 0x10 goes twice and counts once in the check byte.
  EXPECT_EQ(Prepare({'A', 0x10, 0x20}), (Bytes{0x10, 0x02, 0x11, 0, 0, 0, 'A', 0x10, 0x10, 0x20,
                                               0x10, 0x03, 0x11 ^ 'A' ^ 0x10 ^ 0x20 ^ 0x03}));

  // A check byte of 0x10 goes once; the counter wraps at 256.
  host.state.sequence = 0xFF;
  EXPECT_EQ(Prepare({'A', 0x52}), (Bytes{0x10, 0x02, 0x00, 0, 0, 0, 'A', 0x52, 0x10, 0x03, 0x10}));

  host.state.noChecksum = 1;
  EXPECT_EQ(Prepare({'I'}), (Bytes{0x10, 0x02, 0x01, 0, 0, 0, 'I', 0x10, 0x03}));
  host.state.noChecksum = 0;

  // What fits the 256-byte buffer is the frame, stuffing included: 247
  // plain bytes, or 123 DLE bytes after a doubled sequence number; one
  // byte more is refused and leaves no frame.
  host.state.sequence = 0x20;
  EXPECT_EQ(Prepare(Bytes(247, 'p')).size(), 256u);
  host.state.sequence = 0x0F;
  EXPECT_EQ(Prepare(Bytes(123, 0x10)).size(), 256u);
  EXPECT_TRUE(Prepare(Bytes(124, 0x10)).empty());
  EXPECT_FALSE(framing.PrepareCommand(Bytes(248, 'p').data(), 248));
  EXPECT_EQ(framing.WriteCommand(), kResultLinkFailure);
  EXPECT_TRUE(Prepare({}).empty());
  EXPECT_TRUE(host.io.Sends().empty());
}

TEST_F(MirevonSend, EachReplyGivesItsResult) {
  struct Case {
    Bytes replies;
    int result;
    size_t frames;  // times the frame was sent
  };
  const Case cases[] = {
      {{kACK}, kResultOk, 1},
      {{kBEL}, kResultBell, 1},
      {{kDLE}, kResultCollision, 1},
      {{kCAN}, kResultRefused, 1},
      {{'Z'}, kResultOk, 1},
      {{kNAK, kACK}, kResultOk, 2},
      {{kNAK, kNAK, kNAK}, kResultNakLimit, 3},
  };
  for (const Case& c : cases) {
    FakeHost h;
    MirevonFraming f{h};
    f.PrepareCommand(reinterpret_cast<const uint8_t*>("A1"), 2);
    for (uint8_t r : c.replies) h.io.ReactBytes({{r}});
    EXPECT_EQ(f.WriteCommand(), c.result) << "reply " << int(c.replies.back());
    ASSERT_EQ(h.io.Sends().size(), c.frames);
    for (const Bytes& sent : h.io.Sends()) {
      EXPECT_EQ(sent, Bytes(h.state.command, h.state.command + h.state.commandLength));
    }
    EXPECT_EQ(h.state.bytesSent, int(c.frames) * h.state.commandLength);
  }
}

TEST_F(MirevonSend, MissingReplyAsksStatusAndSendsAgain) {
  const Bytes frame = Prepare({'A'});
  // Silence, a status byte, then ACK.
  host.io.ReactBytes({{}, {0x00}, {kACK}});
  EXPECT_EQ(framing.WriteCommand(), kResultOk);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{frame, {kPlainStatusRequest}, frame}));
  EXPECT_GE(host.io.Now(), 3000);  // three one-second reads for the reply

  // After a missed reply a CAN means the ECR already had the frame.
  FakeHost h2;
  MirevonFraming f2{h2};
  f2.PrepareCommand(frame.data() + 6, 1);
  h2.io.ReactBytes({{}, {0x00}, {kCAN}});
  EXPECT_EQ(f2.WriteCommand(), kResultOk);

  // Three frames without a reply: 11.
  FakeHost h3;
  MirevonFraming f3{h3};
  f3.PrepareCommand(frame.data() + 6, 1);
  h3.io.ReactBytes({{}, {0x00}, {}, {0x00}, {}});
  EXPECT_EQ(f3.WriteCommand(), kResultNoReply);
  EXPECT_EQ(h3.io.Sends().size(), 5u);

  // The status read fails (silent ECR): 11; it shows the ECR sending: 15.
  FakeHost h4;
  MirevonFraming f4{h4};
  f4.PrepareCommand(frame.data() + 6, 1);
  EXPECT_EQ(f4.WriteCommand(), kResultNoReply);
  EXPECT_EQ(h4.io.Sends().size(), 4u);  // the frame and three status requests
  FakeHost h5;
  MirevonFraming f5{h5};
  f5.PrepareCommand(frame.data() + 6, 1);
  h5.io.ReactBytes({{}, {kDLE}});
  EXPECT_EQ(f5.WriteCommand(), kResultCollision);
}

TEST_F(MirevonSend, PartialSendsAreRetriedThreeTimes) {
  const Bytes frame = Prepare({'A', 'B', 'C'});
  host.io.React({{{}, 0, 3}, {{kACK}}});
  EXPECT_EQ(framing.WriteCommand(), kResultOk);
  EXPECT_EQ(host.io.Sends().back(), frame);
  EXPECT_EQ(host.state.bytesSent, static_cast<int>(frame.size()));

  FakeHost h;
  MirevonFraming f{h};
  f.PrepareCommand(frame.data() + 6, 3);
  h.io.React({{{}, 0, 3}, {{}, 0, -1}, {{}, 0, 0}});
  EXPECT_EQ(f.WriteCommand(), kResultLinkFailure);
  EXPECT_EQ(h.state.bytesSent, 0);
}

TEST_F(MirevonSend, ByteWaitingBeforeTheSend) {
  Prepare({'A'});
  host.io.Feed({kDLE});  // the ECR has begun to send
  EXPECT_EQ(framing.WriteCommand(), kResultCollision);
  EXPECT_TRUE(host.io.Sends().empty());

  host.io.Feed({'Q', kNAK});  // stray bytes are dropped, not taken for the reply
  host.io.ReactBytes({{kACK}});
  EXPECT_EQ(framing.WriteCommand(), kResultOk);
  EXPECT_EQ(host.io.Sends().size(), 1u);

  host.io.Feed({'Q', kDLE, kSTX});  // a frame begins after a stray byte
  EXPECT_EQ(framing.WriteCommand(), kResultCollision);
  EXPECT_EQ(host.io.Unread(), 1u);

  uint8_t status = 0;
  FakeHost h;
  MirevonFraming f{h};
  h.io.Feed({0x41, 0x42});  // a late status reply is not taken for this one
  h.io.ReactBytes({{0x24}});
  EXPECT_EQ(f.ReadStatus(&status), kResultOk);
  EXPECT_EQ(status, 0x24);
}

TEST_F(MirevonSend, TcpModeZeroAsksWithEnqAndEndsWithEot) {
  host.state.tcpMode = 0;
  const Bytes frame = Prepare({'A'});
  host.io.ReactBytes({{kACK}, {kNAK}, {kACK}});
  EXPECT_EQ(framing.WriteCommand(), kResultOk);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{{kENQ}, frame, frame, {kEOT}}));

  const std::pair<uint8_t, int> enqReplies[] = {
      {kBEL, kResultBell}, {kCAN, kResultRefused}, {kENQ, kResultEnqCollision}, {'Z', 13}};
  for (auto [reply, result] : enqReplies) {
    FakeHost h;
    h.state.tcpMode = 0;
    MirevonFraming f{h};
    f.PrepareCommand(frame.data() + 6, 1);
    h.io.ReactBytes({{reply}});
    EXPECT_EQ(f.WriteCommand(), result);
    EXPECT_EQ(h.io.Sends().size(), 1u);
  }
  host.io.Feed({kENQ});
  EXPECT_EQ(framing.WriteCommand(), kResultEnqCollision);
}

TEST_F(MirevonSend, PlainStatusRead) {
  uint8_t status = 0;
  host.io.ReactBytes({{0x24}});
  EXPECT_EQ(framing.ReadStatus(&status), kResultOk);
  EXPECT_EQ(status, 0x24);
  EXPECT_EQ(host.io.Sends(), (std::vector<Bytes>{{kPlainStatusRequest}}));

  host.io.ReactBytes({{kDLE}});
  EXPECT_EQ(framing.ReadStatus(&status), kResultCollision);
  host.io.Feed({kDLE});
  EXPECT_EQ(framing.ReadStatus(&status), kResultCollision);
  EXPECT_EQ(host.io.Sends().size(), 2u);

  // A silent ECR: three tries 50 ms apart, then 99; only one when in fault.
  FakeHost h;
  MirevonFraming f{h};
  EXPECT_EQ(f.ReadStatus(&status), kResultLinkFailure);
  EXPECT_EQ(h.io.Sends().size(), 3u);
  h.state.lineStatus[1] = 3;
  EXPECT_EQ(f.ReadStatus(&status), kResultLinkFailure);
  EXPECT_EQ(h.io.Sends().size(), 4u);
}

TEST_F(MirevonSend, ExtendedStatusBlock) {
  auto block = [](uint8_t length, Bytes data, bool bad = false) {
    uint8_t check = length;
    for (uint8_t b : data) check ^= b;
    data.insert(data.begin(), length);
    data.push_back(bad ? check ^ 1 : check);
    return data;
  };
  uint8_t out[kFrameBufferSize] = {};
  int length = -1;
  host.io.ReactBytes({block(6, {7, 0, 0, 0x24, 9})});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultOk);
  EXPECT_EQ(length, 5);
  EXPECT_EQ(Bytes(out, out + 5), (Bytes{7, 0, 0, 0x24, 9}));

  host.io.ReactBytes({block(10, {1, 2, 3, 4, 5, 6, 7, 8, 9})});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultOk);
  EXPECT_EQ(length, 9);

  // Length 5 (and its block) or 11: 42 at once; DLE: the ECR is sending.
  host.io.ReactBytes({block(5, {1, 2, 3, 4})});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultStatusBad);
  EXPECT_EQ(host.io.Unread(), 0u);
  host.io.ReactBytes({{11}});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultStatusBad);
  host.io.ReactBytes({{kDLE}});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultCollision);

  // A bad block check is asked again: good on the second try, 42 after three.
  size_t before = host.io.Sends().size();
  host.io.ReactBytes({block(6, {1, 2, 3, 4, 5}, true), block(6, {1, 2, 3, 4, 5})});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultOk);
  EXPECT_EQ(host.io.Sends().size() - before, 2u);
  host.io.ReactBytes({block(6, {1, 2, 3, 4, 5}, true), block(6, {1, 2, 3, 4, 5}, true),
                      block(6, {1, 2, 3, 4, 5}, true)});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultStatusBad);

  // A block shorter than announced three times: 41.
  host.io.ReactBytes({{6, 1, 2}, {6, 1, 2}, {6, 1, 2}});
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultStatusShort);
  EXPECT_EQ(host.io.Sends().back(), Bytes{kExtStatusRequest});

  // A block that arrives in two pieces is read whole.
  host.io.ReactBytes({{6, 1, 2}});
  Bytes rest = block(6, {1, 2, 3, 4, 5});
  host.io.FeedLater(300, Bytes(rest.begin() + 3, rest.end()));
  EXPECT_EQ(framing.ReadStatusEx(out, &length), kResultOk);
  EXPECT_EQ(length, 5);
}

}  // namespace
}  // namespace mirevon_test
