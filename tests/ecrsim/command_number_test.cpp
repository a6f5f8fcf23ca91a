// Command numbers at the virtual printer's command entry: a numbered
// command runs at most once, its answer carries its number, a late (lower)
// number is refused, queries are tagged but never kept, and kSync tells the
// last number and the open receipt.
#include <gtest/gtest.h>

#include <string>

#include "ecr_commands.h"
#include "virtual_printer.h"

namespace {

using namespace ecrcmd;

std::string Err(uint8_t error, const char* tail = "") {
  return std::string{kErrorCode, static_cast<char>(error)} + tail;
}

TEST(CommandNumbers, RunAtMostOnceAndTagTheirAnswers) {
  ecrsim::VirtualPrinter printer;
  struct Step {
    const char* what;
    std::string command;
    std::string answer;
    bool prints;  // the paper grows
  };
  const Step steps[] = {
      {"open", "O#5|1", "O#5|32|1", true},
      {"open repeated", "O#5|1", "O#5|32|1", false},
      {"item", "A#6|Bread|250|1000|1|0|", "A#6|32|250", true},
      {"late number", "A#4|Milk|110|1000|1|0|", Err(kErrStaleNumber, "A#4"), false},
      {"refused", "A#7|Milk|x|1000|1|0|", Err(kErrSyntax, "A#7"), false},
      {"refusal not kept", "A#7|Milk|110|1000|1|0|", "A#7|32|360", true},
      {"query tagged", "s#8", "s#8|32|2|7|1|360|360|110|0|0|1825", false},
      {"query not kept", "A#7|Milk|110|1000|1|0|", "A#7|32|360", false},
      {"unnumbered", "s", "s32|2|7|1|360|360|110|0|0|1825", false},
      {"text starting with #", "M#1 best", "M32", true},
      {"no fields", "C#9", "C#9|32|360", true},
  };
  for (const Step& step : steps) {
    const size_t before = printer.PaperSize();
    EXPECT_EQ(step.answer, printer.Execute(step.command)) << step.what;
    EXPECT_EQ(step.prints, printer.PaperSize() > before) << step.what;
  }
  EXPECT_NE(std::string::npos, printer.Paper().find("#1 best"));
}

TEST(CommandNumbers, AnswersAreParsedWithTheirNumbers) {
  struct Case {
    std::string message;
    bool ok;
    char code;
    int64_t number;
    uint8_t error;
  };
  const Case cases[] = {
      {"A#17|32|250", true, 'A', 17, 0},  {"A32|250", true, 'A', 0, 0},
      {Err(7, "A#17"), true, 'A', 17, 7}, {Err(7), true, 'E', 0, 7},
      {"A#x|32", false, 0, 0, 0},         {"A#1234567890|32", false, 0, 0, 0},
      {Err(7, "A#"), false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    Answer a;
    ASSERT_EQ(c.ok, ParseAnswer(c.message, &a)) << c.message;
    if (!c.ok) continue;
    EXPECT_EQ(c.code, a.code) << c.message;
    EXPECT_EQ(c.number, a.number) << c.message;
    EXPECT_EQ(c.error, a.error) << c.message;
  }
  EXPECT_EQ("K#3", Numbered("K", 3));
  EXPECT_EQ("h#3||0|x", Numbered("h|0|x", 3));
  int64_t n = 0;
  EXPECT_EQ("h|0|x", Unnumbered("h#3||0|x", &n));
  EXPECT_EQ(3, n);
}

}  // namespace
