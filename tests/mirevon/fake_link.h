// An in-memory ECR for the framing's unit tests: it plays scripted bytes
// on a virtual clock and records what the driver sends. Nothing here
// really waits, so time-outs cost nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <vector>

#include "framing.h"

namespace mirevon_test {

using Bytes = std::vector<uint8_t>;

// What the ECR does after one send call of the driver.
struct Reaction {
  Bytes bytes;         // the ECR's bytes (empty: silence)
  int delayMs = 0;     // when they arrive, after the send
  int sendLimit = -2;  // -2: the send goes out in full; else the count Send reports (-1: failure)
};

class ScriptedIo : public linkdrv::LinkIo {
 public:
  // Bytes the ECR has already sent.
  void Feed(const Bytes& bytes) { incoming_.insert(incoming_.end(), bytes.begin(), bytes.end()); }
  // Bytes that arrive delayMs from now.
  void FeedLater(int delayMs, const Bytes& bytes) { later_.insert({now_ + delayMs, bytes}); }
  // Reactions to the driver's next send calls, one each; silence after them.
  void React(std::vector<Reaction> reactions) {
    for (auto& r : reactions) reactions_.push_back(std::move(r));
  }
  void ReactBytes(std::vector<Bytes> replies) {
    for (auto& b : replies) reactions_.push_back(Reaction{std::move(b)});
  }
  // The ECR closes the connection once its bytes are read.
  void Close() { closed_ = true; }

  // What the driver sent: one entry per send call that went out.
  const std::vector<Bytes>& Sends() const { return sends_; }
  Bytes SentBytes() const {
    Bytes all;
    for (const auto& s : sends_) all.insert(all.end(), s.begin(), s.end());
    return all;
  }
  size_t Unread() const { return incoming_.size(); }
  int Now() const { return now_; }
  int Calls() const { return calls_; }
  bool ReceiveWouldHaveBlocked() const { return blocked_; }

  int Pending() override {
    ++calls_;
    Arrive();
    if (failed_) return -1;
    return static_cast<int>(incoming_.size());
  }
  int WaitReadable(int timeoutMs) override {
    ++calls_;
    Arrive();
    if (!incoming_.empty() || closed_) return 1;
    auto next = later_.begin();
    if (next != later_.end() && next->first <= now_ + timeoutMs) {
      now_ = next->first;
      Arrive();
      return 1;
    }
    now_ += timeoutMs;
    return 0;
  }
  int Receive(uint8_t* buffer, int size) override {
    ++calls_;
    Arrive();
    if (incoming_.empty()) {
      if (closed_) return 0;
      blocked_ = true;  // a real socket would block here
      return -1;
    }
    int n = 0;
    while (n < size && !incoming_.empty()) {
      buffer[n++] = incoming_.front();
      incoming_.pop_front();
    }
    return n;
  }
  int Send(const uint8_t* buffer, int size) override {
    ++calls_;
    Reaction reaction;
    if (!reactions_.empty()) {
      reaction = reactions_.front();
      reactions_.pop_front();
    }
    int sent = reaction.sendLimit == -2 ? size : reaction.sendLimit;
    if (sent > 0) sends_.emplace_back(buffer, buffer + sent);
    if (sent == size && !reaction.bytes.empty()) {
      if (reaction.delayMs == 0) {
        Feed(reaction.bytes);
      } else {
        FeedLater(reaction.delayMs, reaction.bytes);
      }
    }
    return sent;
  }
  void SleepMs(int ms) override {
    ++calls_;
    now_ += ms;
    Arrive();
  }

 private:
  void Arrive() {
    while (!later_.empty() && later_.begin()->first <= now_) {
      Feed(later_.begin()->second);
      later_.erase(later_.begin());
    }
  }

  std::deque<uint8_t> incoming_;
  std::multimap<int, Bytes> later_;
  std::deque<Reaction> reactions_;
  std::vector<Bytes> sends_;
  int now_ = 0;
  int calls_ = 0;
  bool closed_ = false;
  bool failed_ = false;
  bool blocked_ = false;
};

struct LogEntry {
  int kind, flags, ecr;
  std::string text;
  Bytes bytes;
  int result;
};

class FakeHost : public linkdrv::FramingHost {
 public:
  FakeHost() {
    // As the core leaves the link once connected.
    state.queueCapacity = linkdrv::kQueueCapacity;
    state.lastFrameId = -1;
    state.tcpMode = 1;
    state.noChecksum = 0;
    state.onLine = 1;
    state.lineStatus[1] = 1;
    answerSeen = AnswerFields();
  }
  // The application copies the answer under the answer lock: the framing
  // may change it only while holding that lock.
  ~FakeHost() override {
    EXPECT_FALSE(answerLocked) << "answer lock left taken";
    EXPECT_EQ(AnswerFields(), answerSeen) << "answer written without the answer lock";
  }
  linkdrv::LinkIo& Io() override { return io; }
  linkdrv::FramingState& State() override { return state; }
  void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
           unsigned count, int result) override {
    log.push_back({kind, flags, ecrNumber, text ? text : "",
                   bytes ? Bytes(bytes, bytes + count) : Bytes(), result});
  }
  void LockQueue() override {
    EXPECT_FALSE(locked) << "queue lock taken twice";
    locked = true;
    countAtLock = state.queueCount;
  }
  void UnlockQueue() override {
    EXPECT_TRUE(locked) << "queue unlocked without the lock";
    locked = false;
    if (state.queueCount != countAtLock) ++publishedUnderLock;
    countAtUnlock = state.queueCount;
  }

  void LockAnswer() override {
    EXPECT_FALSE(answerLocked) << "answer lock taken twice";
    answerLocked = true;
  }
  void UnlockAnswer() override {
    EXPECT_TRUE(answerLocked) << "answer unlocked without the lock";
    answerLocked = false;
    answerSeen = AnswerFields();
  }
  Bytes AnswerFields() const {
    const auto* p = reinterpret_cast<const uint8_t*>(&state.answerHeader);
    return Bytes(p, reinterpret_cast<const uint8_t*>(&state.answerLength + 1));
  }

  // What GetEcrMessage does: takes the oldest queued message.
  bool Take(linkdrv::QueueSlot* slot) {
    if (state.queueCount == 0) return false;
    LockQueue();
    *slot = state.queue[state.queueRead];
    state.queueRead = (state.queueRead + 1) % state.queueCapacity;
    state.queueCount -= 1;
    UnlockQueue();
    return true;
  }

  ScriptedIo io;
  linkdrv::FramingState state{};
  std::vector<LogEntry> log;
  bool locked = false;
  int countAtLock = 0;
  int countAtUnlock = 0;
  int publishedUnderLock = 0;
  bool answerLocked = false;
  Bytes answerSeen;
};

// A frame as the ECR sends it, built here independently of the driver.
inline Bytes EcrFrame(uint8_t sequence, const Bytes& message, const Bytes& header3 = {0, 0, 0},
                      bool badCheck = false, bool withCheck = true) {
  Bytes frame = {0x10, 0x02};
  uint8_t check = 0;
  auto stuffed = [&](uint8_t b) {
    frame.push_back(b);
    if (b == 0x10) frame.push_back(b);
    check ^= b;
  };
  stuffed(sequence);
  for (uint8_t b : header3) stuffed(b);
  for (uint8_t b : message) stuffed(b);
  frame.push_back(0x10);
  frame.push_back(0x03);
  check ^= 0x03;
  if (withCheck) frame.push_back(badCheck ? static_cast<uint8_t>(check ^ 0x5A) : check);
  return frame;
}

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace mirevon_test
