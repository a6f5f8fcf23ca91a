// Reading the ECR's answers: an answer is matched to the command it answers
// (its code and command number) and every field of it is checked, format
// and range, before anything in it is used. Plain C++, no Windows headers:
// the Service Object reads every answer through it, and it builds natively
// for fuzzing.
#pragma once

#include <cstdint>
#include <string>

#include "ecr_commands.h"

namespace ecrcmd {

enum class AnswerFit {
  kValid,      // the command's answer, every field well formed and in range
  kNotThis,    // not an answer to this command: another's, or unreadable
  kMalformed,  // this command's answer (its code and number), but not valid
};

// Counts the ECR keeps (receipt and Z numbers, free fiscal memory records).
constexpr int64_t kMaxCount = 999999999;
// A day's or the grand total, in cents.
constexpr int64_t kMaxTotal = 999999999999999;

// Reads message as the answer to command (as built, without its number),
// sent with number (0: none). kValid fills *answer (an "E" answer too, with
// isError set); kMalformed tells in *why what is wrong, in words for
// ErrorString; kNotThis leaves both unspecified.
AnswerFit ReadAnswer(const std::string& command, int64_t number, const std::string& message,
                     Answer* answer, std::string* why);

}  // namespace ecrcmd
