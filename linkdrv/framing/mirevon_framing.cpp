// Host-PC framing: command frames, acknowledgements, the receive state
// machine, the control-byte exchange and the two status reads.
#include "mirevon_framing.h"

#include <algorithm>
#include <cstring>

namespace linkdrv {
namespace mirevon {

namespace {

// States of the receive machine.
enum RxState {
  kWaitEnq = 0,   // TCP mode 0: the ECR asks to send with ENQ
  kWaitDle = 1,   // the frame's DLE
  kWaitStx = 2,   // the frame's STX
  kHeader = 3,    // five header bytes, DLE-escaped
  kData = 4,      // code is known; data bytes until DLE ETX
  kCheck = 5,     // the check byte
  kAfterAck = 6,  // TCP mode 0: one byte after our ACK ends the exchange
  kError = 7,     // a broken frame: what is pending is dropped
};

constexpr uint8_t kAnswerCodeI = 'I';
constexpr int kInnerHeaderSize = 4;

ReadOutcome Result(int result) {
  ReadOutcome outcome;
  outcome.result = result;
  return outcome;
}

}  // namespace

bool IsUnsolicitedCode(uint8_t code) {
  return code == 'X' || code == 'Y' || code == 'F' || code == 'G' || code == 'B';
}

int BuildFrame(uint8_t sequence, const uint8_t* message, int length, bool withCheck, uint8_t* out,
               int capacity) {
  if (message == nullptr || out == nullptr || length < 1 || capacity <= 0) return -1;
  int n = 0;
  uint8_t check = 0;
  auto put = [&](uint8_t b) {
    if (n < capacity) out[n] = b;
    ++n;
  };
  auto putStuffed = [&](uint8_t b) {
    put(b);
    if (b == kDLE) put(b);
    check ^= b;
  };
  put(kDLE);
  put(kSTX);
  putStuffed(sequence);
  for (int i = 0; i < 3; ++i) putStuffed(0);
  for (int i = 0; i < length; ++i) putStuffed(message[i]);
  put(kDLE);
  put(kETX);
  check ^= kETX;
  if (withCheck) put(check);  // the check byte is never doubled
  return n <= capacity ? n : -1;
}

// One received frame in the making.
struct MirevonFraming::Receiver {
  int state = kWaitDle;
  int tries = 1;  // 1 on the first try; NAKs and short reads add one
  uint8_t check = 0;
  bool escaped = false;  // a DLE in the header or data waits for its partner
  int headerCount = 0;
  uint8_t header[kHeaderSize] = {};
  uint8_t body[kMaxBody] = {};  // the code, then the data
  int bodyCount = 0;
  uint8_t logged[kLoggedCopySize];
  int loggedCount = 0;
  ReadOutcome outcome;

