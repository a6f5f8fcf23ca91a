// Hex-line framing: every message travels as '@', its code byte, its other
// bytes in hex, carriage return. There is no acknowledgement, no sequence
// number and no check byte, and every message from the ECR is an answer.
// Windows-free: runs over any LinkIo.
#include <algorithm>
#include <cstring>

#include "framing.h"
#include "sandoral_hex.h"

namespace linkdrv {
namespace {

constexpr int kFrameWaitMs = 1000;  // for the first byte of a frame, and between its bytes
constexpr int kResendPauseMs = 100;
constexpr int kSendAttempts = 3;
constexpr int kKeptMessageMax = 251;  // bytes of a received message kept as the answer
constexpr uint8_t kStatusRequestCode = 'S';

// How one frame read ended.
enum class FrameRead {
  kMessage,    // a frame that decoded to at least one byte
  kNoMessage,  // bytes came, but no usable frame, and nothing more is pending
  kSilent,     // nothing came within the wait
  kFailed,     // the connection failed, was closed, or the link is stopping
};

class SandoralFraming final : public Framing {
 public:
  explicit SandoralFraming(FramingHost& host) : host_(host), io_(host.Io()), s_(host.State()) {}

  bool PrepareCommand(const uint8_t* bytes, int length) override {
    int n = std::clamp(length, 0, kFrameBufferSize);
    s_.lastCommandCode = n > 0 ? bytes[0] : 0;
    s_.sequence = static_cast<uint8_t>(s_.sequence + 1);
    s_.sequenceCopy = s_.sequence;
    if (n > 0) std::memcpy(s_.command, bytes, n);
    s_.commandLength = n;
    return length >= 1 && length <= kLineMessageMax;
  }

  int WriteCommand() override {
    int collision = CheckCollision();
    if (collision != kResultOk) return collision;
    uint8_t frame[kLineFrameMax];
    int length = EncodeLineFrame(s_.command, s_.commandLength, frame, sizeof frame);
    if (length == 0) return kResultLinkFailure;  // empty, or too long for a line frame
    for (int attempt = 1; attempt <= kSendAttempts; ++attempt) {
      if (attempt > 1) io_.SleepMs(kResendPauseMs);
      if (SendFrame(frame, length)) {
        s_.bytesSent += s_.commandLength;
        return kResultOk;
      }
    }
    return kResultLinkFailure;
  }

  ReadOutcome ReadMessage(bool onlyIfAvailable, int leadIn) override {
    ReadOutcome out;
    int pending = io_.Pending();
    if (pending < 0) {
      out.result = kResultLinkFailure;
      return out;
    }
    if (pending == 0) {
      if (onlyIfAvailable) return out;  // kResultNothing
      pending = 1;
    }
    pending = std::min(pending, kFrameBufferSize);

    // The copy that is logged: a collision byte read earlier comes first.
    uint8_t logged[1 + kLineMessageMax];
    int lead = 0;
    if (!onlyIfAvailable && leadIn == kDLE && s_.tcpMode) logged[lead++] = kDLE;

    uint8_t* message = logged + lead;
    int n = 0;
    if (!onlyIfAvailable && leadIn == kENQ && !s_.tcpMode) {
      message[0] = kENQ;
      n = 1;
    } else {
      for (;;) {
        FrameRead r = ReadFrame(message, &n);
        if (r == FrameRead::kMessage) break;
        if (r == FrameRead::kFailed) {
          out.result = kResultLinkFailure;
          return out;
        }
        if (r == FrameRead::kSilent) return out;  // nothing arrived: no message
        // A frame without a message: the next frame is dropped as well.
        uint8_t dropped[kLineMessageMax];
        int droppedLength = 0;
        r = ReadFrame(dropped, &droppedLength);
        if (r == FrameRead::kFailed) {
          out.result = kResultLinkFailure;
          return out;
        }
        if (r == FrameRead::kSilent) return out;
      }
    }

    // More was pending than this frame accounts for: it is not the latest.
    if (2 * n + 3 < pending) {
      out.result = kResultLinkFailure;
      return out;
    }

    int kept = std::min(n, kKeptMessageMax);
    host_.LockAnswer();
    std::memcpy(s_.answer, message, kept);
    s_.answerLength = kept;
    host_.UnlockAnswer();
    s_.lastFrameId = message[0];
    host_.Log(1, 0x0002, 1, "MSG RECEIVED", logged, static_cast<unsigned>(lead + n), 0);
    out.result = kResultOk;
    out.unsolicited = false;
    out.code = message[0];
    return out;
  }

