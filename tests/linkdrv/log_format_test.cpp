// Layout of the protocol log: prefixes, indent, asterisk lines, frame
// summaries, status texts, hex dumps and the line bound.
#include "log_format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace linkdrv;

namespace {

// A dump line: lead blanks, the hex part padded to 50 columns, the text.
std::string Dump(size_t lead, const std::string& hex, const std::string& text) {
  return std::string(lead, ' ') + hex + std::string(50 - hex.size(), ' ') + text;
}

class Lines : public LogLineSink {
 public:
  void WriteLine(const char* text, size_t length) override {
    EXPECT_LE(length, kLogLineMax);
    lines.emplace_back(text, length);
  }
  std::vector<std::string> lines;
};

class LogLayout : public ::testing::Test {
 protected:
  void Entry(int kind, int flags, int ecr, const char* text, std::vector<uint8_t> bytes = {},
             int result = 0, int level = 1) {
    LogRecord r{kind,
                flags,
                ecr,
                text,
                bytes.empty() ? nullptr : bytes.data(),
                static_cast<unsigned>(bytes.size()),
                result};
    FormatLogEntry(indent, level, clock, r, sink);
  }
  std::vector<std::string>& L() { return sink.lines; }

  LogClock clock{2026, 3, 7, 9, 5, 4, 32};
  int indent = 0;
  Lines sink;
};

TEST_F(LogLayout, ATransactionNestsAndUnnests) {
  Entry(2, 0x0008, 0, "LOG OPEN");
  Entry(2, 0x8000, 1, "ECR I/O START");
  Entry(1, 0x8001, 1, "OUTPUT START", {'A', 0x01});
  Entry(1, 0x4004, 1, "OUTPUT END", {}, 0);
  Entry(2, 0x8000, 1, "WAIT ANSWER START");
  Entry(1, 0x0002, 1, "MSG RECEIVED", {'A', 0x07});
  Entry(2, 0x4004, 1, "WAIT ANSWER END", {}, 1);
  Entry(2, 0x4004, 1, "ECR I/O END : OK", {}, 0);
  std::vector<std::string> expected = {
      "**************************************************",
      "07/03/2026 09:05:04:032:2:00 LOG OPEN",
      "**************************************************",
      "09:05:04:032:2:01 ECR I/O START",
      "09:05:04:032:1:01  OUTPUT START (Id=0 Code=. Len=2)",
      Dump(21, "41 01 ", "A."),
      "09:05:04:032:1:01  OUTPUT END Result-Code=0",
      "09:05:04:032:2:01  WAIT ANSWER START",
      "09:05:04:032:1:01   MSG RECEIVED (Id=0 Code=. Len=2)",
      Dump(22, "41 07 ", "A."),
      "09:05:04:032:2:01  WAIT ANSWER END Result-Code=1",
      "09:05:04:032:2:01 ECR I/O END : OK Result-Code=0",
  };
  EXPECT_EQ(L(), expected);
  EXPECT_EQ(indent, 0);
  // An end entry never takes the indent below zero.
  Entry(2, 0x4000, 1, "ECR I/O END (NO ECR_WAIT_ANSWER)");
  EXPECT_EQ(indent, 0);
  EXPECT_EQ(L().back(), "09:05:04:032:2:01 ECR I/O END (NO ECR_WAIT_ANSWER)");
}

TEST_F(LogLayout, DumpsComeOnlyAtLevelOneAndWrapAtSixteenBytes) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 20; ++i) bytes.push_back(static_cast<uint8_t>(0x1E + i));
  Entry(1, 0x0001, 1, "OUTPUT START", bytes, 0, 2);
  ASSERT_EQ(L().size(), 1u);
  Entry(1, 0x0001, 1, "OUTPUT START", bytes, 0, 1);
  ASSERT_EQ(L().size(), 4u);
  EXPECT_EQ(L()[2],
            Dump(20, "1E 1F 20 21 22 23 24 25 26 27 28 29 2A 2B 2C 2D ", ".. !\"#$%&'()*+,-"));
  EXPECT_EQ(L()[3], Dump(20, "2E 2F 30 31 ", "./01"));
  // Both rows put their text at the same column.
  EXPECT_EQ(L()[2].find('.'), L()[3].find('.'));
}