  void Log(uint8_t b) {
    if (loggedCount < kLoggedCopySize) logged[loggedCount++] = b;
  }
  bool End(int result) {
    outcome.result = result;
    return true;
  }
};

MirevonFraming::MirevonFraming(FramingHost& host) : host_(host), io_(host.Io()), s_(host.State()) {}

bool MirevonFraming::PrepareCommand(const uint8_t* bytes, int length) {
  ++s_.sequence;
  s_.sequenceCopy = s_.sequence;
  s_.lastCommandCode = (bytes != nullptr && length > 0) ? bytes[0] : 0;
  int n = BuildFrame(s_.sequence, bytes, length, s_.noChecksum == 0, s_.command,
                     static_cast<int>(sizeof s_.command));
  // A command whose frame does not fit is left empty; WriteCommand refuses it.
  s_.commandLength = n < 0 ? 0 : n;
  return n > 0;
}

// Returns 0 when the ECR took the frame; 11, 12, 13, 14, 15, 20 by its
// reply; 99 when the frame could not be sent (or did not fit its buffer).
int MirevonFraming::WriteCommand() {
  const int length = s_.commandLength;
  if (length <= 0 || length > static_cast<int>(sizeof s_.command)) return kResultLinkFailure;
  if (CollisionPending()) return CollisionResult(s_);

  int attempt = 1;
  bool missedReply = false;
  bool askToSend = true;  // TCP mode 0: ENQ before the frame
  for (;;) {
    if (askToSend && !s_.tcpMode) {
      uint8_t reply = 0;
      int r = ControlExchange(kENQ, &reply);
      if (r != kResultOk) return r;
      if (reply == kBEL) return kResultBell;
      if (reply == kCAN) return kResultRefused;
      if (reply != kACK) return kResultEnqCollision;
    }
    askToSend = false;

    int sent = SendPaced(io_, s_, s_.command, length);
    if (sent != length) {
      if (++attempt > kAttempts) return kResultLinkFailure;
      io_.SleepMs(kResendPauseMs);
      askToSend = true;
      continue;
    }
    s_.bytesSent += length;

    int reply = ReadReply();
    switch (reply) {
      case -1: {
        missedReply = true;
        if (++attempt > kAttempts) return kResultNoReply;
        uint8_t status = 0;
        int r = ReadStatus(&status);
        if (r != kResultOk) return r == kResultCollision ? kResultCollision : kResultNoReply;
        io_.SleepMs(kResendPauseMs);
        askToSend = true;
        continue;
      }
      case kNAK:
        missedReply = false;
        if (++attempt > kAttempts) return kResultNakLimit;
        continue;
      case kCAN:
        // After a missed reply the ECR may refuse a frame it already has.
        return missedReply ? kResultOk : kResultRefused;
      case kBEL:
        return kResultBell;
      case kDLE:
        return kResultCollision;
      default:  // ACK, and any other byte
        if (!s_.tcpMode && !SendControl(kEOT)) return kResultLinkFailure;
        return kResultOk;
    }
  }
}

// Returns 0 with a message (answer or queued unsolicited), -1 for nothing,
// a repeat or an unusable "I" answer, else 31, 33, 34, 35, 36 or 99.
ReadOutcome MirevonFraming::ReadMessage(bool onlyIfAvailable, int leadIn) {
  int pending = PendingBytes();
  if (pending < 0) return Result(kResultLinkFailure);
  if (pending == 0) {
    if (onlyIfAvailable) return Result(kResultNothing);
    pending = 1;
  }
  int want = std::min(pending, kReadBatch);

  Receiver rx;
  rx.state = s_.tcpMode ? kWaitDle : kWaitEnq;
  if (!onlyIfAvailable && leadIn >= 0) {
    if (leadIn == kDLE && s_.tcpMode) {
      rx.Log(kDLE);  // the caller read the frame's first byte
      rx.state = kWaitStx;
    } else if (leadIn == kENQ && !s_.tcpMode) {
      rx.state = kWaitEnq;
      if (HandleByte(rx, kENQ)) return rx.outcome;
    } else {
      rx.state = kError;
    }
  }

  uint8_t batch[kReadBatch];
  while (rx.state != kError) {
    int n = ReadRaw(batch, want);
    if (n < 0) return Result(kResultLinkFailure);
    want = 1;
    if (n == 0) {  // nothing within the wait
      if (++rx.tries > kAttempts) return Result(kResultShortRead);
      if (!SendControl(kNAK)) return Result(kResultLinkFailure);
      rx.state = kWaitDle;
      continue;
    }
    for (int i = 0; i < n && rx.state != kError; ++i) {
      if (HandleByte(rx, batch[i])) {
        KeepUnread(batch + i + 1, n - i - 1);
        return rx.outcome;
      }
    }
  }
  // A broken frame: drop what is pending and report it, so that the next
  // read starts clean and catches the ECR's retransmission.
  DropPending();
  return Result(kResultLinkFailure);
}

// Handles one received byte; true when the read is over (rx.outcome set).
bool MirevonFraming::HandleByte(Receiver& rx, uint8_t byte) {
  rx.Log(byte);
  switch (rx.state) {
    case kWaitEnq:
      if (byte != kENQ) return rx.End(kResultNotEnq);
      if (!SendControl(kACK)) return rx.End(kResultLinkFailure);
      rx.state = kWaitDle;
      return false;

    case kWaitDle:
      if (byte == kDLE) {
        rx.check = 0;
        rx.loggedCount = 0;
        rx.Log(byte);
        rx.state = kWaitStx;
      } else if (byte == kEOT && rx.tries >= kAttempts) {
        return rx.End(kResultEotAfterRetries);  // the ECR gave up on its last try
      } else {
        rx.state = kError;
      }
      return false;

    case kWaitStx:
      if (byte == kSTX) {
        rx.headerCount = 0;
        rx.bodyCount = 0;
        rx.escaped = false;
        rx.state = kHeader;
      } else {
        rx.state = kError;
      }
      return false;

    case kHeader:
    case kData:
      if (rx.escaped) {
        rx.escaped = false;
        if (byte == kETX && rx.state == kData) {
          rx.check ^= kETX;
          if (s_.noChecksum) return CheckPassed(rx);
          rx.state = kCheck;
          return false;
        }
        if (byte != kDLE) {  // DLE and anything but DLE or ETX, or a header cut short
          rx.state = kError;
          return false;
        }
      } else if (byte == kDLE) {
        rx.escaped = true;
        return false;
      }
      rx.check ^= byte;
      if (rx.state == kHeader) {
        rx.header[rx.headerCount++] = byte;
        if (rx.headerCount == kHeaderSize) {
          rx.outcome.code = byte;
          rx.body[0] = byte;
          rx.bodyCount = 1;
          rx.state = kData;
        }
      } else if (rx.bodyCount >= kMaxBody) {
        rx.state = kError;  // longer than a frame may be
      } else {
        rx.body[rx.bodyCount++] = byte;
      }
      return false;

    case kCheck:
      if (byte == rx.check) return CheckPassed(rx);
      if (++rx.tries > kAttempts) return rx.End(kResultBadCheck);
      if (!SendControl(kNAK)) return rx.End(kResultLinkFailure);
      rx.check = 0;
      rx.state = kWaitDle;
      return false;

    case kAfterAck:
      Deliver(rx);
      return true;

    default:
      return false;
  }
}

// A complete, well-checked frame: refuse it with CAN when its message has
// no room in the queue, else acknowledge it. True when the read is over.
bool MirevonFraming::CheckPassed(Receiver& rx) {
  // A repeat is acknowledged even with a full queue: the ECR must not
  // believe refused a message that was already delivered.
  const bool repeat = rx.header[0] == s_.lastFrameId;
  if (!repeat && WillRefuse(rx)) {
    return rx.End(SendControl(kCAN) ? kResultQueueFull : kResultLinkFailure);
  }
  if (!SendControl(kACK)) return rx.End(kResultLinkFailure);
  if (!s_.tcpMode) {
    rx.state = kAfterAck;
    return false;
  }
  Deliver(rx);
  return true;
}

// True when the frame carries an unsolicited message, directly or inside an
// "I" answer, and the queue has no room for it.
bool MirevonFraming::WillRefuse(const Receiver& rx) const {
  const uint8_t code = rx.header[4];
  bool unsolicited = IsUnsolicitedCode(code);
  if (code == kAnswerCodeI && rx.bodyCount > 1 + kInnerHeaderSize) {
    const uint8_t* data = rx.body + 1;
    unsolicited = data[1] == 0 && IsUnsolicitedCode(data[kInnerHeaderSize]);
  }
  return unsolicited && !QueueHasRoom();
}

bool MirevonFraming::QueueHasRoom() const {
  const int capacity = QueueCapacity(s_);
  return s_.queueCount.load() < capacity && s_.queueWrite >= 0 && s_.queueWrite < capacity;
}

// Hands an acknowledged frame up: logs it, drops a repeat, and fills the
// answer or a queue slot. Sets rx.outcome.
void MirevonFraming::Deliver(Receiver& rx) {
  host_.Log(1, 2, 1, "MSG RECEIVED", rx.logged, static_cast<unsigned>(rx.loggedCount), 0);
  ReadOutcome& out = rx.outcome;
  out.result = kResultNothing;
  out.unsolicited = false;
  const uint8_t code = rx.header[4];
  out.code = code;
  if (rx.header[0] == s_.lastFrameId) return;  // acknowledged again, delivered once
  s_.lastFrameId = rx.header[0];

  const uint8_t* data = rx.body + 1;
  const int dataCount = rx.bodyCount - 1;
  if (IsUnsolicitedCode(code)) {
    out.unsolicited = true;
    out.result = Enqueue(rx.header, code, data, dataCount) ? kResultOk : kResultQueueFull;
    return;
  }
  if (code != kAnswerCodeI) {
    host_.LockAnswer();
    std::memcpy(s_.answerHeader, rx.header, sizeof s_.answerHeader);
    std::memcpy(s_.answer, rx.body, rx.bodyCount);
    s_.answerLength = rx.bodyCount;
    host_.UnlockAnswer();
    out.result = kResultOk;
    return;
  }

  // "I" answer: an inner header, the inner code and the inner data. Without
  // an inner code (four data bytes or fewer) there is nothing to hand up.
  if (dataCount <= kInnerHeaderSize || data[1] != 0) return;
  const uint8_t innerCode = data[kInnerHeaderSize];
  const uint8_t* innerData = data + kInnerHeaderSize + 1;
  const int innerCount = dataCount - kInnerHeaderSize - 1;
  out.code = innerCode;
  if (IsUnsolicitedCode(innerCode)) {
    const uint8_t innerHeader[4] = {data[0], 1, data[2], data[3]};
    out.unsolicited = true;
    out.result =
        Enqueue(innerHeader, innerCode, innerData, innerCount) ? kResultOk : kResultQueueFull;
    return;
  }
  host_.LockAnswer();
  std::memcpy(s_.answerHeader, data, kInnerHeaderSize);
  s_.answer[0] = innerCode;
  std::memcpy(s_.answer + 1, innerData, innerCount);
  s_.answerLength = 1 + innerCount;
  host_.UnlockAnswer();
  out.result = kResultOk;
}

// Puts one message into the next free slot and publishes it under the
// queue lock; false (nothing written) when there is no room.
bool MirevonFraming::Enqueue(const uint8_t header[4], uint8_t code, const uint8_t* data,
                             int dataLength) {
  if (!QueueHasRoom() || dataLength < 0 || dataLength > static_cast<int>(sizeof(QueueSlot::data))) {
    return false;
  }
  QueueSlot& slot = s_.queue[s_.queueWrite];
  std::memcpy(slot.header, header, sizeof slot.header);
  slot.code = code;
  std::memcpy(slot.data, data, dataLength);
  slot.length = 1 + dataLength;
  host_.LockQueue();
  s_.queueWrite = (s_.queueWrite + 1) % QueueCapacity(s_);
  s_.queueCount += 1;
  host_.UnlockQueue();
  return true;
}

// Returns the reading outcome of the link thread's required read.
ReadOutcome MirevonFraming::RequiredRead(int leadIn) {
  if (leadIn >= 0) return ReadMessage(false, leadIn);
  uint8_t first = 0;
  int n = ReadRaw(&first, 1);
  if (n == 1) return ReadMessage(false, first);
  return Result(n < 0 ? kResultLinkFailure : kResultNothing);
}

// Returns 0 with the ECR's status byte, 15 when the ECR is sending, or 99.
int MirevonFraming::ReadStatus(uint8_t* status) {
  if (CollisionPending()) return kResultCollision;
  uint8_t reply = 0;
  int r = ControlExchange(kPlainStatusRequest, &reply);
  if (r != kResultOk) return r;
  if (reply == kDLE) return kResultCollision;
  if (status != nullptr) *status = reply;
  return kResultOk;
}

// Returns 0 with the block (its length 5 to 9), 15 when the ECR is sending,
// 41 for a block short three times, 42 for a bad length or a bad block
// check three times, 99 when the exchange failed.
int MirevonFraming::ReadStatusEx(uint8_t* block, int* length) {
  if (CollisionPending()) return kResultCollision;
  for (int attempt = 1;; ++attempt) {
    uint8_t announced = 0;
    int r = ControlExchange(kExtStatusRequest, &announced);
    if (r != kResultOk) return r;
    if (announced == kDLE) return kResultCollision;
    if (announced < kMinStatusLength || announced > kMaxStatusLength) {
      DropPending();
      return kResultStatusBad;
    }
    uint8_t raw[kMaxStatusLength];
    int got = ReadBlock(raw, announced);
    if (got < 0) return kResultLinkFailure;
    if (got < announced) {
      if (attempt >= kAttempts) return kResultStatusShort;
      DropPending();
      continue;
    }
    uint8_t check = announced;
    for (int i = 0; i < announced - 1; ++i) check ^= raw[i];
    if (check != raw[announced - 1]) {
      if (attempt >= kAttempts) return kResultStatusBad;
      DropPending();
      continue;
    }
    if (block != nullptr) std::memcpy(block, raw, announced - 1);
    if (length != nullptr) *length = announced - 1;
    return kResultOk;
  }
}

int MirevonFraming::ControlExchange(uint8_t byte, uint8_t* reply) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (attempt > 1) io_.SleepMs(kExchangePauseMs);
    if (!SendControl(byte)) return kResultLinkFailure;
    uint8_t answer = 0;
    int n = ReadRaw(&answer, 1);
    if (n == 1) {
      if (reply != nullptr) *reply = answer;
      return kResultOk;
    }
    if (n < 0) return kResultLinkFailure;
    // A link already in fault is not kept waiting three times.
    if (s_.lineStatus[1].load() & kLineFault) break;
  }
  return kResultLinkFailure;
}

