// Feeds arbitrary ECR byte streams to the host-PC framing: the receive
// state machine, the replies to a sent command and both status reads.
//
// Input: [flags] [operation] [last frame id] [chunk size] [send faults]
//        [command length] [command bytes...] [ECR bytes...]
// The ECR's bytes become readable a chunk at a time: one chunk at the
// start, one more after every send and after every wait that times out.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mirevon_framing.h"

namespace {

using namespace linkdrv;

constexpr long kCallLimit = 200000;  // a framing call that makes more I/O calls is stuck

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

class StreamIo : public LinkIo {
 public:
  StreamIo(const uint8_t* data, size_t size, size_t chunk, uint8_t sendFaults)
      : data_(data), size_(size), chunk_(chunk), sendFaults_(sendFaults) {
    Release();
  }
  int Pending() override {
    Count();
    return static_cast<int>(available_ - read_);
  }
  int WaitReadable(int timeoutMs) override {
    Count();
    Check(timeoutMs >= 0 && timeoutMs <= 1000);
    if (available_ > read_) return 1;
    if (read_ >= size_) return closeAtEnd_ ? 1 : 0;
    Release();
    return 0;
  }
  int Receive(uint8_t* buffer, int size) override {
    Count();
    Check(size > 0);
    size_t n = available_ - read_;
    if (n == 0) {
      Check(read_ >= size_ && closeAtEnd_);  // a receive must never block
      return 0;
    }
    if (n > static_cast<size_t>(size)) n = size;
    std::memcpy(buffer, data_ + read_, n);
    read_ += n;
    return static_cast<int>(n);
  }
  int Send(const uint8_t* buffer, int size) override {
    Count();
    Check(size > 0 && size <= kFrameBufferSize);
    volatile uint8_t touch = buffer[size - 1];  // the whole buffer must be readable
    (void)touch;
    bool fail = (sendFaults_ >> (sends_++ % 8)) & 1;
    Release();
    return fail ? size / 2 : size;
  }
  void SleepMs(int ms) override {
    Count();
    Check(ms >= 0 && ms <= 1000);
  }
  bool Exhausted() const { return read_ >= size_; }
  void StartCall() { calls_ = 0; }
  void SetCloseAtEnd(bool close) { closeAtEnd_ = close; }

 private:
  void Release() { available_ = available_ + chunk_ < size_ ? available_ + chunk_ : size_; }
  void Count() { Check(++calls_ < kCallLimit); }

  const uint8_t* data_;
  size_t size_, chunk_;
  size_t available_ = 0, read_ = 0;
  uint8_t sendFaults_;
  unsigned sends_ = 0;
  long calls_ = 0;
  bool closeAtEnd_ = false;
};

class Host : public FramingHost {
 public:
  explicit Host(StreamIo& io) : io_(io) {}
  LinkIo& Io() override { return io_; }
  FramingState& State() override { return state; }
  void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
           unsigned count, int result) override {
    Check(text != nullptr && count <= static_cast<unsigned>(mirevon::kLoggedCopySize));
    if (count > 0) {
      Check(bytes != nullptr);
      volatile uint8_t touch = bytes[0] ^ bytes[count - 1];  // the whole range must be readable
      (void)touch;
    }
  }
  void LockQueue() override {
    Check(!locked_);
    locked_ = true;
  }
  void UnlockQueue() override {
    Check(locked_);
    locked_ = false;
  }
  void LockAnswer() override {
    Check(!answerLocked_);
    answerLocked_ = true;
  }
  void UnlockAnswer() override {
    Check(answerLocked_);
    answerLocked_ = false;
  }
  FramingState state{};

 private:
  StreamIo& io_;
  bool locked_ = false;
  bool answerLocked_ = false;
};

void CheckState(const FramingState& s) {
  Check(s.answerLength >= 0 && s.answerLength <= mirevon::kMaxBody);
  Check(s.commandLength >= 0 && s.commandLength <= kFrameBufferSize);
  Check(s.queueCount >= 0 && s.queueCount <= kQueueCapacity);
  Check(s.queueWrite >= 0 && s.queueWrite < kQueueCapacity);
  for (const QueueSlot& slot : s.queue) {
    Check(slot.length >= 0 && slot.length <= mirevon::kMaxBody);
  }
  Check(s.lastFrameId >= -1 && s.lastFrameId <= 255);
}

bool OneOf(int value, std::initializer_list<int> allowed) {
  for (int a : allowed) {
    if (value == a) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t flags = data[0], operation = data[1], lastId = data[2];
  const size_t chunk = 1 + data[3];
  const uint8_t sendFaults = data[4];
  size_t commandLength = data[5] % 160;
  data += 6;
  size -= 6;
  if (commandLength > size) commandLength = size;
  const uint8_t* command = data;
  data += commandLength;
  size -= commandLength;

  StreamIo io(data, size, chunk, sendFaults);
  io.SetCloseAtEnd(flags & 0x80);
  Host host(io);
  FramingState& s = host.state;
  s.queueCapacity = kQueueCapacity;
  s.lastFrameId = (flags & 0x40) ? lastId : -1;
  s.tcpMode = (flags & 0x03) == 0x03 ? 0 : 1;
  s.noChecksum = (flags & 0x04) ? 1 : 0;
  s.onLine = (flags & 0x08) ? 1 : 0;
  s.lineStatus[1] = (flags & 0x10) ? 3 : 1;
  s.sequence = lastId;
  mirevon::MirevonFraming framing(host);

  // Pre-filled queue slots, so that the full-queue paths run too.
  const int prefill = (flags >> 5) & 1 ? kQueueCapacity : 0;
  for (int i = 0; i < prefill; ++i) {
    s.queue[i].length = 1;
    s.queue[i].code = 'X';
  }
  s.queueCount = prefill;

  for (int round = 0; round < 64 && !io.Exhausted(); ++round) {
    io.StartCall();
    const int op = (operation >> ((round % 4) * 2)) & 3;
    if (op == 0) {
      ReadOutcome r = framing.ReadMessage(round % 2 == 0, (round % 3 == 0) ? kDLE : -1);
      Check(OneOf(r.result, {-1, 0, 31, 33, 34, 35, 36, 99}));
      if (r.result == 0 && !r.unsolicited) Check(s.answerLength >= 1);
    } else if (op == 1) {
      ReadOutcome r = framing.RequiredRead(-1);
      Check(OneOf(r.result, {-1, 0, 31, 33, 34, 35, 36, 99}));
    } else if (op == 2) {
      framing.PrepareCommand(command, static_cast<int>(commandLength));
      Check(OneOf(framing.WriteCommand(), {0, 11, 12, 13, 14, 15, 20, 99}));
    } else {
      uint8_t status = 0;
      uint8_t block[kFrameBufferSize];
      int length = -1;
      if (round % 2) {
        Check(OneOf(framing.ReadStatus(&status), {0, 15, 99}));
      } else {
        int r = framing.ReadStatusEx(block, &length);
        Check(OneOf(r, {0, 15, 41, 42, 99}));
        if (r == 0) Check(length >= 5 && length <= 9);
      }
    }
    CheckState(s);
    // Take a queued message now and then, as the application would.
    if (s.queueCount > 0 && (round & 1)) {
      s.queueRead = (s.queueRead + 1) % kQueueCapacity;
      s.queueCount -= 1;
    }
  }
  return 0;
}
