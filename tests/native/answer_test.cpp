// The ECR's answers read against the command they answer: whose answer it
// is, and whether every field is one the command set allows.
#include <gtest/gtest.h>

#include <string>

#include "ecr_answer.h"

namespace {

using namespace ecrcmd;
using std::string;

TEST(AnswerReading, EachAnswerIsMatchedToItsCommandAndEveryFieldChecked) {
  struct Case {
    const char* command;
    int64_t number;
    string message;
    AnswerFit fit;
    const char* why;  // a part of the reason given for kMalformed
  };
  const Case cases[] = {
      // Whose answer it is.
      {"A Bread|250|0|1|0|", 7, "A#7|32|250", AnswerFit::kValid, ""},
      {"A Bread|250|0|1|0|", 7, "A#6|32|250", AnswerFit::kNotThis, ""},  // the one before
      {"A Bread|250|0|1|0|", 7, "A32|250", AnswerFit::kNotThis, ""},
      {"A Bread|250|0|1|0|", 7, "C#7|32|250", AnswerFit::kNotThis, ""},
      {"A Bread|250|0|1|0|", 7,
       string("E\x0E"
              "A#7",
              5),
       AnswerFit::kValid, ""},
      {"A Bread|250|0|1|0|", 7,
       string("E\x0E"
              "A#6",
              5),
       AnswerFit::kNotThis, ""},
      {"A Bread|250|0|1|0|", 7, string("E\x0E", 2), AnswerFit::kNotThis, ""},
      {"Q", 0, string("E\x20", 2), AnswerFit::kValid, ""},  // a raw command's refusal
      {"Q", 0, "Q#3|0|0|1|0|010620301015|100", AnswerFit::kNotThis, ""},
      {"A", 7, "A#7x|32|250", AnswerFit::kNotThis, ""},
      {"A", 7, "", AnswerFit::kNotThis, ""},
      // Status flags.
      {"w1", 3, "w#3|256|2200", AnswerFit::kMalformed, "status flags"},
      {"w1", 3, "w#3|-1|2200", AnswerFit::kMalformed, "status flags"},
      {"w1", 3, "w#3||2200", AnswerFit::kMalformed, "status flags"},
      {"w1", 3, "w#3|0127|2200", AnswerFit::kMalformed, "status flags"},
      {"w1", 3, "w#3|255|2200", AnswerFit::kValid, ""},
      // Field counts.
      {"w1", 3, "w#3|0", AnswerFit::kMalformed, "0 fields where 1"},
      {"w1", 3, "w#3|0|2200|1", AnswerFit::kMalformed, "2 fields where 1"},
      {"K", 3, "K#3|0", AnswerFit::kValid, ""},
      {"K", 3, "K#3|0|12", AnswerFit::kValid, ""},
      {"M Thanks", 3, "M#3|0|x", AnswerFit::kMalformed, "fields"},
      // Numbers: form and range.
      {"w1", 3, "w#3|0|123456789012345", AnswerFit::kMalformed, "out of range for a VAT rate"},
      {"w1", 3, "w#3|0|10000", AnswerFit::kMalformed, "out of range"},
      {"w1", 3, "w#3|0|-5", AnswerFit::kMalformed, "out of range"},
      {"w1", 3, "w#3|0|22.00", AnswerFit::kMalformed, "not a VAT rate"},
      {"w1", 3, "w#3|0|+2200", AnswerFit::kMalformed, "not a VAT rate"},
      {"w1", 3, "w#3|0|02200", AnswerFit::kMalformed, "not a VAT rate"},
      {"w1", 3, "w#3|0|9999", AnswerFit::kValid, ""},
      {"A x|1|0|1|0|", 3, "A#3|0|100000000", AnswerFit::kMalformed, "out of range for an amount"},
      {"P|500|", 3, "P#3|0|-70", AnswerFit::kValid, ""},  // change given
      {"P|500|", 3, "P#3|0|-0", AnswerFit::kMalformed, "not an amount"},
      {"u0|1", 3, "u#3|0|1000000000000000", AnswerFit::kMalformed, "not a total"},
      {"u0|1", 3, "u#3|0|999999999999999", AnswerFit::kValid, ""},
      {"s", 3, "s#3|0|2|12|0|0|0|-1|0|0|100", AnswerFit::kValid, ""},
      {"s", 3, "s#3|0|2|12|5|0|0|-1|0|0|100", AnswerFit::kMalformed, "document state"},
      {"s", 3, "s#3|0|2|12|0|0|0|-1|0|0|123456789012345", AnswerFit::kMalformed, "a count"},
      // Dates.
      {"c", 3, "c#3|0|290220241015", AnswerFit::kValid, ""},
      {"c", 3, "c#3|0|290220231015", AnswerFit::kMalformed, "not a date"},
      {"c", 3, "c#3|0|x9", AnswerFit::kMalformed, "\"x9\" is not a date"},
      {"c", 3, "c#3|0|311120241015", AnswerFit::kMalformed, "not a date"},
      {"c", 3, "c#3|0|010120242460", AnswerFit::kMalformed, "not a date"},
      // Data by item: an amount, a count or a text.
      {"g2", 3, "g#3|32|470", AnswerFit::kValid, ""},
      {"g2", 3, "g#3|32|4.70", AnswerFit::kMalformed, "not a total"},
      {"g7", 3, "g#3|0|-1", AnswerFit::kMalformed, "out of range for a count"},
      {"g9", 3, "g#3|0|KR99000001", AnswerFit::kValid, ""},
      {"g9", 3,
       string("g#3|0|KR\0"
              "99",
              11),
       AnswerFit::kMalformed, "\\x00"},
      {"g9", 3,
       "g#3|0|KR\x9D"
       "99",
       AnswerFit::kMalformed, "control character"},
      {"g10", 3, "g#3|0|" + string(41, 'x'), AnswerFit::kMalformed, "longer than a printed line"},
      // A raw command the set does not know: its fields are texts.
      {"y", 0, "y0|abc|12", AnswerFit::kValid, ""},
      {"y", 0, string("y0|a\x01", 5), AnswerFit::kMalformed, "control character"},
      // Longer than a message can be.
      {"g9", 3, "g#3|0|" + string(130, 'x'), AnswerFit::kMalformed, "longer than a message"},
  };
  for (const Case& c : cases) {
    Answer answer;
    string why;
    const AnswerFit fit = ReadAnswer(c.command, c.number, c.message, &answer, &why);
    EXPECT_EQ(static_cast<int>(c.fit), static_cast<int>(fit)) << c.command << " " << c.message;
    if (fit == AnswerFit::kMalformed) {
      EXPECT_NE(string::npos, why.find(c.why)) << c.message << ": " << why;
    }
    if (fit == AnswerFit::kValid && !answer.isError) {
      EXPECT_EQ(c.command[0], answer.code) << c.message;
      EXPECT_EQ(c.number, answer.number) << c.message;
    }
  }
}

}  // namespace
