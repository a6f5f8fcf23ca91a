// An in-memory link for the framing's unit tests: bytes the ECR "sent" are
// queued, what the driver sends is recorded, and time is virtual, so a
// wait that would last a second costs nothing and is counted instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "framing.h"

namespace linkdrv_test {

using Bytes = std::vector<uint8_t>;

inline Bytes B(const std::string& text) {
  return Bytes(text.begin(), text.end());
}

class MemoryIo : public linkdrv::LinkIo {
 public:
  void Feed(const Bytes& bytes) { input_.insert(input_.end(), bytes.begin(), bytes.end()); }
  void Feed(const std::string& text) { Feed(B(text)); }
  // Bytes that arrive only once everything sent before them was read (not
  // pending when a read starts).
  void FeedLater(const Bytes& bytes) { later_.insert(later_.end(), bytes.begin(), bytes.end()); }
  // The ECR closes the connection once what it sent has been read.
  void Close() { closed_ = true; }
  // The next n sends fail.
  void FailSends(int n) { failSends_ = n; }
  // Called with each frame the driver sends (the ECR may Feed an answer).
  std::function<void(const Bytes&)> onSend;

  const std::vector<Bytes>& Sends() const { return sends_; }
  size_t Unread() const { return input_.size(); }
  int VirtualMs() const { return now_; }

  int Pending() override {
    if (input_.empty() && closed_) return -1;
    return static_cast<int>(input_.size());
  }
  int WaitReadable(int timeoutMs) override {
    if (input_.empty() && !later_.empty()) {
      input_.insert(input_.end(), later_.begin(), later_.end());
      later_.clear();
    }
    if (!input_.empty() || closed_) return 1;
    now_ += timeoutMs;
    return 0;
  }
  int Receive(uint8_t* buffer, int size) override {
    if (input_.empty()) return closed_ ? 0 : -1;
    int n = 0;
    while (n < size && !input_.empty()) {
      buffer[n++] = input_.front();
      input_.pop_front();
    }
    return n;
  }
  int Send(const uint8_t* buffer, int size) override {
    if (failSends_ > 0) {
      --failSends_;
      return -1;
    }
    sends_.emplace_back(buffer, buffer + size);
    if (onSend) onSend(sends_.back());
    return size;
  }
  void SleepMs(int ms) override { now_ += ms; }

 private:
  std::deque<uint8_t> input_;
  Bytes later_;
  std::vector<Bytes> sends_;
  bool closed_ = false;
  int failSends_ = 0;
  int now_ = 0;
};

struct LoggedEntry {
  int kind, flags, ecrNumber;
  std::string text;
  Bytes bytes;
  int result;
};

class MemoryHost : public linkdrv::FramingHost {
 public:
  MemoryHost() {
    state_.queueCapacity = linkdrv::kQueueCapacity;
    state_.lastFrameId = -1;
    state_.tcpMode = 1;
    state_.lineStatus[1] = 1;
    answerSeen_ = AnswerFields();
  }
  // The application copies the answer under the answer lock: the framing
  // may change it only while holding that lock.
  ~MemoryHost() override {
    EXPECT_FALSE(answerLocked_) << "answer lock left taken";
    EXPECT_EQ(AnswerFields(), answerSeen_) << "answer written without the answer lock";
  }
  linkdrv::LinkIo& Io() override { return io; }
  linkdrv::FramingState& State() override { return state_; }
  void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
           unsigned count, int result) override {
    log.push_back({kind, flags, ecrNumber, text ? text : "",
                   bytes ? Bytes(bytes, bytes + count) : Bytes(), result});
  }
  void LockQueue() override { ++locks; }
  void UnlockQueue() override { --locks; }
  void LockAnswer() override {
    EXPECT_FALSE(answerLocked_) << "answer lock taken twice";
    answerLocked_ = true;
  }
  void UnlockAnswer() override {
    EXPECT_TRUE(answerLocked_) << "answer unlocked without the lock";
    answerLocked_ = false;
    answerSeen_ = AnswerFields();
  }

  Bytes Answer() const { return Bytes(state_.answer, state_.answer + state_.answerLength); }

  MemoryIo io;
  std::vector<LoggedEntry> log;
  int locks = 0;

 private:
  Bytes AnswerFields() const {
    const auto* p = reinterpret_cast<const uint8_t*>(&state_.answerHeader);
    return Bytes(p, reinterpret_cast<const uint8_t*>(&state_.answerLength + 1));
  }
  linkdrv::FramingState state_{};
  bool answerLocked_ = false;
  Bytes answerSeen_;
};

}  // namespace linkdrv_test