TEST_F(LogLayout, FrameSummaryFindsTheCodeAfterEscapedHeaderBytes) {
  // DLE STX, sequence 0x10 (sent twice), header 0 0x10 0x10 0, code 'I'.
  Entry(1, 0x0002, 1, "MSG RECEIVED",
        {0x10, 0x02, 0x10, 0x10, 0x00, 0x10, 0x10, 0x00, 'I', 0x10, 0x03, 0x5A}, 0, 2);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 MSG RECEIVED (Id=16 Code=I Len=12)");
  Entry(1, 0x0002, 1, "MSG RECEIVED", {0x10, 0x02, 0x0F, 0x00, 0x00, 0x00, 'X'}, 0, 2);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 MSG RECEIVED (Id=15 Code=X Len=7)");
  // Bare messages shorter than a header: nothing is read past the bytes given.
  Entry(1, 0x0002, 1, "MSG RECEIVED", {'A'}, 0, 2);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 MSG RECEIVED (Id=0 Code=. Len=1)");
  Entry(1, 0x0002, 1, "MSG RECEIVED", {0x10, 0x02, 0x10}, 0, 2);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 MSG RECEIVED (Id=16 Code=. Len=3)");
  Entry(1, 0x0002, 1, "MSG RECEIVED", {}, 0, 2);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 MSG RECEIVED (Id=0 Code=. Len=0)");
}

TEST_F(LogLayout, StatusTextsFollowTheResult) {
  Entry(1, 0x0014, 1, "STATUS READ", {0x24}, 0);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 STATUS READ Result-Code=0 Ecr-Status=24h");
  Entry(1, 0x0014, 1, "STATUS READ", {0x24}, 99);
  EXPECT_EQ(L().back(), "09:05:04:032:1:01 STATUS READ Result-Code=99");
  Entry(1, 0x0024, 1, "STATUS-EX READ", {0x05, 0x00, 0x0A, 0x24}, 0);
  EXPECT_EQ(L().back(),
            "09:05:04:032:1:01 STATUS-EX READ Result-Code=0 Ecr-Status-Ex=5h 0h Ah 24h ");
  // A long block is cut at the line bound, never past it.
  std::vector<uint8_t> big(200, 0xAB);
  Entry(1, 0x0024, 1, "STATUS-EX READ", big, 0);
  EXPECT_EQ(L().back().size(), kLogLineMax);
}

TEST_F(LogLayout, CallerLinesResetTheIndentAndLinesStayBounded) {
  Entry(2, 0x8000, 1, "ECR I/O START");
  Entry(2, 0x8000, 1, "WAIT ANSWER START");
  EXPECT_EQ(indent, 2);
  Entry(3, 0, 4, "PrintRecItem(\"Milk\")");
  ASSERT_GE(L().size(), 4u);
  EXPECT_EQ(L()[2], "");
  EXPECT_EQ(L()[3], "09:05:04:032:3:04 SOURCE LINE = 'PrintRecItem(\"Milk\")'");
  EXPECT_EQ(indent, 1);
  Entry(3, 0x8000, 4, "x");
  EXPECT_EQ(indent, 2);

  std::string longText(400, 'z');
  Entry(2, 0, 1, longText.c_str());
  EXPECT_EQ(L().back().size(), kLogLineMax);
  indent = 300;
  Entry(1, 0x0001, 1, "OUTPUT START", {1, 2, 3});
  for (const auto& line : L()) EXPECT_LE(line.size(), kLogLineMax);
  Entry(2, 0, 1, nullptr);
  EXPECT_EQ(L().back().size(), kLogLineMax);
}

}  // namespace
