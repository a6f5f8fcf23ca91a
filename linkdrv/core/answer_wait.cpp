#include "answer_wait.h"

namespace linkdrv {
namespace {

// Status bits as the wait reads them.
constexpr int kStatusWorking = 0x20;  // the ECR is still at it: keep waiting
constexpr int kStatusLate = 0x40;     // with 0x01/0x02: the answer will not be long
constexpr int kStatusIdleMask = 0x03;
constexpr int kStatusBusyCleared = 0x100;  // added by the driver: the ECR stopped being busy

}  // namespace

AnswerWait::Step AnswerWait::EcrTalking(uint32_t now) {
  start_ = now;
  return Step{};
}

AnswerWait::Step AnswerWait::StatusRead(int result, int status, uint32_t now) {
  Step step;
  if (result != 0) {
    if (!options_.tolerateStatusFailures || ++failures_ > kStatusFailuresTolerated) {
      step.giveUp = true;
    }
    step.newSlice = false;
    return step;
  }
  bool restart = (status & kStatusWorking) != 0;
  if (options_.restartWhileIdle && options_.statusFromEcr && !(status & kStatusIdleMask)) {
    restart = true;
  }
  bool shorten = !(status & kStatusWorking) && (status & kStatusLate) && (status & kStatusIdleMask);
  if (shorten) limit_ = kShortLimitMs;
  step.poke = shorten || (status & kStatusBusyCleared);
  if (restart) start_ = now;
  return step;
}

}  // namespace linkdrv
