// Arbitrary ECR byte streams against the hex-line framing: the first byte
// picks the link's modes, the rest is what the ECR sends. Every framing
// operation runs over it in turn; nothing may read or write past a buffer
// or loop without end, and every result must be one the framing documents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framing.h"
#include "log_format.h"
#include "sandoral_hex.h"

namespace {

using namespace linkdrv;

class FuzzIo : public LinkIo {
 public:
  FuzzIo(const uint8_t* data, size_t size, bool closes, bool failSends)
      : data_(data), size_(size), closes_(closes), failSends_(failSends) {}
  int Pending() override {
    if (pos_ == size_ && closes_) return -1;
    return static_cast<int>(size_ - pos_);
  }
  int WaitReadable(int) override {
    ++waits_;
    return (pos_ < size_ || closes_) ? 1 : 0;
  }
  int Receive(uint8_t* buffer, int count) override {
    if (count <= 0) std::abort();
    if (pos_ == size_) return closes_ ? 0 : -1;
    int n = 0;
    while (n < count && pos_ < size_) buffer[n++] = data_[pos_++];
    return n;
  }
  int Send(const uint8_t* buffer, int count) override {
    if (count <= 0 || count > kLineFrameMax) std::abort();
    volatile uint8_t sum = 0;
    for (int i = 0; i < count; ++i) sum ^= buffer[i];
    ++sends_;
    return failSends_ && (sends_ % 2) ? -1 : count;
  }
  void SleepMs(int) override {}
  size_t pos() const { return pos_; }
  long waits() const { return waits_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  bool closes_;
  bool failSends_;
  long waits_ = 0;
  long sends_ = 0;
};

class NullSink : public LogLineSink {
 public:
  void WriteLine(const char* text, size_t length) override {
    if (length > kLogLineMax) std::abort();
    volatile char c = length ? text[length - 1] : 0;
    (void)c;
  }
};

class FuzzHost : public FramingHost {
 public:
  explicit FuzzHost(FuzzIo& io) : io_(io) {
    state_.queueCapacity = kQueueCapacity;
    state_.lastFrameId = -1;
  }
  LinkIo& Io() override { return io_; }
  FramingState& State() override { return state_; }
  void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
           unsigned count, int result) override {
    LogClock clock{2026, 1, 2, 3, 4, 5, 6};
    LogRecord r{kind, flags, ecrNumber, text, bytes, count, result};
    NullSink sink;
    FormatLogEntry(indent_, 1, clock, r, sink);
  }
  void LockQueue() override {}
  void UnlockQueue() override {}
  void LockAnswer() override {}
  void UnlockAnswer() override {}

 private:
  FuzzIo& io_;
  FramingState state_{};
  int indent_ = 0;
};

bool Documented(int r) {
  return r == kResultOk || r == kResultNothing || r == kResultLinkFailure ||
         r == kResultCollision || r == kResultEnqCollision;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t modes = data[0];
  ++data;
  --size;

  // The decoder alone, on the raw bytes as one collected frame.
  uint8_t message[kLineMessageMax];
  int n = DecodeLineFrame(data, static_cast<int>(size), message);
  if (n < 0 || n > kLineMessageMax) std::abort();
  uint8_t frame[kLineFrameMax];
  int encoded = EncodeLineFrame(data, static_cast<int>(size), frame, sizeof frame);
  if (encoded != 0 && encoded != static_cast<int>(2 * size + 1)) std::abort();

  FuzzIo io(data, size, modes & 1, modes & 2);
  FuzzHost host(io);
  FramingState& s = host.State();
  s.tcpMode = (modes & 4) ? 0 : 1;
  s.onLine = (modes >> 3) & 1;
  std::unique_ptr<Framing> framing = CreateFraming(host);

  uint8_t command[300];
  for (size_t i = 0; i < sizeof command; ++i) command[i] = static_cast<uint8_t>(i * 7 + modes);
  uint8_t block[kFrameBufferSize];
  for (int step = 0; step < 64 && (io.pos() < size || step < 8); ++step) {
    int r = 0;
    switch ((step + (modes >> 4)) % 6) {
      case 0:
        r = framing->ReadMessage(true, -1).result;
        break;
      case 1:
        r = framing->RequiredRead(-1).result;
        break;
      case 2:
        r = framing->RequiredRead(kDLE).result;
        break;
      case 3: {
        int length = static_cast<int>((step * 37 + modes) % sizeof command);
        framing->PrepareCommand(command, length);
        r = framing->WriteCommand();
        break;
      }
      case 4: {
        int length = -7;
        r = framing->ReadStatusEx(block, &length);
        if (length < 0 || length >= kLineMessageMax) std::abort();
        break;
      }
      case 5: {
        uint8_t status = 1;
        r = framing->ReadStatus(&status);
        if (status != 0) std::abort();
        break;
      }
    }
    if (!Documented(r)) std::abort();
    if (s.answerLength < 0 || s.answerLength > kLineMessageMax) std::abort();
    if (s.commandLength < 0 || s.commandLength > kFrameBufferSize) std::abort();
  }
  // Every wait the framing made was bounded by the input it had.
  if (io.waits() > static_cast<long>(8 * size + 1000)) std::abort();
  return 0;
}