  ReadOutcome RequiredRead(int leadIn) override { return ReadMessage(false, leadIn); }

  // Nothing is exchanged: the line has no plain status. A failed connection
  // still reports as one, so that the line check and late answers see it.
  int ReadStatus(uint8_t* status) override {
    *status = 0;
    return io_.Pending() < 0 ? kResultLinkFailure : kResultOk;
  }

  int ReadStatusEx(uint8_t* block, int* length) override {
    *length = 0;
    int collision = CheckCollision();
    if (collision != kResultOk) return collision;
    SendControl(kStatusRequestCode);
    int n = 0;
    FrameRead r = ReadFrame(block, &n);
    // An ECR that sends nothing back has not answered the request; one that
    // answers with a frame carrying no message ("S" alone) has, with no block.
    if (r == FrameRead::kSilent || r == FrameRead::kFailed) return kResultLinkFailure;
    *length = r == FrameRead::kMessage ? n - 1 : 0;
    return kResultOk;
  }

  bool StoresExtendedStatus() const override { return false; }
  bool ReadsPlainStatus() const override { return false; }

 private:
  // Reads one pending frame, if any, before writing: the ECR's lone
  // collision byte means it is sending. Any other frame read here is dropped.
  int CheckCollision() {
    int pending = io_.Pending();
    if (pending < 0) return kResultLinkFailure;
    if (pending == 0) return kResultOk;
    uint8_t message[kLineMessageMax];
    int n = 0;
    FrameRead r = ReadFrame(message, &n);
    if (r == FrameRead::kFailed) return kResultLinkFailure;
    uint8_t collisionByte = s_.tcpMode ? kDLE : kENQ;
    if (r == FrameRead::kMessage && n == 1 && message[0] == collisionByte) {
      return CollisionResult(s_);
    }
    return kResultOk;
  }

  // Sends a whole frame in one call; pauses after it while OnLine is 1.
  bool SendFrame(const uint8_t* frame, int length) {
    return SendPaced(io_, s_, frame, length) == length;
  }

  // Sends the one-byte frame of code; true when one of three sends went out whole.
  bool SendControl(uint8_t code) {
    uint8_t frame[3] = {kLineStart, code, kLineEnd};
    for (int attempt = 0; attempt < kSendAttempts; ++attempt) {
      if (SendFrame(frame, sizeof frame)) {
        s_.bytesSent += 1;
        return true;
      }
    }
    return false;
  }

  // One byte within the wait: 1 read, 0 nothing came, -1 failed or closed.
  int ReadByte(uint8_t* b) {
    int w = io_.WaitReadable(kFrameWaitMs);
    if (w <= 0) return w;
    return io_.Receive(b, 1) == 1 ? 1 : -1;
  }

  // Reads one frame and decodes it into message[kLineMessageMax]. Bytes
  // before '@' are skipped; a frame that outgrows its 256-byte buffer is
  // dropped and the reader hunts for the next '@'; a frame whose bytes stop
  // coming for a second is dropped.
  FrameRead ReadFrame(uint8_t* message, int* n) {
    *n = 0;
    bool sawBytes = false;
    for (;;) {
      int w = io_.WaitReadable(kFrameWaitMs);
      if (w < 0) return FrameRead::kFailed;
      if (w == 0) return sawBytes ? FrameRead::kNoMessage : FrameRead::kSilent;

      uint8_t frame[kLineFrameMax];
      int length = 0;
      bool inFrame = false;
      for (;;) {
        uint8_t b = 0;
        int r = ReadByte(&b);
        if (r < 0) return FrameRead::kFailed;
        if (r == 0) {
          length = 0;  // the ECR went silent: what came is dropped
          break;
        }
        sawBytes = true;
        if (!inFrame || length == kLineFrameMax) {
          // Hunting for '@': at the start, and after an over-long frame.
          inFrame = b == kLineStart;
          length = 0;
          if (inFrame) frame[length++] = b;
          continue;
        }
        frame[length++] = b;
        if (b == kLineEnd) break;
      }

      int decoded = DecodeLineFrame(frame, length, message);
      if (decoded > 0) {
        s_.bytesReceived += decoded;
        *n = decoded;
        return FrameRead::kMessage;
      }
      int pending = io_.Pending();
      if (pending < 0) return FrameRead::kFailed;
      if (pending == 0) return FrameRead::kNoMessage;
    }
  }

  FramingHost& host_;
  LinkIo& io_;
  FramingState& s_;
};

}  // namespace

std::unique_ptr<Framing> CreateFraming(FramingHost& host) {
  return std::make_unique<SandoralFraming>(host);
}

}  // namespace linkdrv
