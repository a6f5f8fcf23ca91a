// The protocol log file of a whole session, time stamps masked.
#include <fstream>

#include "driver_fixture.h"

namespace linkdrv_test {
namespace {

using namespace linkdrv;

std::string Dump(size_t lead, const std::string& hex, const std::string& text) {
  return std::string(lead, ' ') + hex + std::string(50 - hex.size(), ' ') + text;
}

const std::string kStars(50, '*');

class SandoralLog : public SandoralTest {
 protected:
  // One session: open, one transaction, close, at the given level.
  std::vector<std::string> Session(int level, bool callerLine) {
    std::string path = TempPath("linkdrv_log_" + std::to_string(level) + ".txt");
    {
      std::ofstream previous(path, std::ios::binary);
      previous << "previous run\r\n";
    }
    ecrsim::StatusReply status;
    status.block = {0x01, 0x02};
    ecr.QueueExtStatusReplies({status});
    ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 0x07}, 200));
    EXPECT_TRUE(Open("OnLine=1,LogLevel=" + std::to_string(level) + ",LogFileName='" + path + "'"));
    EXPECT_EQ(Io(kEcrAnswerExpected | kEcrWaitAnswer, {'A', 0x01}), 0);
    if (callerLine) {
      auto logWrite = reinterpret_cast<LogWriteFunction>(d.Info()->field[kInfoLogWrite]);
      EXPECT_NE(logWrite, nullptr);
      if (logWrite) logWrite(3, 0, 1, "PrintRecItem()", nullptr, 0, 0, nullptr);
    }
    EXPECT_TRUE(d.CloseProt(0));
    return MaskTimes(ReadLines(path));
  }
};

TEST_F(SandoralLog, TransactionAtLevelOneDumpsTheBytes) {
  std::vector<std::string> expected = {
      "previous run",
      "",
      kStars,
      "D T:2:00 LOG OPEN",
      kStars,
      "T:2:01 STATUS REQUEST-EX START",
      "T:1:01  STATUS-EX READ Result-Code=0 Ecr-Status-Ex=53h 1h ",
      "T:2:01 STATUS-EX REQUEST END Result-Code=0",
      "T:2:01 ECR I/O START",
      "T:1:01  OUTPUT START (Id=0 Code=. Len=2)",
      Dump(21, "41 01 ", "A."),
      "T:1:01  OUTPUT END Result-Code=0",
      "T:2:01  WAIT ANSWER START",
      "T:1:01   MSG RECEIVED (Id=0 Code=. Len=2)",
      Dump(22, "41 07 ", "A."),
      "T:2:01  WAIT ANSWER END Result-Code=1",
      "T:2:01 ECR I/O END : OK Result-Code=0",
      kStars,
      "D T:2:00 LOG CLOSE",
      kStars,
      "",
  };
  EXPECT_EQ(Session(1, false), expected);
}

TEST_F(SandoralLog, TransactionAtLevelTwoWithACallerLine) {
  std::vector<std::string> expected = {
      "previous run",
      "",
      kStars,
      "D T:2:00 LOG OPEN",
      kStars,
      "T:2:01 STATUS REQUEST-EX START",
      "T:1:01  STATUS-EX READ Result-Code=0 Ecr-Status-Ex=53h 1h ",
      "T:2:01 STATUS-EX REQUEST END Result-Code=0",
      "T:2:01 ECR I/O START",
      "T:1:01  OUTPUT START (Id=0 Code=. Len=2)",
      "T:1:01  OUTPUT END Result-Code=0",
      "T:2:01  WAIT ANSWER START",
      "T:1:01   MSG RECEIVED (Id=0 Code=. Len=2)",
      "T:2:01  WAIT ANSWER END Result-Code=1",
      "T:2:01 ECR I/O END : OK Result-Code=0",
      "",
      "T:3:01 SOURCE LINE = 'PrintRecItem()'",
      kStars,
      "D T:2:00  LOG CLOSE",
      kStars,
      "",
  };
  EXPECT_EQ(Session(2, true), expected);
  // After the close the writer is gone from DriverInfo.
  EXPECT_EQ(d.Info()->field[kInfoLogWrite], 0);
}

TEST_F(SandoralLog, AFileThatCannotBeOpenedLeavesLoggingOff) {
  ASSERT_TRUE(Open("LogLevel=1,LogFileName='Z:\\no\\such\\dir\\at\\all\\log.txt'"));
  EXPECT_EQ(d.Info()->field[kInfoLogWrite], 0);
  EXPECT_EQ(Io(0, {'A'}), 0);
}

}  // namespace
}  // namespace linkdrv_test
