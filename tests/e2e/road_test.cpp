// The whole road through the real binaries: the Kerunel control (from
// Kerunel.ocx) opens the reference Service Object (KerunelSO.dll, through
// the registry), which drives Sandoral.dll or Mirevon.dll over TCP to the
// ECR simulator and its virtual fiscal printer. Every test runs once per
// link driver.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>

#include "control_client.h"
#include "ecrsim.h"
#include "fault_lines.h"
#include "opos.h"
#include "roads.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"

namespace {

using kcli::Args;
using namespace opos;

constexpr wchar_t kDevice[] = L"RoadFP";
constexpr DISPID kErrorEvent = 2, kOutputComplete = 3, kStatusUpdate = 4;

// An amount in OPOS currency from cents.
int64_t Cy(int64_t cents) {
  return cents * 100;
}

// The paper with every date and time replaced by <date>.
std::string Masked(const std::string& paper) {
  static const std::regex date("\\d\\d-\\d\\d-\\d{4} \\d\\d:\\d\\d");
  return std::regex_replace(paper, date, "<date>");
}

class RoadTest : public ::testing::TestWithParam<kr_test::Road> {
 protected:
  RoadTest() : ecr_(GetParam().wire), printer_(std::make_shared<ecrsim::VirtualPrinter>()) {}

  static void SetUpTestSuite() {
    kr::ComInit com;
    ASSERT_EQ(S_OK, kr_test::RegisterServer(KSO_MODULE));
  }

  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(com_.result()));
    ecr_.AttachPrinter(printer_);
    ASSERT_NE(0, ecr_.Start());
    ASSERT_EQ(ERROR_SUCCESS,
              config_.Device(kDevice, KSO_PROGID,
                             {{L"LinkDriver", kr_test::Wide(GetParam().driver)},
                              {L"Link", kr_test::Wide(ecr_.InlineSettings("OnLine=1"))},
                              {L"AnswerTimeout", L"1000"},
                              {L"ReportTimeout", L"3000"}}));
    ASSERT_EQ(S_OK, c_.Create(L"Kerunel.ocx"));
  }

  void TearDown() override {
    c_.Call("Close");
    ecr_.Stop();
  }

  // Open, Claim and enable; fails the test unless each succeeds.
  void OpenDevice() {
    Args open;
    ASSERT_EQ(OPOS_SUCCESS, c_.Call("Open", open.Text(kDevice)));
    Args claim;
    ASSERT_EQ(OPOS_SUCCESS, c_.Call("Claim", claim.Long(2000)));
    ASSERT_EQ(S_OK, c_.Set("DeviceEnabled", 1));
    ASSERT_EQ(OPOS_SUCCESS, c_.Get("ResultCode")) << Text("ErrorString");
    ASSERT_EQ(1, c_.Get("DeviceEnabled"));
  }

  std::string Text(const char* property) {
    std::wstring w = c_.GetText(property);
    return std::string(w.begin(), w.end());
  }

  long Begin() {
    Args a;
    return c_.Call("BeginFiscalReceipt", a.Bool(true));
  }
  long Item(const wchar_t* description, int64_t cents, long quantity = 0, long vat = 1,
            int64_t unitCents = 0, const wchar_t* unit = L"") {
    Args a;
    return c_.Call("PrintRecItem", a.Text(description)
                                       .Currency(Cy(cents))
                                       .Long(quantity)
                                       .Long(vat)
                                       .Currency(Cy(unitCents))
                                       .Text(unit));
  }
  long Total(int64_t totalCents, int64_t paymentCents, const wchar_t* description) {
    Args a;
    return c_.Call("PrintRecTotal",
                   a.Currency(Cy(totalCents)).Currency(Cy(paymentCents)).Text(description));
  }
  long End() {
    Args a;
    return c_.Call("EndFiscalReceipt", a.Bool(false));
  }
  std::string Data(long item) {
    long opt = 0;
    BSTR data = nullptr;
    Args a;
    EXPECT_EQ(OPOS_SUCCESS, c_.Call("GetData", a.Long(item).LongRef(&opt).TextRef(&data)));
    kr::UniqueBstr owned(data);
    return data ? std::string(data, data + SysStringLen(data)) : std::string();
  }
  // A receipt of one item at that price, paid exactly.
  void SellOne(const wchar_t* description, int64_t cents) {
    ASSERT_EQ(OPOS_SUCCESS, Begin());
    ASSERT_EQ(OPOS_SUCCESS, Item(description, cents));
    ASSERT_EQ(OPOS_SUCCESS, Total(cents, cents, L"CASH"));
    ASSERT_EQ(OPOS_SUCCESS, End());
  }
  bool WaitForEvents(DISPID dispid, size_t count, int ms = 5000) {
    return kcli::ControlClient::PumpUntil([&] { return c_.Count(dispid) >= count; }, ms);
  }

  kr::ComInit com_;
  ecrsim::Simulator ecr_;
  std::shared_ptr<ecrsim::VirtualPrinter> printer_;
  kr_test::ScopedOposConfig config_;
  kcli::ControlClient c_;
};

