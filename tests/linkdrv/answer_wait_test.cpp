// The late-answer wait's decisions on a clock of the test's own: one status
// per 2000 ms slice, run until the wait gives up or reaches its limit.
#include "answer_wait.h"

#include <gtest/gtest.h>

#include <vector>

using namespace linkdrv;

namespace {

constexpr int kNever = -1;

struct Outcome {
  int endMs = kNever;  // when the wait ended (kNever: still waiting after 300 s)
  bool gaveUp = false;
  int pokes = 0;
};

// Each slice reads the next status (the last one repeats); a result other
// than 0 is a failed status request, asked again at once.
Outcome RunWait(AnswerWait::Options options, const std::vector<std::pair<int, int>>& statuses) {
  uint32_t now = 1000;  // any start will do
  const uint32_t begin = now;
  AnswerWait wait(options, now);
  Outcome out;
  for (size_t i = 0; now - begin <= 300000; ++i) {
    const auto& [result, status] = statuses[i < statuses.size() ? i : statuses.size() - 1];
    AnswerWait::Step step = wait.StatusRead(result, status, now + 2000);
    if (step.newSlice) now += 2000;
    out.pokes += step.poke ? 1 : 0;
    if (step.giveUp || wait.OverLimit(now)) {
      out.gaveUp = step.giveUp;
      out.endMs = static_cast<int>(now - begin);
      return out;
    }
  }
  return out;
}

TEST(AnswerWaitRules, TheStatusDecidesHowLongToWait) {
  AnswerWait::Options plain;
  AnswerWait::Options idleRestarts;
  idleRestarts.restartWhileIdle = true;
  AnswerWait::Options noStatusByte = idleRestarts;  // a framing without a plain status read
  noStatusByte.statusFromEcr = false;
  AnswerWait::Options tolerant;
  tolerant.tolerateStatusFailures = true;

  struct Case {
    const char* what;
    AnswerWait::Options options;
    std::vector<std::pair<int, int>> statuses;  // {result, status word} per slice
    Outcome expected;
  };
  const Case cases[] = {
      {"idle ECR: the full limit", plain, {{0, 0x00}}, {120000, false, 0}},
      {"0x20: the limit starts again each slice", plain, {{0, 0x20}}, {kNever, false, 0}},
      {"0x41: 10 s, poking each slice", plain, {{0, 0x41}}, {10000, false, 5}},
      {"0x42, then 0x20 restarts the short limit",
       plain,
       {{0, 0x42}, {0, 0x20}},
       {kNever, false, 1}},
      {"0x60: still working, no shortening", plain, {{0, 0x61}}, {kNever, false, 0}},
      {"busy cleared (0x100): a poke", plain, {{0, 0x101}, {0, 0x01}}, {120000, false, 1}},
      {"restart while idle", idleRestarts, {{0, 0x00}}, {kNever, false, 0}},
      {"restart while idle, ECR not idle", idleRestarts, {{0, 0x02}}, {120000, false, 0}},
      {"restart while idle, idle after 0x41",
       idleRestarts,
       {{0, 0x41}, {0, 0x00}},
       {kNever, false, 1}},
      {"no status byte from the ECR: the limit holds",
       noStatusByte,
       {{0, 0x00}},
       {120000, false, 0}},
      {"failed status: given up at once", plain, {{99, 0}}, {0, true, 0}},
      {"failed status tolerated six times", tolerant, {{99, 0}}, {0, true, 0}},
      {"tolerated failures between good reads",
       tolerant,
       {{99, 0}, {99, 0}, {99, 0}, {0, 0}, {99, 0}, {99, 0}, {99, 0}, {0, 0}, {99, 0}},
       {4000, true, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Outcome got = RunWait(c.options, c.statuses);
    EXPECT_EQ(got.endMs, c.expected.endMs);
    EXPECT_EQ(got.gaveUp, c.expected.gaveUp);
    EXPECT_EQ(got.pokes, c.expected.pokes);
  }
}

}  // namespace
