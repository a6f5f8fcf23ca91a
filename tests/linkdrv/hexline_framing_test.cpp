// The hex-line framing over an in-memory link: frames byte for byte,
// decoding, collisions, over-long frames and a link that fails or falls silent.
#include <gtest/gtest.h>

#include "memory_link.h"
#include "sandoral_hex.h"

using namespace linkdrv;
using namespace linkdrv_test;

namespace {

class HexLineFraming : public ::testing::Test {
 protected:
  HexLineFraming() : framing(CreateFraming(host)) {}

  int Write(const Bytes& command) {
    framing->PrepareCommand(command.data(), static_cast<int>(command.size()));
    return framing->WriteCommand();
  }
  FramingState& S() { return host.State(); }

  MemoryHost host;
  std::unique_ptr<Framing> framing;
};

TEST_F(HexLineFraming, CommandsGoOutAsOneHexLineEach) {
  S().onLine = 1;
  EXPECT_EQ(Write({'I'}), kResultOk);
  EXPECT_EQ(Write({0x31, 0x00, 0xFF}), kResultOk);
  ASSERT_EQ(host.io.Sends().size(), 2u);
  EXPECT_EQ(host.io.Sends()[0], (Bytes{0x40, 0x49, 0x0D}));
  EXPECT_EQ(host.io.Sends()[1], (Bytes{0x40, 0x31, 0x30, 0x30, 0x46, 0x46, 0x0D}));
  EXPECT_EQ(S().bytesSent.load(), 4);  // message bytes, not wire bytes
  EXPECT_EQ(host.io.VirtualMs(), 40);  // 20 ms after each send while OnLine is 1
  EXPECT_EQ(S().lastCommandCode, 0x31);
  EXPECT_EQ(S().sequence, 2);

  S().onLine = 0;
  Bytes longest(kLineMessageMax, 0xAB);
  EXPECT_EQ(Write(longest), kResultOk);
  EXPECT_EQ(host.io.Sends().back().size(), 255u);
  EXPECT_EQ(host.io.VirtualMs(), 40);

  // A command that no line frame can hold is never put on the wire.
  Bytes tooLong(kLineMessageMax + 1, 0x11);
  EXPECT_FALSE(framing->PrepareCommand(tooLong.data(), kLineMessageMax + 1));
  EXPECT_TRUE(framing->PrepareCommand(longest.data(), kLineMessageMax));
  EXPECT_EQ(Write(tooLong), kResultLinkFailure);
  Bytes huge(1000, 0x22);
  EXPECT_EQ(Write(huge), kResultLinkFailure);
  EXPECT_EQ(S().commandLength, kFrameBufferSize);
  EXPECT_EQ(host.io.Sends().size(), 3u);
}

TEST_F(HexLineFraming, SendFailuresAreRetriedThreeTimes) {
  host.io.FailSends(2);
  EXPECT_EQ(Write({'A', 1}), kResultOk);
  EXPECT_EQ(host.io.VirtualMs(), 200);  // 100 ms before each retry
  host.io.FailSends(3);
  EXPECT_EQ(Write({'A', 1}), kResultLinkFailure);
  EXPECT_EQ(host.io.Sends().size(), 1u);
  EXPECT_EQ(S().bytesSent.load(), 2);
}

TEST_F(HexLineFraming, ReceivedLinesAreDecoded) {
  // Digits of either case; bytes before '@' (noise, a stray CR) skipped.
  host.io.Feed(Bytes{'x', 0x0D, 0x40, 0x41, 0x30, 0x61, 0x31, 0x42, 0x0D});
  ReadOutcome out = framing->ReadMessage(true, -1);
  EXPECT_EQ(out.result, kResultOk);
  EXPECT_FALSE(out.unsolicited);
  EXPECT_EQ(out.code, 0x41);
  EXPECT_EQ(host.Answer(), (Bytes{0x41, 0x0A, 0x1B}));
  EXPECT_EQ(S().bytesReceived.load(), 3);
  EXPECT_EQ(S().lastFrameId, 0x41);
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_EQ(host.log[0].text, "MSG RECEIVED");
  EXPECT_EQ(host.log[0].flags, 0x0002);
  EXPECT_EQ(host.log[0].bytes, (Bytes{0x41, 0x0A, 0x1B}));

  // A lone last digit is dropped; a non-digit counts as 0.
  host.io.Feed("@B12z\r");
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'B', 0x12}));
  host.io.Feed("@C7\r");
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'C'}));
  host.io.Feed("@DzG\r");
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'D', 0x00}));

  // A third byte of noise pending with the frame: more was pending than
  // the frame accounts for, so it is not the latest and is dropped.
  host.io.Feed(Bytes{'x', 'y', 'z', 0x40, 0x41, 0x30, 0x61, 0x0D});
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultLinkFailure);

  // Nothing pending: nothing read, at once.
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultNothing);
  EXPECT_EQ(host.io.VirtualMs(), 0);
}

