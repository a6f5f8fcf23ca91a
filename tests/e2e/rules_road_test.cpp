// The fiscal rules through the real road (the control, the reference
// Service Object, Sandoral, the simulator's virtual printer): a Z report in
// training mode changes nothing fiscal, texts are split at line feeds and C1
// controls refused, the journal station is honoured, and each error sets
// the error properties, the Locked state and RemainingFiscalMemory as it
// should.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>

#include "control_client.h"
#include "ecrsim.h"
#include "opos.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"

namespace {

using kcli::Args;
using namespace opos;

constexpr wchar_t kDevice[] = L"RulesFP";

class RulesRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    ASSERT_EQ(S_OK, kr_test::RegisterServer(KSO_MODULE));
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    journal_ = std::wstring(dir) + L"kerunel_rules_journal.txt";
    DeleteFileW(journal_.c_str());
    printer_ =
        std::make_shared<ecrsim::VirtualPrinter>(std::string(journal_.begin(), journal_.end()));
    ecr_.AttachPrinter(printer_);
    ASSERT_NE(0, ecr_.Start());
    ASSERT_EQ(ERROR_SUCCESS,
              config_.Device(kDevice, KSO_PROGID,
                             {{L"Link", kr_test::Wide(ecr_.InlineSettings("OnLine=1"))},
                              {L"AnswerTimeout", L"1000"}}));
    ASSERT_EQ(S_OK, c_.Create(L"Kerunel.ocx"));
    Args open, claim;
    ASSERT_EQ(OPOS_SUCCESS, c_.Call("Open", open.Text(kDevice)));
    ASSERT_EQ(OPOS_SUCCESS, c_.Call("Claim", claim.Long(2000)));
    ASSERT_EQ(S_OK, c_.Set("PowerNotify", OPOS_PN_ENABLED));
    ASSERT_EQ(S_OK, c_.Set("DeviceEnabled", 1));
    ASSERT_EQ(OPOS_SUCCESS, c_.Get("ResultCode"));
  }

  void TearDown() override {
    c_.Call("Close");
    ecr_.Stop();
    printer_.reset();
    DeleteFileW(journal_.c_str());
  }

  long Call(const char* method) { return c_.Call(method); }
  long Call(const char* method, Args& a) { return c_.Call(method, a); }
  long Begin() {
    Args a;
    return c_.Call("BeginFiscalReceipt", a.Bool(true));
  }
  long Item(const wchar_t* description, int64_t cents) {
    Args a;
    return c_.Call("PrintRecItem",
                   a.Text(description).Currency(cents * 100).Long(0).Long(1).Currency(0).Text(L""));
  }
  long Text1(const char* method, const wchar_t* text) {
    Args a;
    return c_.Call(method, a.Text(text));
  }
  long Normal(long station, const wchar_t* text) {
    Args a;
    return c_.Call("PrintNormal", a.Long(station).Text(text));
  }
  long Sell(int64_t cents) {
    long r = Begin();
    if (r == 0) r = Item(L"Soap", cents);
    Args total;
    if (r == 0)
      r = c_.Call("PrintRecTotal", total.Currency(cents * 100).Currency(cents * 100).Text(L""));
    Args end;
    return r == 0 ? c_.Call("EndFiscalReceipt", end.Bool(false)) : r;
  }
  std::string Journal() const {
    std::ifstream in(journal_.c_str(), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  kr::ComInit com_;
  std::wstring journal_;
  ecrsim::Simulator ecr_{ecrsim::Wire::kHexLine};
  std::shared_ptr<ecrsim::VirtualPrinter> printer_;
  kr_test::ScopedOposConfig config_;
  kcli::ControlClient c_;
};

TEST_F(RulesRoad, TrainingZReportAndTextsAsAnApplicationSendsThem) {
  ASSERT_EQ(OPOS_SUCCESS, Sell(450));

  // A Z report in training mode prints, and the fiscal memory, the Z number
  // and the day stay as they were.
  ASSERT_EQ(OPOS_SUCCESS, Call("BeginTraining"));
  ASSERT_EQ(OPOS_SUCCESS, Sell(990));
  size_t before = printer_->PaperSize();
  ASSERT_EQ(OPOS_SUCCESS, Call("PrintZReport"));
  EXPECT_NE(std::string::npos, printer_->PaperSince(before).find("NOTHING RESET"));
  EXPECT_EQ(0u, printer_->FiscalRecords());
  EXPECT_EQ(0, printer_->ZNumber());
  EXPECT_EQ(450, printer_->DailyNet());
  EXPECT_EQ(1, printer_->ReceiptNumber());
  ASSERT_EQ(OPOS_SUCCESS, Call("EndTraining"));
  EXPECT_EQ(1825, c_.Get("RemainingFiscalMemory"));

  // Line feeds end lines; C1 controls are refused like C0 ones. (The
  // control hands strings on through the ANSI code page, where most C1
  // controls become printable characters; U+0090 and U+009D pass as they are.)
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  EXPECT_EQ(OPOS_E_EXTENDED, Item(L"Caf\x0090", 100));
  EXPECT_EQ(OPOS_EFPTR_BAD_ITEM_DESCRIPTION, c_.Get("ResultCodeExtended"));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Caf\x00E8 \x20AC", 100));
  before = printer_->PaperSize();
  EXPECT_EQ(OPOS_SUCCESS, Text1("PrintRecMessage", L"Thank you\r\nCome again\n"));
  EXPECT_EQ("Thank you\nCome again\n", printer_->PaperSince(before));
  EXPECT_EQ(OPOS_E_ILLEGAL, Text1("PrintRecMessage", L"esc \x009D"));
  Args voidReceipt, end;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("PrintRecVoid", voidReceipt.Text(L"")));
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("EndFiscalReceipt", end.Bool(false)));

  // The journal station: what goes to the journal alone is not on the receipt.
  ASSERT_EQ(OPOS_SUCCESS, Call("BeginNonFiscal"));
  before = printer_->PaperSize();
  EXPECT_EQ(OPOS_SUCCESS, Normal(FPTR_S_JOURNAL, L"journal only\n"));
  EXPECT_EQ(OPOS_SUCCESS, Normal(FPTR_S_RECEIPT, L"receipt 1\nreceipt 2\n"));
  EXPECT_EQ(OPOS_SUCCESS, Normal(FPTR_S_JOURNAL_RECEIPT, L"both"));
  EXPECT_EQ(OPOS_E_ILLEGAL, Normal(4, L"slip"));
  EXPECT_EQ("receipt 1\nreceipt 2\nboth\n", printer_->PaperSince(before));
  EXPECT_NE(std::string::npos, Journal().find("journal only\nreceipt 1\nreceipt 2\nboth\n"));
  ASSERT_EQ(OPOS_SUCCESS, Call("EndNonFiscal"));
}

