// The protocol log file of a whole session, time stamps masked.
#include <fstream>

#include "driver_fixture.h"
#include "win_raii.h"

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

// A refused configuration tells why in the log, when the settings read
// before the fault ask for one; a failed connection names the address.
TEST_F(SandoralLog, AFailedOpenWritesItsReason) {
  std::string log = TempPath("linkdrv_open_failed.txt");
  std::string logged = "LogLevel=2,LogFileName='" + log + "',";
  const char* path = "SOFTWARE\\KerunelTest\\LinkdrvLogReason";
  kr::UniqueHKey key;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            key.put(), nullptr),
            ERROR_SUCCESS);
  RegSetValueExA(key.get(), "LogLevel", 0, REG_SZ, reinterpret_cast<const BYTE*>("2"), 2);
  RegSetValueExA(key.get(), "LogFileName", 0, REG_SZ, reinterpret_cast<const BYTE*>(log.c_str()),
                 static_cast<DWORD>(log.size() + 1));
  std::string port = std::to_string(ecr.Port());
  ecr.Stop();  // nothing listens there any more
  struct Case {
    std::string config;
    std::string reason;  // part of what the one logged entry says
  } cases[] = {
      {"@" + logged + "ECRIP=127.0.0.1",
       "OPEN FAILED : inline setting at " + std::to_string(logged.size() + 1) +
           " (\"ECRIP=127.0.0.1\"): a value longer than 255 characters, or an unquoted value "
           "that is not a number (quote addresses and file names with ', not \")"},
      {"@" + logged + "ECRIP=\"127.0.0.1\"", "a value longer than 255 characters, or an unquoted"},
      {"@" + logged + "E'CRIP=1", "a quote (') inside a key"},
      {"@" + logged + "ECRIP='127.0.0.1.0.0.0.0.0'", "an address over 17"},
      {path, "ECRIP is missing, not text, or longer than 17 characters"},
      {"@" + logged + "ECRIP='127.0.0.1',ECRPortNumber=" + port,
       "no connection to 127.0.0.1 port " + port},
      // A port past 65535 is refused, not cut to 16 bits (70000 would be 4464).
      {"@" + logged + "ECRIP='127.0.0.1',ECRPortNumber=70000",
       "ECRPortNumber \"70000\" is not a port (1 to 65535)"},
  };
  for (const Case& c : cases) {
    TempPath("linkdrv_open_failed.txt");
    EXPECT_FALSE(d.OpenProt(c.config.c_str(), 0));
    EXPECT_EQ(d.LastError(), kResultConfigFailed);
    std::vector<std::string> lines = MaskTimes(ReadLines(log));
    ASSERT_EQ(lines.size(), 9u) << c.config;
    EXPECT_EQ(lines[2], "D T:2:00 LOG OPEN");
    EXPECT_EQ(lines[4].rfind("T:2:00 OPEN FAILED : ", 0), 0u) << lines[4];
    EXPECT_NE(lines[4].find(c.reason), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("Result-Code=103"), std::string::npos) << lines[4];
    EXPECT_EQ(lines[6], "D T:2:00 LOG CLOSE");
  }
  key.reset();
  RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

}  // namespace
}  // namespace linkdrv_test