TEST_P(RoadTest, CompleteReceiptIsPrintedOnTheJournal) {
  OpenDevice();
  const size_t start = printer_->PaperSize();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  EXPECT_EQ(kPrinterFiscalReceipt, c_.Get("PrinterState"));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Apples", 0, 1500, 2, 200, L"kg"));
  Args discount;  // 10 % off the apples
  ASSERT_EQ(
      OPOS_SUCCESS,
      c_.Call("PrintRecItemAdjustment",
              discount.Long(FPTR_AT_PERCENTAGE_DISCOUNT).Text(L"").Currency(Cy(1000)).Long(0)));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Milk", 110, 0, 3));
  Args subtotal;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("PrintRecSubtotal", subtotal.Currency(0)));
  ASSERT_EQ(OPOS_SUCCESS, Total(630, 500, L"CASH"));
  EXPECT_EQ(kPrinterFiscalReceiptTotal, c_.Get("PrinterState"));  // 1.30 still due
  ASSERT_EQ(OPOS_SUCCESS, Total(630, 200, L"CARD"));
  EXPECT_EQ(kPrinterFiscalReceiptEnding, c_.Get("PrinterState"));
  Args message;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("PrintRecMessage", message.Text(L"Have a nice day")));
  ASSERT_EQ(OPOS_SUCCESS, End());
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));

  EXPECT_EQ(
      "  K E R U N E L   D E M O   S T O R E\n"
      "      1 Market Street, Sampletown\n"
      "          VAT No. 01234567890\n"
      "----------------------------------------\n"
      "Bread                             2.50 A\n"
      "Apples                            3.00 B\n"
      "  1.5 x 2.00 kg\n"
      "DISCOUNT 10.00%                  -0.30 B\n"
      "Milk                              1.10 C\n"
      "SUBTOTAL                          6.30\n"
      "----------------------------------------\n"
      "TOTAL EUR                         6.30\n"
      "CASH                              5.00\n"
      "CARD                              2.00\n"
      "CHANGE                            0.70\n"
      "Have a nice day\n"
      "----------------------------------------\n"
      "VAT A  22.00%        2.05        0.45\n"
      "VAT B  10.00%        2.45        0.25\n"
      "VAT C   4.00%        1.06        0.04\n"
      "----------------------------------------\n"
      "<date>               RECEIPT 1\n"
      "POS 1    CASHIER 1                   Z 1\n"
      "         Thank you and goodbye\n"
      "             FISCAL RECEIPT\n"
      "========================================\n",
      Masked(printer_->PaperSince(start)));
  EXPECT_EQ("6.30", Data(2));  // the day's total
  EXPECT_EQ(1, c_.Get("DayOpened"));
}

TEST_P(RoadTest, VoidedReceiptIsNotCounted) {
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Wine", 1290));
  Args voidReceipt;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("PrintRecVoid", voidReceipt.Text(L"Customer left")));
  EXPECT_EQ(kPrinterFiscalReceiptEnding, c_.Get("PrinterState"));
  // Nothing more can be sold on a voided receipt.
  ASSERT_EQ(OPOS_E_EXTENDED, Item(L"Cheese", 100));
  EXPECT_EQ(OPOS_EFPTR_WRONG_STATE, c_.Get("ResultCodeExtended"));
  ASSERT_EQ(OPOS_SUCCESS, End());
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));
  const std::string paper = printer_->Paper();
  EXPECT_TRUE(std::regex_search(paper, std::regex("Customer left\n +\\*\\*\\* RECEIPT VOIDED")));
  EXPECT_EQ(std::string::npos, paper.find("VAT A"));  // no VAT summary for a void
  EXPECT_EQ("0.00", Data(2));                         // the day's total
  EXPECT_EQ("12.90", Data(6));                        // the day's voids
}

TEST_P(RoadTest, ZReportResetsTheDaysTotals) {
  OpenDevice();
  SellOne(L"Coffee", 120);
  SellOne(L"Cake", 350);
  EXPECT_EQ("4.70", Data(2));
  EXPECT_EQ("2", Data(3));  // receipt number
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("PrintZReport"));
  EXPECT_EQ("0.00", Data(2));
  EXPECT_EQ("0", Data(3));
  EXPECT_EQ("1", Data(7));     // Z number
  EXPECT_EQ("4.70", Data(8));  // the grand total stays
  EXPECT_EQ(0, c_.Get("DayOpened"));
  EXPECT_EQ(1u, printer_->FiscalRecords());
  const std::string paper = Masked(printer_->Paper());
  EXPECT_NE(std::string::npos, paper.find("Z   R E P O R T   1\n"));
  EXPECT_TRUE(std::regex_search(paper, std::regex("RECEIPTS 2\nDAILY TOTAL +4\\.70\n")));
  // The next receipt starts the new day at number 1.
  SellOne(L"Tea", 100);
  EXPECT_EQ("1", Data(3));
}

