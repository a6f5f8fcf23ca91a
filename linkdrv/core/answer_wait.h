// The decisions of a wait for a late answer, apart from the waiting: at the
// end of each slice the wait asks the ECR's status, and the status decides
// whether to keep waiting, to shorten the wait, or to poke the ECR with "I".
// Time comes in as an argument, so the rules run on any clock.
// No Windows headers here.
#pragma once

#include <cstdint>

namespace linkdrv {

class AnswerWait {
 public:
  struct Options {
    bool tolerateStatusFailures = false;  // long wait: up to six failed status requests
    bool restartWhileIdle = false;        // the limit starts again while the ECR is idle
    // The framing reads a real status byte from the ECR. Without one the
    // status says nothing about the ECR, and never restarts the limit.
    bool statusFromEcr = true;
  };
  // What the end of a slice leads to.
  struct Step {
    bool giveUp = false;   // the status could not be read: end the wait at once
    bool newSlice = true;  // the next slice starts now (false: ask again at once)
    bool poke = false;     // send "I" to the ECR
  };

  static constexpr uint32_t kLimitMs = 120000;
  static constexpr uint32_t kShortLimitMs = 10000;
  static constexpr int kStatusFailuresTolerated = 6;

  AnswerWait(const Options& options, uint32_t now) : options_(options), start_(now) {}

  // The ECR has been sending unsolicited messages (more than 4 in the last
  // second): it is busy talking, the limit starts again.
  Step EcrTalking(uint32_t now);
  // The status request made at the end of a slice: its result and the
  // status word it gave.
  Step StatusRead(int result, int status, uint32_t now);
  // True once the wait has run its limit since it started or last restarted.
  bool OverLimit(uint32_t now) const { return now - start_ >= limit_; }
  uint32_t LimitMs() const { return limit_; }

 private:
  Options options_;
  uint32_t start_;
  uint32_t limit_ = kLimitMs;
  int failures_ = 0;
};

}  // namespace linkdrv