TEST_F(HexLineFraming, ShortFramesYieldNoMessage) {
  host.io.Feed(Bytes{0x40, 0x41, 0x0D});
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultNothing);
  EXPECT_EQ(host.io.Unread(), 0u);
  EXPECT_EQ(S().answerLength, 0);
  EXPECT_TRUE(host.log.empty());
  // A message-less frame followed by more: the reader goes on to the next
  // frame, which is then not the latest of what was pending.
  host.io.Feed("@\r@E01\r@F02\r");
  EXPECT_EQ(framing->ReadMessage(false, -1).result, kResultLinkFailure);
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'F', 0x02}));
  // A message-less frame read alone: the frame after it is dropped too.
  host.io.Feed("@\r");
  host.io.FeedLater(B("@G01\r"));
  EXPECT_EQ(framing->ReadMessage(false, -1).result, kResultNothing);
  EXPECT_EQ(host.io.Unread(), 0u);
  EXPECT_EQ(host.Answer(), (Bytes{'F', 0x02}));
}

TEST_F(HexLineFraming, OnlyTheLatestOfSeveralPendingFramesIsKept) {
  host.io.Feed("@A01\r@B02\r");
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultLinkFailure);
  EXPECT_EQ(S().answerLength, 0);
  ReadOutcome out = framing->ReadMessage(true, -1);
  EXPECT_EQ(out.result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'B', 0x02}));
  // Two spare bytes after the frame are still tolerated.
  host.io.Feed("@C03\r\r\r");
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'C', 0x03}));
}

TEST_F(HexLineFraming, OverlongFrameIsDroppedAndTheReaderHuntsForTheNextAt) {
  Bytes flood{'@', 'Z'};
  flood.insert(flood.end(), 600, '7');  // no carriage return in time
  for (uint8_t b : B("\r@B0102\r")) flood.push_back(b);
  host.io.FeedLater(flood);  // arrives while a required read waits
  ReadOutcome out = framing->RequiredRead(-1);
  EXPECT_EQ(out.result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{'B', 0x01, 0x02}));
  EXPECT_EQ(host.io.Unread(), 0u);

  // The longest frame that fits the buffer is still a message: 127 bytes.
  Bytes full{'@', 'L'};
  full.insert(full.end(), 253, 'F');  // the lone last digit is dropped
  full.push_back('\r');
  ASSERT_EQ(full.size(), 256u);
  host.io.Feed(full);
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultOk);
  EXPECT_EQ(S().answerLength, kLineMessageMax);
  EXPECT_EQ(S().answer[126], 0xFF);
}

TEST_F(HexLineFraming, CollisionByteBeforeWritingMeansTheEcrIsSending) {
  host.io.Feed(Bytes{0x40, 0x10, '0', 0x0D});  // the one-byte message 0x10
  EXPECT_EQ(Write({'A'}), kResultCollision);
  EXPECT_TRUE(host.io.Sends().empty());
  // The required read that follows logs the collision byte first.
  host.io.Feed("@A05\r");
  ReadOutcome out = framing->RequiredRead(kDLE);
  EXPECT_EQ(out.result, kResultOk);
  EXPECT_EQ(host.log.back().bytes, (Bytes{0x10, 'A', 0x05}));
  EXPECT_EQ(host.Answer(), (Bytes{'A', 0x05}));

  // Any other pending frame is dropped and the command goes out.
  host.io.Feed("@Q01\r");
  EXPECT_EQ(Write({'A'}), kResultOk);
  EXPECT_EQ(host.io.Sends().size(), 1u);

  // Before the TCP connection: ENQ plays that role, with result 13.
  S().tcpMode = 0;
  host.io.Feed(Bytes{0x40, 0x05, '0', 0x0D});
  EXPECT_EQ(Write({'A'}), kResultEnqCollision);
  ReadOutcome enq = framing->ReadMessage(false, kENQ);
  EXPECT_EQ(enq.result, kResultOk);
  EXPECT_EQ(host.Answer(), (Bytes{kENQ}));
}