// Calls out of order or out of range: each is refused with its code and
// leaves the receipt as it was.
TEST_P(RoadTest, OutOfOrderCallsGiveTheirExtendedCodes) {
  Args open;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("Open", open.Text(kDevice)));
  EXPECT_EQ(OPOS_E_NOTCLAIMED, Begin());
  Args claim;
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("Claim", claim.Long(1000)));
  EXPECT_EQ(OPOS_E_DISABLED, Begin());
  ASSERT_EQ(S_OK, c_.Set("DeviceEnabled", 1));

  struct Case {
    const char* what;
    std::function<long()> call;
    long code;
    long extended;
  };
  const wchar_t* longText = L"A description too long to print";
  const Case cases[] = {
      {"item before the receipt", [&] { return Item(L"Bread", 100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE},
      {"end before the receipt", [&] { return End(); }, OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE},
      {"total before the receipt", [&] { return Total(0, 0, L""); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE},
      {"bad date",
       [&] {
         Args a;
         return c_.Call("SetDate", a.Text(L"2024"));
       },
       OPOS_E_EXTENDED, OPOS_EFPTR_BAD_DATE},
      {"begin", [&] { return Begin(); }, OPOS_SUCCESS, 0},
      {"begin twice", [&] { return Begin(); }, OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE},
      {"Z report in a receipt", [&] { return c_.Call("PrintZReport"); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE},
      {"negative quantity", [&] { return Item(L"Bread", 100, -1); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_ITEM_QUANTITY},
      {"negative price", [&] { return Item(L"Bread", -100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_ITEM_AMOUNT},
      {"unknown VAT", [&] { return Item(L"Bread", 100, 0, 9); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_VAT},
      {"negative unit price", [&] { return Item(L"Bread", 0, 1000, 1, -100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_PRICE},
      {"description too long", [&] { return Item(longText, 100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_ITEM_DESCRIPTION},
      {"reserved word", [&] { return Item(L"Grand total", 100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WORD_NOT_ALLOWED},
      {"item", [&] { return Item(L"Bread", 100); }, OPOS_SUCCESS, 0},
      {"refund beyond the total",
       [&] {
         Args a;
         return c_.Call("PrintRecRefund", a.Text(L"Bread").Currency(Cy(500)).Long(1));
       },
       OPOS_E_EXTENDED, OPOS_EFPTR_NEGATIVE_TOTAL},
      {"end before the total", [&] { return End(); }, OPOS_E_EXTENDED, OPOS_EFPTR_WRONG_STATE},
      {"wrong total", [&] { return Total(200, 200, L"CASH"); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_BAD_ITEM_AMOUNT},
      {"total", [&] { return Total(100, 100, L"CASH"); }, OPOS_SUCCESS, 0},
      {"item after the total", [&] { return Item(L"Milk", 100); }, OPOS_E_EXTENDED,
       OPOS_EFPTR_WRONG_STATE},
      {"end", [&] { return End(); }, OPOS_SUCCESS, 0},
      {"slip document",
       [&] {
         Args a;
         return c_.Call("BeginFiscalDocument", a.Long(100));
       },
       OPOS_E_ILLEGAL, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.code, c.call()) << c.what;
    EXPECT_EQ(c.code, c_.Get("ResultCode")) << c.what;
    EXPECT_EQ(c.extended, c_.Get("ResultCodeExtended")) << c.what;
  }
  EXPECT_EQ(1, printer_->ReceiptNumber());  // the one good receipt
  EXPECT_EQ("1.00", Data(2));
}

// Asynchronous output with the receipt paper running out: the error event
// comes with the printer's code, and the application's answer is honoured.
TEST_P(RoadTest, PaperOutDuringReceiptRaisesErrorEventWhoseAnswerIsHonoured) {
  OpenDevice();
  ASSERT_EQ(S_OK, c_.Set("AsyncMode", 1));
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  ASSERT_TRUE(WaitForEvents(kOutputComplete, 2));

  // Retry once the paper is back: the item is printed once, and completes.
  printer_->SetReceiptPaperOut(true);
  c_.onError = [this](const kcli::EventRecord& e) {
    EXPECT_EQ(OPOS_ER_RETRY, e.response);  // what the Service Object proposes
    EXPECT_EQ(OPOS_S_ERROR, c_.Get("State"));
    printer_->SetReceiptPaperOut(false);
    return OPOS_ER_RETRY;
  };
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Milk", 110));
  const long milk = c_.Get("OutputID");
  ASSERT_TRUE(WaitForEvents(kOutputComplete, 3));
  ASSERT_EQ(1u, c_.Count(kErrorEvent));
  for (const kcli::EventRecord& e : c_.Events()) {
    if (e.dispid != kErrorEvent) continue;
    EXPECT_EQ(OPOS_E_EXTENDED, e.values[0]);
    EXPECT_EQ(OPOS_EFPTR_REC_EMPTY, e.values[1]);
    EXPECT_EQ(OPOS_EL_OUTPUT, e.values[2]);
  }
  EXPECT_EQ(milk, c_.Events().back().values[0]);  // the last completion is the retried item
  const std::string paper = printer_->Paper();
  EXPECT_EQ(paper.find("Milk"), paper.rfind("Milk"));

  // Clear: the queued output is dropped, no completion comes for it, and
  // the printer's state is read back from the ECR.
  printer_->SetReceiptPaperOut(true);
  c_.onError = [](const kcli::EventRecord&) { return OPOS_ER_CLEAR; };
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Cheese", 400));
  ASSERT_EQ(OPOS_SUCCESS, Total(760, 1000, L"CASH"));
  ASSERT_TRUE(WaitForEvents(kErrorEvent, 2));
  ASSERT_TRUE(kcli::ControlClient::PumpUntil([&] { return c_.Get("State") == OPOS_S_IDLE; }, 5000));
  EXPECT_EQ(3u, c_.Count(kOutputComplete));
  EXPECT_EQ(kPrinterFiscalReceipt, c_.Get("PrinterState"));
  EXPECT_EQ(std::string::npos, printer_->Paper().find("Cheese"));

  // The status updates told the paper's coming and going.
  std::vector<long> statuses;
  for (const kcli::EventRecord& e : c_.Events()) {
    if (e.dispid == kStatusUpdate) statuses.push_back(e.values[0]);
  }
  ASSERT_GE(statuses.size(), 2u);
  EXPECT_EQ(FPTR_SUE_REC_EMPTY, statuses[0]);
  EXPECT_EQ(FPTR_SUE_REC_PAPEROK, statuses[1]);
}

// How often text appears in the paper.
size_t Occurrences(const std::string& paper, const std::string& text) {
  size_t n = 0;
  for (size_t at = paper.find(text); at != std::string::npos; at = paper.find(text, at + 1)) ++n;
  return n;
}

// The ECR carries out a command and its answer is lost, on a link that stays
// or one that drops: the call still tells the truth, and nothing is
// registered twice.
TEST_P(RoadTest, LostAnswersAreSettledExactlyOnce) {
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  struct Case {
    const char* what;
    bool drop;
    std::function<long()> call;
    const char* printed;
  };
  const Case cases[] = {
      {"item", false, [&] { return Item(L"Milk", 110); }, "Milk"},
      {"item, link dropped", true, [&] { return Item(L"Eggs", 300); }, "Eggs"},
      {"total", false, [&] { return Total(660, 700, L"CASH"); }, "CASH"},
      {"end, link dropped", true, [&] { return End(); }, "RECEIPT 1"},
      {"Z report", false, [&] { return c_.Call("PrintZReport"); }, "Z   R E P O R T   1"},
      {"Z report, link dropped", true, [&] { return c_.Call("PrintZReport"); },
       "Z   R E P O R T   2"},
  };
  for (const Case& c : cases) {
    ecr_.LoseNextAnswer(c.drop);
    const size_t before = printer_->PaperSize();
    EXPECT_EQ(OPOS_SUCCESS, c.call()) << c.what << ": " << Text("ErrorString");
    EXPECT_EQ(1u, Occurrences(printer_->PaperSince(before), c.printed)) << c.what;
  }
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));
  EXPECT_EQ(2, printer_->ZNumber());
  EXPECT_EQ(660, printer_->GrandTotal());
}

// An ECR that stays unreachable after it carried out a command: the call
// says the outcome is not known, nothing else goes out before it is
// settled, and the same call again is carried out once; a command that
// never reached it is reported as not sent.
TEST_P(RoadTest, UnreachableEcrLeavesTheOutcomeOpenUntilItAnswers) {
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  ecr_.LoseNextAnswer(false);
  const size_t before = ecr_.Messages().size();
  std::thread cut([&] {
    if (ecr_.WaitForMessages(before + 1, 5000)) ecr_.PowerOff();
  });
  EXPECT_EQ(OPOS_E_TIMEOUT, Item(L"Milk", 110));
  cut.join();
  EXPECT_NE(std::string::npos, Text("ErrorString").find("not known"));
  EXPECT_EQ(OPOS_E_NOHARDWARE, Item(L"Salt", 50));  // held back: nothing sent
  ecr_.PowerOn(printer_);                           // its memory kept
  EXPECT_EQ(OPOS_SUCCESS, Item(L"Milk", 110)) << Text("ErrorString");
  EXPECT_EQ(1u, Occurrences(printer_->Paper(), "Milk"));

  ecr_.PowerOff();
  EXPECT_EQ(OPOS_E_NOHARDWARE, Item(L"Salt", 50));
  ecr_.PowerOn(printer_);
  ASSERT_EQ(OPOS_SUCCESS, Total(360, 360, L"CASH"));
  ASSERT_EQ(OPOS_SUCCESS, End());
  EXPECT_EQ(0u, Occurrences(printer_->Paper(), "Salt"));
  EXPECT_EQ(360, printer_->DailyNet());
}

// AnswerTimeout (here a number, 1000 ms) measures the ECR's silence: an
// ECR that stays silent loses its link within a slice of the limit and the
// command goes again over a new one; an ECR that reports itself at work
// (host-PC wire; the hex line has no status) keeps its link for as long as
// it works; a report has its own, longer limit (here 3000 ms).
TEST_P(RoadTest, AnswerTimeoutMeasuresSilence) {
  const std::wstring key = std::wstring(kr_test::kOposClassKey) + L"\\" + kDevice;
  const DWORD limit = 1000;
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"AnswerTimeout",
                                           REG_DWORD, &limit, sizeof limit));
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  const bool hasStatus = GetParam().wire == ecrsim::Wire::kHostPc;
  struct Step {
    const char* what;
    std::function<void()> fault;
    std::function<long()> call;
    const char* printed;
    int newLinks;
    DWORD withinMs;
  };
  const Step steps[] = {
      {"silent", [&] { ecr_.OnceOnCommand('A', ecrsim::Reply::NoAnswer()); },
       [&] { return Item(L"Milk", 110); }, "Milk", 1, 4500},
      {"at work for 4.5 s", [&] { ecr_.WorkOnNext(4500); }, [&] { return Item(L"Tea", 300); },
       "Tea", hasStatus ? 0 : 1, 9000},
      {"report at work for 2.5 s",
       [&] {
         ASSERT_EQ(OPOS_SUCCESS, Total(410, 410, L"CASH"));
         ASSERT_EQ(OPOS_SUCCESS, End());
         ecr_.WorkOnNext(2500);
       },
       [&] { return c_.Call("PrintXReport"); }, "X   R E P O R T", 0, 6000},
  };
  for (const Step& step : steps) {
    step.fault();
    const int links = ecr_.GetCounters().connections;
    const size_t before = printer_->PaperSize();
    const DWORD start = GetTickCount();
    EXPECT_EQ(OPOS_SUCCESS, step.call()) << step.what << ": " << Text("ErrorString");
    EXPECT_LT(GetTickCount() - start, step.withinMs) << step.what;
    EXPECT_EQ(1u, Occurrences(printer_->PaperSince(before), step.printed)) << step.what;
    EXPECT_EQ(step.newLinks, ecr_.GetCounters().connections - links) << step.what;
  }
}

// After a new link the receipt is rebuilt from the printer: what was paid
// and the last item are kept, and a receipt the ECR cancelled is seen as
// gone.
TEST_P(RoadTest, NewLinkRebuildsTheReceiptFromThePrinter) {
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Apples", 300));
  ecr_.Close();
  Args discount;
  ASSERT_EQ(
      OPOS_SUCCESS,
      c_.Call("PrintRecItemAdjustment",
              discount.Long(FPTR_AT_PERCENTAGE_DISCOUNT).Text(L"").Currency(Cy(1000)).Long(0)))
      << Text("ErrorString");
  ASSERT_EQ(OPOS_SUCCESS, Total(270, 100, L"CASH"));
  ecr_.Close();
  ASSERT_EQ(OPOS_SUCCESS, Total(270, 170, L"CARD")) << Text("ErrorString");
  ecr_.Close();
  ASSERT_EQ(OPOS_SUCCESS, End()) << Text("ErrorString");

  // The ECR restarts and cancels the open receipt.
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Pears", 200));
  ecr_.PowerOff();
  auto restarted = std::make_shared<ecrsim::VirtualPrinter>();
  ecr_.PowerOn(restarted);
  EXPECT_EQ(OPOS_E_EXTENDED, Item(L"Plums", 150));
  EXPECT_EQ(OPOS_EFPTR_WRONG_STATE, c_.Get("ResultCodeExtended"));
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));
  SellOne(L"Plums", 150);
  EXPECT_EQ(150, restarted->DailyNet());
}

// The ECR loses its power mid-receipt with its fiscal memory on the disk:
// the item whose answer the cut took stays open (112) until the ECR is back,
// then it is settled once; the receipt open at the cut is cancelled at
// power-on, and the application sees it gone. A restart between two calls
// does the same. The day goes on from the memory.
TEST_P(RoadTest, PowerCutMidReceiptResumesFromTheFiscalMemory) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring base = std::wstring(dir) + L"kerunel_power_" +
                            std::wstring(GetParam().driver, GetParam().driver + 1);
  const std::string journal(base.begin(), base.end());
  DeleteFileW((base + L".txt").c_str());
  DeleteFileW((base + L".fiscal").c_str());
  auto printer = std::make_shared<ecrsim::VirtualPrinter>(journal + ".txt", journal + ".fiscal");
  ASSERT_EQ("", printer->MemoryError());
  ecr_.AttachPrinter(printer);
  OpenDevice();
  SellOne(L"Coffee", 120);

  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  ASSERT_TRUE(ecrsim::InjectFault("lose answer", ecr_, printer));
  std::thread cut([&] {  // once the printer has registered it
    auto milk = [&](const ecrsim::Record&) {
      return printer->Paper().find("Milk") != std::string::npos;
    };
    if (ecr_.WaitFor(milk, 5000)) ecrsim::InjectFault("power off", ecr_, printer);
  });
  EXPECT_EQ(OPOS_E_TIMEOUT, Item(L"Milk", 110));
  cut.join();
  ASSERT_TRUE(ecrsim::InjectFault("power on", ecr_, printer));
  EXPECT_EQ(OPOS_SUCCESS, Item(L"Milk", 110)) << Text("ErrorString");  // it was registered
  EXPECT_EQ(OPOS_E_EXTENDED, Total(360, 360, L"CASH"));
  EXPECT_EQ(OPOS_EFPTR_WRONG_STATE, c_.Get("ResultCodeExtended"));
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));

  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Jam", 330));
  ASSERT_TRUE(ecrsim::InjectFault("restart", ecr_, printer));
  EXPECT_EQ(OPOS_E_EXTENDED, Item(L"Honey", 500));
  EXPECT_EQ(kPrinterMonitor, c_.Get("PrinterState"));

  SellOne(L"Tea", 100);
  EXPECT_EQ(220, printer->DailyNet());
  EXPECT_EQ(4, printer->ReceiptNumber());  // the two cancelled took their numbers
  const std::string paper = printer->Paper();
  EXPECT_EQ(2u, Occurrences(paper, "*** POWER CUT ***"));
  EXPECT_EQ(1u, Occurrences(paper, "Milk"));
  EXPECT_EQ(0u, Occurrences(paper, "Honey"));
  c_.Call("Close");
  ecr_.Stop();
  printer.reset();
  DeleteFileW((base + L".txt").c_str());
  DeleteFileW((base + L".fiscal").c_str());
}

// Asynchronous output runs on the Service Object's own thread: it is
// printed while the application is busy and pumps no messages, and its
// events reach the application's thread once it pumps. ClearOutput during a
// transaction takes back what is queued, not the command in flight, and a
// call made after it is printed: every call that stays accepted ends in
// exactly one event.
TEST_P(RoadTest, AsynchronousOutputRunsOnTheServiceObjectsThread) {
  OpenDevice();
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(S_OK, c_.Set("AsyncMode", 1));
  const DWORD appThread = GetCurrentThreadId();
  std::vector<DWORD> eventThreads;
  c_.onEvent = [&](const kcli::EventRecord&) { eventThreads.push_back(GetCurrentThreadId()); };
  auto printed = [this](const char* text) {
    return [this, text](const ecrsim::Record&) {
      return printer_->Paper().find(text) != std::string::npos;
    };
  };
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Butter", 180));
  // Busy: no messages pumped while it waits.
  ASSERT_TRUE(ecr_.WaitFor(printed("Butter"), 10000));
  EXPECT_TRUE(c_.Events().empty());
  ASSERT_TRUE(WaitForEvents(kOutputComplete, 2));

  ecr_.WorkOnNext(1500);
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Slow", 100));
  const long slow = c_.Get("OutputID");
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Cleared1", 100));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Cleared2", 100));
  ASSERT_TRUE(ecr_.WaitFor(printed("Slow"), 10000));  // executed, answer still to come
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("ClearOutput"));
  ASSERT_EQ(OPOS_SUCCESS, Item(L"After", 100));
  const long after = c_.Get("OutputID");
  ASSERT_TRUE(
      kcli::ControlClient::PumpUntil([&] { return c_.Get("State") == OPOS_S_IDLE; }, 10000));
  kcli::ControlClient::Pump();
  std::vector<long> completed;
  for (const kcli::EventRecord& e : c_.Events()) {
    if (e.dispid == kOutputComplete) completed.push_back(e.values[0]);
  }
  EXPECT_EQ(4u, completed.size());
  EXPECT_EQ(slow, completed[2]);
  EXPECT_EQ(after, completed.back());
  EXPECT_EQ(0u, c_.Count(kErrorEvent));
  const std::string paper = printer_->Paper();
  EXPECT_EQ(std::string::npos, paper.find("Cleared"));
  EXPECT_EQ(1u, Occurrences(paper, "After"));
  for (DWORD t : eventThreads) EXPECT_EQ(appThread, t);
  ASSERT_EQ(S_OK, c_.Set("AsyncMode", 0));
  EXPECT_EQ(OPOS_SUCCESS, Total(630, 630, L"CASH")) << Text("ErrorString");
}

// A device is claimed by one control at a time; a second one waits for it
// as long as its time-out allows, pumping the application's messages and
// keeping its WM_QUIT for it.
TEST_P(RoadTest, ClaimIsExclusiveAndWaitsItsTimeOut) {
  OpenDevice();
  kcli::ControlClient other;
  ASSERT_EQ(S_OK, other.Create(L"Kerunel.ocx"));
  Args open, claim, release, again;
  ASSERT_EQ(OPOS_SUCCESS, other.Call("Open", open.Text(kDevice)));
  PostQuitMessage(7);
  PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);  // wakes the claim's wait
  const DWORD start = GetTickCount();
  EXPECT_EQ(OPOS_E_TIMEOUT, other.Call("Claim", claim.Long(300)));
  const DWORD waited = GetTickCount() - start;
  EXPECT_GE(waited, 250u);
  EXPECT_LT(waited, 3000u);
  MSG quit{};
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(7u, quit.wParam);
  EXPECT_EQ(0, other.Get("Claimed"));
  ASSERT_EQ(OPOS_SUCCESS, c_.Call("Release_", release));
  EXPECT_EQ(OPOS_SUCCESS, other.Call("Claim", again.Long(0)));
  EXPECT_EQ(1, other.Get("Claimed"));
  other.Call("Close");
}

// Events are held while FreezeEvents is set and delivered, in order, when
// it is cleared.
TEST_P(RoadTest, FrozenEventsAreHeldAndDeliveredOnRelease) {
  OpenDevice();
  ASSERT_EQ(S_OK, c_.Set("AsyncMode", 1));
  ASSERT_EQ(S_OK, c_.Set("FreezeEvents", 1));
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Bread", 250));
  auto idle = [this] { return c_.Get("State") == OPOS_S_IDLE; };
  ASSERT_TRUE(kcli::ControlClient::PumpUntil(idle, 5000));
  printer_->SetReceiptNearEnd(true);
  ASSERT_EQ(OPOS_SUCCESS, Item(L"Milk", 110));
  // All three commands reach the printer, yet nothing is delivered.
  ASSERT_TRUE(kcli::ControlClient::PumpUntil([&] { return c_.Get("State") == OPOS_S_IDLE; }, 5000));
  kcli::ControlClient::PumpUntil([] { return false; }, 200);
  EXPECT_TRUE(c_.Events().empty());

  ASSERT_EQ(S_OK, c_.Set("FreezeEvents", 0));
  std::vector<std::string> seen;
  for (const kcli::EventRecord& e : c_.Events()) seen.push_back(e.Describe());
  EXPECT_EQ((std::vector<std::string>{"OutputCompleteEvent 1", "OutputCompleteEvent 2",
                                      "StatusUpdateEvent 12", "OutputCompleteEvent 3"}),
            seen);
}

// Everything beyond the plain receipt: presettings, the data requests,
// training mode, non-fiscal printing, the reports, the duplicate and the raw
// pass-through, each step with its result, what reached the paper and what
// it answered.
TEST_P(RoadTest, PresettingsReportsTrainingAndDataRequests) {
  OpenDevice();
  long rate = 0, data = 0;
  BSTR text = nullptr;
  auto freeText = kr::MakeScopeGuard([&text] { SysFreeString(text); });
  auto answer = [&text] { return text ? std::string(text, text + SysStringLen(text)) : ""; };
  struct Step {
    const char* what;
    std::function<long()> call;
    long code;
    const char* printed;          // a line the step puts on the paper ("" for none)
    std::function<void()> check;  // what it answered
  };
  const Step steps[] = {
      {"date",
       [&] {
         Args a;
         return c_.Call("SetDate", a.Text(L"010620301015"));
       },
       0,
       "",
       {}},
      {"date back",
       [&] {
         Args a;
         return c_.Call("GetDate", a.TextRef(&text));
       },
       0, "", [&] { EXPECT_EQ("0106203010", answer().substr(0, 10)); }},
      {"header line",
       [&] {
         Args a;
         return c_.Call("SetHeaderLine", a.Long(4).Text(L"Open 7-19").Bool(false));
       },
       0,
       "",
       {}},
      {"header line 7",
       [&] {
         Args a;
         return c_.Call("SetHeaderLine", a.Long(7).Text(L"x").Bool(false));
       },
       OPOS_E_ILLEGAL,
       "",
       {}},
      {"POS id",
       [&] {
         Args a;
         return c_.Call("SetPOSID", a.Text(L"7").Text(L"Ann"));
       },
       0,
       "",
       {}},
      {"VAT value",
       [&] {
         Args a;
         return c_.Call("SetVatValue", a.Long(2).Text(L"12.5"));
       },
       0,
       "",
       {}},
      {"VAT value out of range",
       [&] {
         Args a;
         return c_.Call("SetVatValue", a.Long(5).Text(L"10"));
       },
       OPOS_E_EXTENDED,
       "",
       {}},
      {"VAT table", [&] { return c_.Call("SetVatTable"); }, 0, "", {}},
      {"VAT entry",
       [&] {
         Args a;
         return c_.Call("GetVatEntry", a.Long(2).Long(0).LongRef(&rate));
       },
       0, "", [&] { EXPECT_EQ(1250, rate); }},
      {"training", [&] { return c_.Call("BeginTraining"); }, 0, "TRAINING MODE ON", {}},
      {"training receipt",
       [&] {
         long r = Begin();
         if (r == 0) r = Item(L"Sample", 990);
         if (r == 0) r = Total(990, 990, L"CASH");
         return r == 0 ? End() : r;
       },
       0, "TRAINING - NOT A FISCAL RECEIPT", [&] { EXPECT_EQ(1, c_.Get("TrainingModeActive")); }},
      {"training ends", [&] { return c_.Call("EndTraining"); }, 0, "TRAINING MODE OFF", {}},
      {"non-fiscal", [&] { return c_.Call("BeginNonFiscal"); }, 0, "NON-FISCAL DOCUMENT",
       [&] { EXPECT_EQ(kPrinterNonFiscal, c_.Get("PrinterState")); }},
      {"non-fiscal line",
       [&] {
         Args a;
         return c_.Call("PrintNormal", a.Long(FPTR_S_RECEIPT).Text(L"Loyalty card: 120 points"));
       },
       0,
       "Loyalty card: 120 points",
       {}},
      {"non-fiscal ends", [&] { return c_.Call("EndNonFiscal"); }, 0, "", {}},
      {"a sale",
       [&] {
         SellOne(L"Soap", 450);
         return c_.Get("ResultCode");
       },
       0, "POS 7    CASHIER Ann",
       [&] { EXPECT_EQ("1", Data(3)); }},  // the training receipt took no number
      {"duplicate not asked for",
       [&] { return c_.Call("PrintDuplicateReceipt"); },
       OPOS_E_ILLEGAL,
       "",
       {}},
      {"duplicate",
       [&] {
         c_.Set("DuplicateReceipt", 1);
         return c_.Call("PrintDuplicateReceipt");
       },
       0,
       "*** DUPLICATE - NOT FISCAL ***",
       {}},
      {"totalizer",
       [&] {
         Args a;
         return c_.Call("GetTotalizer", a.Long(0).Long(FPTR_GT_GROSS).TextRef(&text));
       },
       0, "", [&] { EXPECT_EQ("4.50", answer()); }},
      {"X report", [&] { return c_.Call("PrintXReport"); }, 0, "X   R E P O R T", {}},
      {"Z report", [&] { return c_.Call("PrintZReport"); }, 0, "Z   R E P O R T   1", {}},
      {"by Z number",
       [&] {
         Args a;
         return c_.Call("PrintReport", a.Long(FPTR_RT_ORDINAL).Text(L"1").Text(L"1"));
       },
       0,
       "F I S C A L   M E M O R Y",
       {}},
      {"periodic totals",
       [&] {
         Args a;
         return c_.Call("PrintPeriodicTotalsReport", a.Text(L"01062030").Text(L"30062030"));
       },
       0,
       "P E R I O D I C   T O T A L S",
       {}},
      {"power loss", [&] { return c_.Call("PrintPowerLossReport"); }, 0, "P O W E R   L O S S", {}},
      {"raw status",
       [&] {
         Args a;
         SysFreeString(text);
         text = SysAllocString(L"Q");
         return c_.Call("DirectIO", a.Long(1).LongRef(&data).TextRef(&text));
       },
       0, "",
       [&] {
         EXPECT_EQ("Q0|0|0|1|", answer().substr(0, 9));  // idle, no receipt since Z 1
         EXPECT_EQ(0, data);
       }},
  };
  for (const Step& step : steps) {
    const size_t before = printer_->PaperSize();
    EXPECT_EQ(step.code, step.call()) << step.what << ": " << Text("ErrorString");
    if (*step.printed) {
      EXPECT_NE(std::string::npos, printer_->PaperSince(before).find(step.printed)) << step.what;
    }
    if (step.check) step.check();
  }
  EXPECT_NE(std::string::npos, printer_->Paper().find("Open 7-19"));
}

// A faulty printer's answers never become results: a call that reads one
// fails with OPOS_E_FAILURE, the Service Object's code for an answer that
// is not valid, and an ErrorString naming the field, and leaves the
// caller's variables as they were. A printing command the printer carried
// out stands, with the receipt read back from the printer; an answer sent
// twice is never taken for the next command's.
TEST_P(RoadTest, FaultyAnswersNeverBecomeResults) {
  OpenDevice();
  constexpr long kUntouched = -12345;
  long rate = kUntouched;
  BSTR text = nullptr;
  auto freeText = kr::MakeScopeGuard([&text] { SysFreeString(text); });
  auto vatEntry = [&] {
    Args a;
    return c_.Call("GetVatEntry", a.Long(1).Long(0).LongRef(&rate));
  };
  auto data = [&](long item) {
    return [&, item] {
      long opt = 0;
      Args a;
      return c_.Call("GetData", a.Long(item).LongRef(&opt).TextRef(&text));
    };
  };
  auto date = [&] {
    Args a;
    return c_.Call("GetDate", a.TextRef(&text));
  };
  auto totalizer = [&] {
    Args a;
    return c_.Call("GetTotalizer", a.Long(0).Long(FPTR_GT_GROSS).TextRef(&text));
  };
  auto health = [&] {
    Args a;
    return c_.Call("CheckHealth", a.Long(OPOS_CH_EXTERNAL));
  };
  using S = ecrsim::Spoil;
  struct Case {
    const char* what;
    uint8_t code;
    S spoil;
    std::function<long()> call;
    const char* said;  // in ErrorString
    long result = OPOS_E_FAILURE;
  };
  // The hex line holds no frame of more than a message: the driver drops it,
  // and the call ends as one that got no answer.
  const long oversized =
      GetParam().wire == ecrsim::Wire::kHexLine ? OPOS_E_TIMEOUT : OPOS_E_FAILURE;
  const Case cases[] = {
      {"a VAT rate of 15 digits", 'w', {S::kField, 1, "123456789012345"}, vatEntry, "out of range"},
      {"a negative VAT rate", 'w', {S::kField, 1, "-1"}, vatEntry, "out of range"},
      {"a date that is none", 'c', {S::kField, 1, "x9"}, date, "not a date"},
      {"the 31st of February", 'c', {S::kField, 1, "310220301015"}, date, "not a date"},
      {"a text with a NUL",
       'g',
       {S::kField, 1,
        std::string("KR\0"
                    "1",
                    4)},
       data(9),
       "\\x00"},
      {"a negative Z number", 'g', {S::kField, 1, "-1"}, data(7), "out of range"},
      {"an amount with a point", 'u', {S::kField, 1, "4.50"}, totalizer, "not a total"},
      {"status flags that are none", 'g', {S::kField, 0, "abc"}, data(2), "status flags"},
      {"a document state of -1", 's', {S::kField, 3, "-1"}, health, "document state"},
      {"free fiscal memory of 15 digits", 's', {S::kField, 9, "123456789012345"}, health, "count"},
      {"an answer longer than a message",
       'g',
       {S::kOversized, 0, "", 200},
       data(2),
       "longer than a message",
       oversized},
  };
  const long memory = c_.Get("RemainingFiscalMemory");
  for (const Case& c : cases) {
    ecr_.SpoilAnswers(c.code, c.spoil);
    const long result = c.call();
    ecr_.SpoilAnswers(c.code, {});
    EXPECT_EQ(c.result, result) << c.what;
    if (c.result == OPOS_E_FAILURE) {
      EXPECT_EQ(KSO_EXTENDED_BAD_ANSWER, c_.Get("ResultCodeExtended")) << c.what;
      EXPECT_NE(std::string::npos, Text("ErrorString").find(c.said))
          << c.what << ": " << Text("ErrorString");
    }
    EXPECT_EQ(kUntouched, rate) << c.what;
    EXPECT_EQ(nullptr, text) << c.what;
  }
  EXPECT_EQ(memory, c_.Get("RemainingFiscalMemory"));

  // Each answer sent twice: every call still gets its own.
  SellOne(L"Bread", 250);
  ecr_.SpoilAnswers('g', {S::kTwice});
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ("2.50", Data(2));
    EXPECT_EQ("1", Data(3));
  }
  ecr_.SpoilAnswers('g', {});

  // An item whose answer carries a subtotal out of range was printed all
  // the same: it succeeds, and the receipt goes on from the printer's figures.
  ASSERT_EQ(OPOS_SUCCESS, Begin());
  ecr_.SpoilAnswers('A', {S::kField, 1, "123456789012345"});
  EXPECT_EQ(OPOS_SUCCESS, Item(L"Milk", 110)) << Text("ErrorString");
  ecr_.SpoilAnswers('A', {});
  EXPECT_EQ("1.10", Data(1));
  EXPECT_EQ(OPOS_SUCCESS, Total(110, 110, L"CASH")) << Text("ErrorString");
  EXPECT_EQ(OPOS_SUCCESS, End());
  EXPECT_EQ(360, printer_->GrandTotal());
}

INSTANTIATE_TEST_SUITE_P(Drivers, RoadTest, ::testing::ValuesIn(kr_test::kRoads),
                         kr_test::RoadName());

}  // namespace