// Each error sets ErrorLevel, ErrorStation and ErrorState for what it is;
// a full fiscal memory locks the printer.
TEST_F(RulesRoad, ErrorsSetTheErrorPropertiesLockedAndOffline) {
  struct Case {
    const char* what;
    std::function<void()> fault;
    std::function<long()> call;
    long code, extended, level, station, state;
  };
  const Case cases[] = {
      {"receipt paper out", [this] { printer_->SetReceiptPaperOut(true); },
       [this] { return Begin(); }, OPOS_E_EXTENDED, OPOS_EFPTR_REC_EMPTY, FPTR_EL_RECOVERABLE,
       FPTR_S_RECEIPT, kPrinterMonitor},
      {"journal out in a receipt",
       [this] {
         printer_->SetReceiptPaperOut(false);
         Begin();
         printer_->SetJournalEmpty(true);
       },
       [this] { return Item(L"Tea", 120); }, OPOS_E_EXTENDED, OPOS_EFPTR_JRN_EMPTY,
       FPTR_EL_RECOVERABLE, FPTR_S_JOURNAL, kPrinterFiscalReceipt},
      {"the ECR off, with power reports asked for",
       [this] {
         printer_->SetJournalEmpty(false);
         ecr_.PowerOff();
       },
       [this] { return Item(L"Tea", 120); }, OPOS_E_OFFLINE, 0, FPTR_EL_RECOVERABLE, FPTR_S_RECEIPT,
       kPrinterFiscalReceipt},
      {"the fiscal memory full",
       [this] {
         ecr_.PowerOn(printer_);
         Args v;
         c_.Call("PrintRecVoid", v.Text(L""));
         Args end;
         c_.Call("EndFiscalReceipt", end.Bool(false));
         printer_->SetFiscalMemorySize(1);
         Call("PrintZReport");
       },
       [this] { return Begin(); }, OPOS_E_EXTENDED, OPOS_EFPTR_MEMORY_FULL, FPTR_EL_FATAL,
       FPTR_S_RECEIPT, kPrinterLocked},
  };
  for (const Case& c : cases) {
    c.fault();
    EXPECT_EQ(c.code, c.call()) << c.what;
    EXPECT_EQ(c.extended, c_.Get("ResultCodeExtended")) << c.what;
    EXPECT_EQ(c.level, c_.Get("ErrorLevel")) << c.what;
    EXPECT_EQ(c.station, c_.Get("ErrorStation")) << c.what;
    EXPECT_EQ(c.state, c_.Get("ErrorState")) << c.what;
  }
  EXPECT_EQ(0, c_.Get("RemainingFiscalMemory"));
  EXPECT_EQ(kPrinterLocked, c_.Get("PrinterState"));
  EXPECT_EQ(OPOS_SUCCESS, Call("PrintXReport"));  // reports still print
  EXPECT_EQ(OPOS_SUCCESS, Call("ClearError"));
  EXPECT_EQ(FPTR_EL_NONE, c_.Get("ErrorLevel"));
}

}  // namespace