int MirevonFraming::ReadRaw(uint8_t* buffer, int size) {
  if (buffer == nullptr || size <= 0) return 0;
  int n = std::min(size, unreadCount_);
  if (n > 0) {
    std::memcpy(buffer, unread_ + unreadStart_, n);
    unreadStart_ += n;
    unreadCount_ -= n;
    if (unreadCount_ == 0) unreadStart_ = 0;
    // Top up with what the socket already holds, without waiting.
    int pending = n < size ? io_.Pending() : 0;
    if (pending > 0) {
      int more = io_.Receive(buffer + n, std::min(size - n, pending));
      if (more > 0) {
        s_.bytesReceived += more;
        n += more;
      }
    }
    return n;
  }
  int ready = io_.WaitReadable(kRawWaitMs);
  if (ready < 0) return -1;
  if (ready == 0) return 0;
  int got = io_.Receive(buffer, size);
  if (got <= 0) return -1;  // closed by the ECR, or failed
  got = std::min(got, size);
  s_.bytesReceived += got;
  return got;
}

bool MirevonFraming::SendControl(uint8_t byte) {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    if (SendPaced(io_, s_, &byte, 1) == 1) {
      s_.bytesSent += 1;
      return true;
    }
  }
  return false;
}

int MirevonFraming::PendingBytes() {
  int pending = io_.Pending();
  if (pending < 0) return unreadCount_ > 0 ? unreadCount_ : -1;
  return unreadCount_ + pending;
}