TEST_F(HexLineFraming, ExtendedStatusAsksWithSAndReadsOneFrame) {
  host.io.onSend = [this](const Bytes& frame) {
    if (frame == B("@S\r")) host.io.Feed("@S01020304\r");
  };
  uint8_t block[kFrameBufferSize] = {};
  int length = -5;
  EXPECT_EQ(framing->ReadStatusEx(block, &length), kResultOk);
  EXPECT_EQ(host.io.Sends().back(), B("@S\r"));
  EXPECT_EQ(length, 4);
  EXPECT_EQ(Bytes(block, block + 5), (Bytes{'S', 1, 2, 3, 4}));
  EXPECT_EQ(S().bytesSent.load(), 1);
  EXPECT_FALSE(framing->StoresExtendedStatus());

  // An ECR that does not answer has not answered: no status.
  host.io.onSend = nullptr;
  EXPECT_EQ(framing->ReadStatusEx(block, &length), kResultLinkFailure);

  host.io.Feed(Bytes{0x40, 0x10, '1', 0x0D});
  EXPECT_EQ(framing->ReadStatusEx(block, &length), kResultCollision);

  // The plain status exchanges nothing.
  size_t sends = host.io.Sends().size();
  uint8_t status = 0xEE;
  EXPECT_EQ(framing->ReadStatus(&status), kResultOk);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(host.io.Sends().size(), sends);
}

TEST_F(HexLineFraming, AFailedOrSilentLinkEndsEveryRead) {
  // Silent mid-frame: the partial frame is dropped after the byte wait.
  host.io.Feed("@A01");
  EXPECT_EQ(framing->ReadMessage(false, -1).result, kResultNothing);
  EXPECT_GE(host.io.VirtualMs(), 1000);
  // Nothing at all in a required read: no message, after a bounded wait.
  EXPECT_EQ(framing->RequiredRead(-1).result, kResultNothing);

  // The ECR closes mid-frame: a link failure, and the plain status says so.
  host.io.Feed("@B0");
  host.io.Close();
  EXPECT_EQ(framing->ReadMessage(false, -1).result, kResultLinkFailure);
  EXPECT_EQ(framing->ReadMessage(true, -1).result, kResultLinkFailure);
  uint8_t status = 0;
  EXPECT_EQ(framing->ReadStatus(&status), kResultLinkFailure);
  uint8_t block[kFrameBufferSize];
  int length = 0;
  EXPECT_EQ(framing->ReadStatusEx(block, &length), kResultLinkFailure);
  EXPECT_EQ(Write({'A'}), kResultLinkFailure);
}

TEST(HexLineCodec, EncodeAndDecodeStayInsideTheirBuffers) {
  uint8_t frame[kLineFrameMax];
  uint8_t message[kLineMessageMax];
  const uint8_t one[] = {'I'};
  EXPECT_EQ(EncodeLineFrame(one, 1, frame, sizeof frame), 3);
  EXPECT_EQ(EncodeLineFrame(one, 0, frame, sizeof frame), 0);
  uint8_t big[200] = {};
  EXPECT_EQ(EncodeLineFrame(big, 128, frame, sizeof frame), 0);
  EXPECT_EQ(EncodeLineFrame(big, 127, frame, 254), 0);  // capacity too small

  const uint8_t four[] = {0x40, 0x41, 0x39, 0x0D};
  EXPECT_EQ(DecodeLineFrame(four, 4, message), 1);
  const uint8_t three[] = {0x40, 0x41, 0x0D};
  EXPECT_EQ(DecodeLineFrame(three, 3, message), 0);
  uint8_t over[300] = {};
  EXPECT_EQ(DecodeLineFrame(over, 257, message), 0);
}

}  // namespace
