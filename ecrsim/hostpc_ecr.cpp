// The ECR's side of the host-PC framing: DLE STX, five header bytes
// (sequence number, three header bytes, code), data, DLE ETX, check byte;
// every 0x10 inside is doubled. Each frame is answered by one reply byte
// (ACK, NAK, CAN, BEL). Outside frames the driver sends the plain (0x1E)
// and extended (0x1F) status requests and its replies to the ECR's frames.
#include <deque>

#include "ecr_framing.h"

namespace ecrsim {
namespace {

// Most bytes the ECR takes after the five header bytes of a driver frame.
constexpr size_t kMaxBody = 5 + 300;

class HostPcEcr : public EcrFraming {
 public:
  explicit HostPcEcr(EcrSession& session) : session_(session) {}

  void OnBytes(const uint8_t* bytes, size_t count) override {
    for (size_t i = 0; i < count; ++i) OnByte(bytes[i]);
  }

  void Transmit(const OutItem& item) override {
    jobActive_ = true;
    for (const Bytes& m : item.messages) {
      Pending p;
      p.message = m;
      p.style = item.style;
      p.sequence = item.style.sequence >= 0 ? static_cast<uint8_t>(item.style.sequence)
                                            : session_.NextOutSequence();
      p.repeatsLeft = item.style.repeat;
      queue_.push_back(std::move(p));
    }
    if (!item.together) {
      Advance();
      return;
    }
    Bytes wire;
    while (!queue_.empty()) {
      Pending& p = queue_.front();
      Bytes frame = Frame(p);
      wire.insert(wire.end(), frame.begin(), frame.end());
      inflight_.push_back(std::move(p));
      queue_.pop_front();
    }
    session_.WriteFrame(wire, item.style, true);
    ArmReplyTimer();
    Advance();
  }

  void SendCollision() override { session_.Write({kDLE}); }

  Bytes Encode(const Bytes& message, const FrameStyle& style) const override {
    return Simulator::EncodeHostPc(style.sequence >= 0 ? static_cast<uint8_t>(style.sequence) : 0,
                                   message, style);
  }

  void Reset() override {
    rx_ = Rx::kIdle;
    escape_ = false;
    raw_.clear();
    body_.clear();
    queue_.clear();
    inflight_.clear();
    holds_ = 0;
    jobActive_ = false;
    ++replyToken_;
  }

 private:
  enum class Rx { kIdle, kAfterDle, kBody, kCheck };

  // One ECR frame on its way: sent, waiting for its reply, or queued.
  struct Pending {
    Bytes message;
    FrameStyle style;
    uint8_t sequence = 0;
    int transmissions = 0;
    int canTries = 0;
    int repeatsLeft = 0;
  };

  // --- Receiving ---

  void OnByte(uint8_t b) {
    switch (rx_) {
      case Rx::kIdle:
        OnIdleByte(b);
        return;
      case Rx::kAfterDle:
        raw_.push_back(b);
        if (b == kSTX) {
          rx_ = Rx::kBody;
          escape_ = false;
          body_.clear();
        } else {
          BadFrame("DLE not followed by STX");
        }
        return;
      case Rx::kBody:
        raw_.push_back(b);
        if (escape_) {
          escape_ = false;
          if (b == kDLE) {
            AddBodyByte(b);
          } else if (b == kETX) {
            rx_ = Rx::kCheck;
          } else {
            BadFrame("DLE followed by a byte other than DLE or ETX");
          }
        } else if (b == kDLE) {
          escape_ = true;
        } else {
          AddBodyByte(b);
        }
        return;
      case Rx::kCheck:
        raw_.push_back(b);
        OnFrameEnd(b);
        return;
    }
  }

  void AddBodyByte(uint8_t b) {
    body_.push_back(b);
    if (body_.size() > kMaxBody) BadFrame("frame too long");
  }

  void OnIdleByte(uint8_t b) {
    if (b == kDLE) {
      rx_ = Rx::kAfterDle;
      raw_.assign(1, b);
    } else if (b == kPlainStatusRequest || b == kExtStatusRequest) {
      AnswerStatus(b);
    } else if (!inflight_.empty()) {
      OnReply(b);
    } else {
      Event e(EventKind::kStray);
      e.byte = b;
      session_.Emit(e);
    }
  }