// Reads what is waiting before we send; true when it shows that the ECR
// has begun to send (DLE; ENQ in TCP mode 0). Stray bytes before that are
// dropped, so that none of them is taken for the reply to what we send.
bool MirevonFraming::CollisionPending() {
  const uint8_t signal = s_.tcpMode ? kDLE : kENQ;
  for (int dropped = 0; dropped < kDrainLimit && PendingBytes() > 0; ++dropped) {
    uint8_t byte = 0;
    if (ReadRaw(&byte, 1) != 1) return false;
    if (byte == signal) return true;
  }
  return false;
}

// Drops the unread bytes and what the socket holds now (bounded).
void MirevonFraming::DropPending() {
  unreadStart_ = 0;
  unreadCount_ = 0;
  uint8_t scratch[kReadBatch];
  for (int dropped = 0; dropped < kDrainLimit;) {
    int pending = io_.Pending();
    if (pending <= 0) break;
    int n = io_.Receive(scratch, std::min(pending, kReadBatch));
    if (n <= 0) break;
    s_.bytesReceived += n;
    dropped += n;
  }
}

// The reply byte to a sent frame (up to three one-byte reads), or -1.
int MirevonFraming::ReadReply() {
  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    uint8_t byte = 0;
    int n = ReadRaw(&byte, 1);
    if (n == 1) return byte;
    if (n < 0) break;
  }
  return -1;
}

// Reads size bytes, waiting up to a second for each piece: the count read
// (short when the ECR went quiet), or -1 when the connection failed.
int MirevonFraming::ReadBlock(uint8_t* buffer, int size) {
  int got = 0;
  while (got < size) {
    int n = ReadRaw(buffer + got, size - got);
    if (n < 0) return -1;
    if (n == 0) break;
    got += n;
  }
  return got;
}

// Keeps bytes read past the end of a frame for the next read, ahead of
// those still kept.
void MirevonFraming::KeepUnread(const uint8_t* bytes, int count) {
  if (count <= 0) return;
  uint8_t merged[kReadBatch];
  int n = std::min(count, kReadBatch);
  std::memcpy(merged, bytes, n);
  int rest = std::min(unreadCount_, kReadBatch - n);
  std::memcpy(merged + n, unread_ + unreadStart_, rest);
  std::memcpy(unread_, merged, n + rest);
  unreadStart_ = 0;
  unreadCount_ = n + rest;
}

}  // namespace mirevon

std::unique_ptr<Framing> CreateFraming(FramingHost& host) {
  return std::make_unique<mirevon::MirevonFraming>(host);
}

}  // namespace linkdrv
