// The ECR's side of the hex-text line framing: '@', the code byte as it is,
// the other bytes as upper-case hex pairs, a carriage return. The driver's
// "S" control frame asks for the extended status; every other frame is a
// command.
#include <cctype>

#include "ecr_framing.h"

namespace ecrsim {
namespace {

constexpr uint8_t kAt = '@';
constexpr uint8_t kCR = 0x0D;
// Longest frame the ECR collects from the driver; the driver's own frames
// are at most 255 bytes.
constexpr size_t kMaxFrame = 600;

int HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

class HexLineEcr : public EcrFraming {
 public:
  explicit HexLineEcr(EcrSession& session) : session_(session) {}

  void OnBytes(const uint8_t* bytes, size_t count) override {
    for (size_t i = 0; i < count; ++i) OnByte(bytes[i]);
  }

  void Transmit(const OutItem& item) override {
    const FrameStyle& style = item.style;
    Bytes wire;
    for (const Bytes& m : item.messages) {
      Bytes frame = Encode(m, style);
      Event e(EventKind::kFrameSent);
      e.message = m;
      e.raw = frame;
      session_.Emit(e);
      if (item.together) {
        wire.insert(wire.end(), frame.begin(), frame.end());
      } else {
        SendOne(frame, style);
      }
    }
    if (item.together) SendOne(wire, style);
    if (pendingDelayed_ == 0) session_.TransmitDone();
  }

  void SendCollision() override { session_.Write(CollisionFrame()); }

  Bytes Encode(const Bytes& message, const FrameStyle& style) const override {
    return Simulator::EncodeHexLine(message, style);
  }

  void Reset() override {
    collecting_ = false;
    frame_.clear();
    pendingDelayed_ = 0;
  }

 private:
  // The one-byte message 0x10 in a frame the driver decodes (a frame of
  // three bytes would be dropped): '@', 0x10, a lone digit, CR.
  static Bytes CollisionFrame() { return {kAt, 0x10, '0', kCR}; }

  // Sends one frame (or several at once), with the collision frame first when asked.
  void SendOne(const Bytes& frame, const FrameStyle& style) {
    if (!style.collisionFirst) {
      session_.WriteFrame(frame, style, true);
      return;
    }
    if (!style.before.empty()) session_.Write(style.before);
    session_.Write(CollisionFrame());
    FrameStyle rest = style;
    rest.before.clear();
    if (style.collisionGapMs <= 0) {
      session_.WriteFrame(frame, rest, true);
      return;
    }
    ++pendingDelayed_;
    session_.After(style.collisionGapMs, [this, frame, rest] {
      session_.WriteFrame(frame, rest, true);
      if (--pendingDelayed_ == 0) session_.TransmitDone();
    });
  }

  void OnByte(uint8_t b) {
    if (!collecting_) {
      if (b == kAt) {
        collecting_ = true;
        frame_.assign(1, b);
      } else {
        Event e(EventKind::kStray);
        e.byte = b;
        session_.Emit(e);
      }
      return;
    }
    frame_.push_back(b);
    if (b == kCR) {
      collecting_ = false;
      OnFrame();
    } else if (frame_.size() > kMaxFrame) {
      Event e(EventKind::kBadFrame);
      e.raw = frame_;
      e.note = "no carriage return";
      session_.Emit(e);
      collecting_ = false;
      frame_.clear();
    }
  }

  // frame_ holds '@' ... CR.
  void OnFrame() {
    if (frame_.size() < 3) {
      Event e(EventKind::kBadFrame);
      e.raw = frame_;
      e.note = "empty frame";
      session_.Emit(e);
      return;
    }
    Bytes message{frame_[1]};
    size_t digits = frame_.size() - 3;
    bool wellFormed = digits % 2 == 0;
    for (size_t i = 2; i + 1 < 2 + digits; i += 2) {
      int hi = HexValue(frame_[i]);
      int lo = HexValue(frame_[i + 1]);
      if (hi < 0 || lo < 0 || std::islower(frame_[i]) || std::islower(frame_[i + 1])) {
        wellFormed = false;
      }
      message.push_back(static_cast<uint8_t>(((hi < 0 ? 0 : hi) << 4) | (lo < 0 ? 0 : lo)));
    }
    bool statusRequest = message.size() == 1 && message[0] == 'S';
    Event e(statusRequest ? EventKind::kExtStatusRequest : EventKind::kMessage);
    e.message = message;
    e.raw = frame_;
    e.byte = message[0];
    e.wellFormed = wellFormed;
    session_.Emit(e);
    if (statusRequest) {
      AnswerStatus();
    } else {
      session_.Execute(message);
    }
  }

  void AnswerStatus() {
    StatusAnswer a = session_.Status(true);
    if (a.reply.silent) return;
    Bytes message{'S'};
    if (!a.reply.bare) message.insert(message.end(), a.block.begin(), a.block.end());
    auto send = [this, message] {
      Bytes frame = Encode(message, {});
      Event e(EventKind::kFrameSent);
      e.message = message;
      e.raw = frame;
      session_.Emit(e);
      session_.Write(frame);
    };
    if (a.reply.delayMs > 0) {
      session_.After(a.reply.delayMs, send);
    } else {
      send();
    }
  }

  EcrSession& session_;
  bool collecting_ = false;
  Bytes frame_;
  int pendingDelayed_ = 0;
};

}  // namespace

std::unique_ptr<EcrFraming> MakeHexLineFraming(EcrSession& session) {
  return std::make_unique<HexLineEcr>(session);
}

}  // namespace ecrsim