  void BadFrame(const char* why) {
    Event e(EventKind::kBadFrame);
    e.raw = raw_;
    e.note = why;
    session_.Emit(e);
    rx_ = Rx::kIdle;
  }

  void OnFrameEnd(uint8_t check) {
    rx_ = Rx::kIdle;
    if (body_.size() < 5) {
      BadFrame("fewer than five header bytes");
      return;
    }
    uint8_t sum = kETX;
    for (uint8_t b : body_) sum ^= b;
    Event e(EventKind::kMessage);
    e.raw = raw_;
    e.sequence = body_[0];
    for (int i = 0; i < 3; ++i) e.header[i] = body_[1 + i];
    e.message.assign(body_.begin() + 4, body_.end());
    if (sum != check) {
      e.kind = EventKind::kBadFrame;
      e.note = "bad check byte";
      session_.Emit(e);
      session_.Write({kNAK});
      return;
    }
    LinkReply reply = session_.NextLinkReply();
    if (reply.kind != LinkReply::kAck) {
      RejectFrame(e, reply);
      return;
    }
    session_.Write({kACK});
    e.duplicate = session_.DropDuplicates() && session_.LastAcceptedSequence() == e.sequence;
    session_.SetLastAcceptedSequence(e.sequence);
    Bytes message = e.message;
    bool duplicate = e.duplicate;
    session_.Emit(std::move(e));
    if (!duplicate) session_.Execute(message);
  }

  // A good frame that the script does not acknowledge.
  void RejectFrame(Event e, const LinkReply& reply) {
    static const char* const kNotes[] = {"ACK",
                                         "rejected: NAK",
                                         "rejected: CAN",
                                         "rejected: BEL",
                                         "rejected: silence",
                                         "rejected: raw byte",
                                         "rejected: collision"};
    e.kind = EventKind::kBadFrame;
    e.note = kNotes[reply.kind];
    session_.Emit(e);
    session_.Count(&Counters::rejected);
    switch (reply.kind) {
      case LinkReply::kNak:
        session_.Write({kNAK});
        break;
      case LinkReply::kCan:
        session_.Write({kCAN});
        break;
      case LinkReply::kBel:
        session_.Write({kBEL});
        break;
      case LinkReply::kByte:
        session_.Write({reply.byte});
        break;
      case LinkReply::kCollide:
        StartOwnFrame(reply.message);
        break;
      default:
        break;
    }
  }

  // The ECR begins a frame of its own at once, ahead of anything queued:
  // its DLE is what the driver reads as the reply.
  void StartOwnFrame(const Bytes& message) {
    Pending p;
    p.message = message;
    p.sequence = session_.NextOutSequence();
    Bytes frame = Frame(p);
    inflight_.push_front(std::move(p));
    session_.WriteFrame(frame, {}, true);
    ArmReplyTimer();
  }

  void AnswerStatus(uint8_t request) {
    bool extended = request == kExtStatusRequest;
    Event e(extended ? EventKind::kExtStatusRequest : EventKind::kPlainStatusRequest);
    e.byte = request;
    session_.Emit(e);
    StatusAnswer a = session_.Status(extended);
    if (a.reply.silent) return;
    if (!a.reply.collide.empty()) {
      StartOwnFrame(a.reply.collide);
      return;
    }
    Bytes out;
    if (a.reply.replyByte >= 0) {
      out.push_back(static_cast<uint8_t>(a.reply.replyByte));
    } else if (!extended) {
      out.push_back(a.status);
    } else {
      int length = a.reply.length >= 0 ? a.reply.length : static_cast<int>(a.block.size()) + 1;
      uint8_t check = static_cast<uint8_t>(length);
      for (uint8_t b : a.block) check ^= b;
      if (a.reply.badCheck) check ^= 0xFF;
      Bytes block = a.block;
      block.push_back(check);
      if (a.reply.sendBytes >= 0 && static_cast<size_t>(a.reply.sendBytes) < block.size()) {
        block.resize(a.reply.sendBytes);
      }
      out.push_back(static_cast<uint8_t>(length));
      out.insert(out.end(), block.begin(), block.end());
    }
    if (a.reply.delayMs > 0) {
      session_.After(a.reply.delayMs, [this, out] { session_.Write(out); });
    } else {
      session_.Write(out);
    }
  }

