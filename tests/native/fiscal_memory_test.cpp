// The virtual printer's fiscal memory on the disk: a printer made again
// from the file goes on where the last one stopped; a receipt open at the
// cut is cancelled, counted and reported; a record cut short at any byte is
// ignored; a file that is not a fiscal memory is left alone.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include "virtual_printer.h"

namespace {

namespace fs = std::filesystem;

class FiscalMemory : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("kerunel_memory_" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    journal_ = (dir_ / "journal.txt").string();
    memory_ = ecrsim::VirtualPrinter::MemoryPathFor(journal_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::unique_ptr<ecrsim::VirtualPrinter> PowerOn() {
    auto p = std::make_unique<ecrsim::VirtualPrinter>(journal_, memory_);
    EXPECT_EQ("", p->MemoryError());
    return p;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // Runs the commands; every one must be accepted.
  static void Run(ecrsim::VirtualPrinter& p, std::initializer_list<const char*> commands) {
    for (const char* c : commands) ASSERT_NE('E', p.Execute(c)[0]) << c;
  }

  fs::path dir_;
  std::string journal_, memory_;
};

TEST_F(FiscalMemory, RestartGoesOnWhereThePrinterStopped) {
  EXPECT_EQ((dir_ / "journal.fiscal").string(), memory_);
  std::string answer;
  {
    auto p = PowerOn();
    Run(*p, {"v2100|||", "h4|0|Open 7-19", "t2|1|See you", "i7|Ann", "O1", "ABread|250||1||",
             "P|250|", "K", "Z", "O1", "AMilk|110||2||", "P|500|"});
    answer = p->Execute("K#41");
    ASSERT_EQ('K', answer[0]);
  }
  auto p = PowerOn();
  EXPECT_EQ(1, p->PowerCuts());  // this start
  EXPECT_EQ(1, p->ZNumber());
  EXPECT_EQ(1u, p->FiscalRecords());
  EXPECT_EQ(1, p->ReceiptNumber());
  EXPECT_EQ(110, p->DailyNet());
  EXPECT_EQ(360, p->GrandTotal());
  EXPECT_TRUE(p->DayOpen());
  EXPECT_EQ(answer, p->Execute("K#41"));  // the last command is not run twice
  EXPECT_EQ("w32|2100", p->Execute("w1"));
  const size_t before = p->PaperSize();
  Run(*p, {"O1", "AJam|300||1||", "P|300|", "K#42"});
  const std::string receipt = p->PaperSince(before);
  EXPECT_NE(std::string::npos, receipt.find("Open 7-19"));
  EXPECT_NE(std::string::npos, receipt.find("POS 7    CASHIER Ann"));
  EXPECT_NE(std::string::npos, receipt.find("RECEIPT 2"));
  EXPECT_NE(std::string::npos, receipt.find("Z 2"));
  EXPECT_NE(std::string::npos, receipt.find("S e e   y o u"));
}

TEST_F(FiscalMemory, ReceiptOpenAtTheCutIsCancelledCountedAndReported) {
  auto p = PowerOn();
  Run(*p, {"O1", "ABread|250||1||", "P|250|", "K", "O1", "ACheese|480||1||"});
  p->PowerCut();
  EXPECT_EQ("", p->Execute("ALate|100||1||"));  // no power, no answer
  p->PowerOn();                                 // the same printer
  EXPECT_EQ(ecrcmd::kDocIdle, p->Document());
  EXPECT_EQ(2, p->ReceiptNumber());
  p.reset();
  p = PowerOn();  // and one made from its file: the cut is counted once
  EXPECT_EQ(ecrcmd::kDocIdle, p->Document());
  EXPECT_EQ(2, p->ReceiptNumber());  // the cancelled receipt took its number
  EXPECT_EQ(250, p->DailyNet());
  EXPECT_EQ("g32|480", p->Execute("g6"));  // with the day's voids
  const std::string journal = Read(journal_);
  EXPECT_NE(std::string::npos, journal.find("*** RECEIPT 2 CANCELLED ***"));
  EXPECT_EQ(journal.find("CANCELLED ***"), journal.rfind("CANCELLED ***"));
  EXPECT_EQ(std::string::npos, journal.find("Late"));
  const size_t before = p->PaperSize();
  Run(*p, {"l"});
  const std::string report = p->PaperSince(before);
  EXPECT_NE(std::string::npos, report.find("POWER CUTS SINCE Z 0     2"));
  EXPECT_NE(std::string::npos, report.find("RECEIPTS CANCELLED 1"));
  EXPECT_TRUE(std::regex_search(report, std::regex("CANCELLED VALUE +4\\.80")));
  EXPECT_TRUE(std::regex_search(report, std::regex("DAILY TOTAL +2\\.50")));
  // A Z report starts the count again.
  Run(*p, {"Z"});
  Run(*p, {"l"});
  EXPECT_NE(std::string::npos, p->Paper().find("No power failure since the last Z report"));
}

TEST_F(FiscalMemory, RecordCutShortAtAnyByteIsIgnored) {
  { PowerOn()->Execute("O1"); }  // a receipt open at the cut
  {
    auto p = PowerOn();  // cancels that receipt and writes the file anew
    Run(*p, {"O1", "ATea|120||3||"});
  }
  const std::string withTea = Read(memory_);
  const std::string lastRecord = withTea.substr(withTea.rfind('\n', withTea.size() - 2) + 1);
  ASSERT_GT(lastRecord.size(), 20u);
  const std::string head = withTea.substr(0, withTea.size() - lastRecord.size());
  // Cut anywhere, the receipt is the one the record before left: open and
  // empty; whole, it holds the tea. Either way it is cancelled at power-on.
  for (size_t cut = 0; cut <= lastRecord.size(); ++cut) {
    std::ofstream(memory_, std::ios::binary | std::ios::trunc) << head + lastRecord.substr(0, cut);
    auto p = PowerOn();
    EXPECT_EQ(cut == lastRecord.size() ? "g32|120" : "g32|0", p->Execute("g6")) << cut;
    EXPECT_EQ(2, p->ReceiptNumber()) << cut;  // 1 cancelled before, 1 now
  }
  // A damaged byte inside the last record counts as a cut too.
  std::string damaged = withTea;
  damaged[damaged.size() - 15] ^= 0x01;
  std::ofstream(memory_, std::ios::binary | std::ios::trunc) << damaged;
  auto p = PowerOn();
  EXPECT_EQ("g32|0", p->Execute("g6"));
  EXPECT_NE(std::string::npos, Read(journal_).find("FISCAL MEMORY: INCOMPLETE LAST RECORD"));
}

TEST_F(FiscalMemory, FileThatIsNotAFiscalMemoryIsLeftAlone) {
  std::ofstream(memory_, std::ios::binary) << "not a fiscal memory\n";
  ecrsim::VirtualPrinter p(journal_, memory_);
  EXPECT_NE("", p.MemoryError());
  EXPECT_EQ(std::string({'E', 11}), p.Execute("O1"));
  EXPECT_EQ('Q', p.Execute("Q")[0]);  // queries still answer
  EXPECT_EQ("not a fiscal memory\n", Read(memory_));
}

}  // namespace
