// Arbitrary bytes as the ECR's answer to a command: the reader never reads
// out of bounds, and what it calls valid is exactly what the ECR writes: the
// command's code and number, known status flags, and fields that, written
// out again, give back the very bytes it read. Its reasons are printable.
//
// Input: a selector byte (the command number: 0 or 7), the command up to a
// line feed, then the answer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ecr_answer.h"

using namespace ecrcmd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int64_t number = (data[0] & 1) ? 7 : 0;
  const char* text = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;
  const char* feed = static_cast<const char*>(std::memchr(text, '\n', length));
  if (!feed) return 0;
  const std::string command(text, feed);
  const std::string message(feed + 1, text + length);
  Answer answer;
  std::string why;
  switch (ReadAnswer(command, number, message, &answer, &why)) {
    case AnswerFit::kNotThis:
      break;
    case AnswerFit::kMalformed:
      if (why.empty() || !answer.fields.empty()) std::abort();
      for (unsigned char c : why) {
        if (c < 0x20 || c == 0x7F) std::abort();
      }
      break;
    case AnswerFit::kValid: {
      if (answer.code != command[0] || answer.number != number) std::abort();
      if (answer.isError) {
        if (message.size() < 2 || message[0] != kErrorCode) std::abort();
        break;
      }
      if (answer.flags < 0 || (answer.flags & ~kKnownFlags) != 0) std::abort();
      std::string again(1, answer.code);
      if (number != 0) again += kNumberMark + std::to_string(number) + kSeparator;
      again += std::to_string(answer.flags);
      for (const std::string& f : answer.fields) {
        if (!IsFieldText(f)) std::abort();
        again += kSeparator + f;
      }
      if (again != message || message.size() > kMaxMessage) std::abort();
      break;
    }
  }
  return 0;
}