  // --- Sending ---

  Bytes Frame(Pending& p) {
    Bytes frame = Simulator::EncodeHostPc(p.sequence, p.message, p.style);
    bool corrupt = p.transmissions < p.style.badCheck && !p.style.noCheck;
    if (corrupt) frame.back() ^= 0xFF;
    ++p.transmissions;
    Event e(EventKind::kFrameSent);
    e.message = p.message;
    e.raw = frame;
    e.sequence = p.sequence;
    for (int i = 0; i < 3; ++i) e.header[i] = p.style.header[i];
    if (corrupt) e.note = "bad check byte";
    session_.Emit(std::move(e));
    return frame;
  }

  // Sends the front frame of inflight_ again.
  void Resend() {
    Pending& p = inflight_.front();
    Bytes frame = Frame(p);
    session_.WriteFrame(frame, p.style, false);
    ArmReplyTimer();
  }

  void OnReply(uint8_t b) {
    Event e(EventKind::kLinkReply);
    e.byte = b;
    e.sequence = inflight_.front().sequence;
    session_.Emit(e);
    Pending& p = inflight_.front();
    switch (b) {
      case kACK:
        if (p.repeatsLeft > 0) {
          --p.repeatsLeft;
          Resend();
          return;
        }
        break;
      case kNAK:
        if (p.transmissions < session_.TransmissionLimit()) {
          session_.Count(&Counters::retransmissions);
          Resend();
          return;
        }
        session_.Count(&Counters::refused);
        break;
      case kCAN: {
        int delayMs = 0, tries = 0;
        session_.CanRetry(&delayMs, &tries);
        if (p.canTries < tries) {
          Pending again = p;
          ++again.canTries;
          again.transmissions = again.style.badCheck;  // good check byte from now on
          inflight_.pop_front();
          ++holds_;
          session_.After(delayMs, [this, again] {
            --holds_;
            inflight_.push_front(again);
            Resend();
          });
          ArmReplyTimer();
          return;
        }
        session_.Count(&Counters::refused);
        break;
      }
      default:
        break;  // BEL or any other byte ends the exchange
    }
    inflight_.pop_front();
    ArmReplyTimer();
    Advance();
  }

  // Starts the next queued frame, or ends the job when nothing is left.
  void Advance() {
    if (!inflight_.empty() || holds_ > 0) return;
    if (!queue_.empty()) {
      Pending p = std::move(queue_.front());
      queue_.pop_front();
      Bytes frame = Frame(p);
      FrameStyle style = p.style;
      inflight_.push_back(std::move(p));
      session_.WriteFrame(frame, style, true);
      ArmReplyTimer();
      return;
    }
    if (jobActive_) {
      jobActive_ = false;
      session_.TransmitDone();
    }
  }

  // (Re)starts the wait for the reply to the front frame in flight.
  void ArmReplyTimer() {
    unsigned token = ++replyToken_;
    if (inflight_.empty()) return;
    session_.After(session_.ReplyTimeoutMs(), [this, token] {
      if (token != replyToken_ || inflight_.empty()) return;
      Event e(EventKind::kNoReply);
      e.sequence = inflight_.front().sequence;
      session_.Emit(e);
      inflight_.pop_front();
      ArmReplyTimer();
      Advance();
    });
  }

  EcrSession& session_;
  Rx rx_ = Rx::kIdle;
  bool escape_ = false;
  Bytes raw_;
  Bytes body_;  // header and data, unstuffed

  std::deque<Pending> queue_;     // frames of the current job not yet sent
  std::deque<Pending> inflight_;  // sent, waiting for their reply byte, oldest first
  int holds_ = 0;                 // frames waiting to be sent again after CAN
  bool jobActive_ = false;
  unsigned replyToken_ = 0;
};

}  // namespace

std::unique_ptr<EcrFraming> MakeHostPcFraming(EcrSession& session) {
  return std::make_unique<HostPcEcr>(session);
}

}  // namespace ecrsim
