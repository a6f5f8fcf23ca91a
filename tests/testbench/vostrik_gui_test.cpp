// The test bench as a technician uses it: the real Vostrik.exe in the
// virtual display, against the registered control and the test Service
// Object as "ZV_FPrinter". Each step types into fields, clicks one button
// and checks what the window shows and what reached the Service Object.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "main_form.h"
#include "ole_control.h"
#include "vostrik_driver.h"

namespace {

using namespace vostrik::c;
using vt::Id;

using Fields = std::vector<std::pair<Id, std::wstring>>;
using Colours = std::vector<std::pair<Id, COLORREF>>;
constexpr COLORREF N = CLR_INVALID;  // the normal background of an edit
constexpr COLORREF kRed = vostrik::kRed;
constexpr COLORREF kWhite = vostrik::kWhite;
const wchar_t kOk[] = L"0  -OPOS_SUCCESS ";

struct Step {
  const char* what;
  const wchar_t* script;  // the Service Object's programme from now on; nullptr keeps it
  Fields type;            // typed before the click
  Id button;
  Fields texts = {};  // shown afterwards
  Colours colours = {};
  // A journal line the step must produce ("...*" matches a prefix); "" checks
  // nothing; nullptr: nothing may reach the Service Object.
  const char* call = "";
  const char* alsoLine = "";      // a second such line (a callback's outcome)
  const wchar_t* box = nullptr;   // the message box the step shows
  int tma = -1;                   // lbTMA visible (1) or hidden (0)
  const wchar_t* shot = nullptr;  // screenshot afterwards (<build>/screenshots/<shot>.png)
};

std::string Narrow(const std::wstring& w) {
  return std::string(w.begin(), w.end());
}

bool HasLine(const std::vector<std::string>& journal, const std::string& expected) {
  const bool prefix = !expected.empty() && expected.back() == '*';
  const std::string wanted = prefix ? expected.substr(0, expected.size() - 1) : expected;
  for (const std::string& line : journal) {
    if (prefix ? line.compare(0, wanted.size(), wanted) == 0 : line == wanted) return true;
  }
  return false;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}

class VostrikGui : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(setup_.ok()) << "control or Service Object not registered"; }

  void Run(const std::vector<Step>& steps) {
    kr_test::MessageBoxWatcher boxes(vostrik::kProgramName, 600000);
    for (const Step& step : steps) {
      SCOPED_TRACE(step.what);
      if (step.script) bench_.Program(step.script);
      for (const auto& [id, text] : step.type) bench_.Type(id, text);
      bench_.ClearJournal();
      const size_t boxesBefore = boxes.Count();
      ASSERT_TRUE(bench_.Click(step.button));

      for (const auto& [id, text] : step.texts) {
        EXPECT_EQ(Narrow(text), Narrow(bench_.Text(id))) << vostrik::FindComponent(id)->name;
      }
      for (const auto& [id, colour] : step.colours) {
        const COLORREF expected = colour == N ? vt::NormalBackground() : colour;
        EXPECT_EQ(expected, bench_.Background(id, expected)) << vostrik::FindComponent(id)->name;
      }
      const std::vector<std::string> journal = bench_.Journal();
      if (!step.call) {
        EXPECT_TRUE(journal.empty()) << "reached the Service Object:" << Joined(journal);
      } else if (*step.call) {
        EXPECT_TRUE(HasLine(journal, step.call)) << step.call << " not in" << Joined(journal);
      }
      if (*step.alsoLine) {
        EXPECT_TRUE(HasLine(journal, step.alsoLine))
            << step.alsoLine << " not in" << Joined(journal);
      }
      const std::vector<std::wstring> texts = boxes.Texts();
      if (step.box) {
        ASSERT_EQ(boxesBefore + 1, texts.size());
        EXPECT_EQ(Narrow(step.box), Narrow(texts.back()));
      } else {
        EXPECT_EQ(boxesBefore, texts.size()) << Narrow(texts.empty() ? L"" : texts.back());
      }
      if (step.tma >= 0) {
        EXPECT_EQ(step.tma == 1, bench_.Visible(lbTMA));
      }
      if (step.shot) {
        ::Sleep(500);  // let the window finish painting
        const std::wstring file = kr_test::TakeScreenshot(step.shot);
        EXPECT_FALSE(file.empty());
        std::printf("screenshot: %ls\n", file.c_str());
      }
    }
  }

  vt::BenchSetup setup_;
  vt::Vostrik bench_;
};

TEST_F(VostrikGui, StartsWithTheStoredLayout) {
  ASSERT_TRUE(bench_.Start());
  const HWND window = bench_.window();
  wchar_t caption[128] = L"";
  ::GetWindowTextW(window, caption, 128);
  EXPECT_STREQ(vostrik::kFormCaption, caption);
  RECT client{};
  ::GetClientRect(window, &client);
  EXPECT_EQ(vostrik::kFormClientWidth, client.right);
  EXPECT_EQ(vostrik::kFormClientHeight, client.bottom);

  std::vector<HWND> focusOrder;
  for (size_t i = 0; i < vostrik::kLayoutCount; ++i) {
    const vostrik::Component& k = vostrik::kLayout[i];
    SCOPED_TRACE(k.name);
    const HWND item = bench_.Item(k.id);
    ASSERT_TRUE(item);
    RECT r{};
    ::GetWindowRect(item, &r);
    ::MapWindowPoints(nullptr, ::GetParent(item), reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(k.left, r.left);
    EXPECT_EQ(k.top, r.top);
    if (k.width) {
      EXPECT_EQ(k.width, r.right - r.left);
    }
    EXPECT_EQ(k.height, r.bottom - r.top);
    EXPECT_EQ(Narrow(k.text), Narrow(bench_.Text(k.id)));
    // The control is invisible at run time: its place stays empty.
    EXPECT_EQ(k.kind != vostrik::Kind::kOleControl, bench_.Visible(k.id));
    if (k.kind == vostrik::Kind::kButton || k.kind == vostrik::Kind::kEdit) {
      focusOrder.push_back(item);
    }
  }
  // Tab goes through the buttons and fields in the layout's order and
  // skips the speed buttons.
  HWND focus = focusOrder.front();
  for (size_t i = 1; i < focusOrder.size(); ++i) {
    focus = ::GetNextDlgTabItem(window, focus, FALSE);
    EXPECT_EQ(focusOrder[i], focus) << "tab stop " << i;
  }
  EXPECT_EQ(focusOrder.front(), ::GetNextDlgTabItem(window, focus, FALSE));

  EXPECT_EQ(vt::NormalBackground(), bench_.Background(eResultCode, vt::NormalBackground()));
  EXPECT_EQ(vt::NormalBackground(), bench_.Background(eResultCodeExtended, vt::NormalBackground()));
  EXPECT_EQ(kRed, bench_.Background(lbTMA, kRed));
  const std::wstring file = kr_test::TakeScreenshot(L"vostrik_start");
  EXPECT_FALSE(file.empty());
  std::printf("screenshot: %ls\n", file.c_str());
}

TEST_F(VostrikGui, ShowsWhatTheControlAndItsServiceObjectSaid) {
  ASSERT_TRUE(bench_.Start());
  // clang-format off
  const std::vector<Step> steps = {
      {"Enable before Open", L"", {}, bEnable,
       {{eResultCode, L"101-OPOS_E_CLOSED"}, {eStatus, L"[Error][Error]"}},
       {{eResultCode, kRed}}, nullptr},
      {"Open", L"number\t16020\t1\n", {}, bOpen,
       {{eResultCode, kOk}, {eResultCodeExtended, L""}, {eStatus, L"Monitor"}},
       {{eResultCode, N}, {eResultCodeExtended, N}}, "call\tOpenService\t*", "", nullptr, 0,
       nullptr},
      {"Claim waits 1000 ms", nullptr, {}, bClaim, {{eResultCode, kOk}}, {},
       "call\tClaim\tI4:1000"},
      {"Enable", nullptr, {}, bEnable, {{eResultCode, kOk}, {eStatus, L"Monitor"}}, {},
       "call\tSetPropertyNumber\tI4:3\tI4:1"},
      {"Begin a receipt", L"number\t16020\t2\n", {{e1, L"1"}}, sbBeginFiscalReceipt,
       {{eStatus, L"FiscalReceipt"}}, {}, "call\tBeginFiscalReceipt\tBOOL:1"},
      {"A receipt line from the fields' start texts", nullptr,
       {{e1, L"0"}, {e2, L"0"}, {e3, L"0"}, {e4, L"0"}, {e5, L"0"}, {e6, L"0"}}, sbPrintRecItem,
       {{eResultCode, kOk}}, {},
       "call\tPrintRecItem\tBSTR:0\tCY:0\tI4:0\tI4:0\tCY:0\tBSTR:0"},
      {"Raw currency and truncated numbers", nullptr,
       {{e1, L"Pane"}, {e2, L"12345"}, {e3, L"2.9"}, {e4, L"-2.9"}, {e5, L"10000"}, {e6, L"kg"}},
       sbPrintRecItem, {{eResultCode, kOk}}, {},
       "call\tPrintRecItem\tBSTR:Pane\tCY:12345\tI4:2\tI4:-2\tCY:10000\tBSTR:kg"},
      {"Letters in a currency field stop the command", nullptr, {{e2, L"abc"}}, sbPrintRecItem,
       {{eResultCode, kOk}, {e2, L"abc"}}, {}, nullptr, "",
       L"'abc' is not a valid integer value"},
      {"A comma where the point is the separator", nullptr, {{e2, L"1"}, {e3, L"3,7"}},
       sbPrintRecItem, {}, {}, nullptr, "", L"'3,7' is not a valid floating point value"},
      {"Truncation works on the digits, then takes the low 32 bits", nullptr,
       {{e1, L"Pane"}, {e2, L"1"}, {e3, L"2147483647.99999999"}, {e4, L"2.9999999999999999"},
        {e5, L"0"}, {e6, L"-4294967297"}},
       sbPrintRecVoidItem, {{eResultCode, kOk}}, {},
       "call\tPrintRecVoidItem\tBSTR:Pane\tCY:1\tI4:2147483647\tI4:2\tCY:0\tI4:-1"},
      {"Exponents move the point", nullptr, {{e3, L"25e-1"}, {e4, L"-0.5"}, {e6, L"1E3"}},
       sbPrintRecVoidItem, {{eResultCode, kOk}}, {},
       "call\tPrintRecVoidItem\tBSTR:Pane\tCY:1\tI4:2\tI4:0\tCY:0\tI4:1000"},
      {"2^63 is out of range", nullptr, {{e3, L"9223372036854775808"}}, sbPrintRecVoidItem, {},
       {}, nullptr, "",
       L"'9223372036854775808' is out of range: the whole part must lie between "
       L"-9223372036854775808 and 9223372036854775807"},
      {"Total", L"number\t16020\t3\n", {{e1, L"100000"}, {e2, L"50000"}, {e3, L"Contanti"}},
       sbPrintRecTotal, {{eStatus, L"FiscalReceiptTotal"}}, {},
       "call\tPrintRecTotal\tCY:100000\tCY:50000\tBSTR:Contanti"},
      {"End the receipt", L"number\t16020\t1\n", {{e1, L"1"}}, sbEndFiscalReceipt,
       {{eResultCode, kOk}, {eStatus, L"Monitor"}}, {{eResultCode, N}},
       "call\tEndFiscalReceipt\tBOOL:1", "", nullptr, 0, L"vostrik_receipt"},
      {"114 with 207", L"result\tPrintRecMessage\t114\nnumber\t6\t114\nnumber\t7\t207\n"
       L"number\t16020\t1\n", {{e1, L"ciao"}}, sbPrintRecMessage,
       {{eResultCode, L"114-OPOS_E_EXTENDED"}, {eResultCodeExtended, L"207-OPOS_EFPTR_WRONG_STATE"},
        {eStatus, L"Monitor[Error]"}},
       {{eResultCode, kRed}, {eResultCodeExtended, kRed}}, "call\tPrintRecMessage\tBSTR:ciao"},
      {"Check shows the bare number and keeps the extended code",
       L"result\tCheckHealth\t0\nstring\t1000001\tTutto bene\n", {{eCHLevel, L"1"}}, cCheckHealth,
       {{eResultCode, L"0"}, {eResultCodeExtended, L"207-OPOS_EFPTR_WRONG_STATE"},
        {eCHText, L"Tutto bene"}},
       {{eResultCode, N}, {eResultCodeExtended, kRed}}, "call\tCheckHealth\tI4:1"},
      {"114 with 300", L"result\tPrintRecMessage\t114\nnumber\t6\t114\nnumber\t7\t300\n", {},
       sbPrintRecMessage,
       {{eResultCode, L"114-OPOS_E_EXTENDED"}, {eResultCodeExtended, L"300"},
        {eStatus, L"[Error] ?[Error]"}},
       {{eResultCodeExtended, kRed}}},
      {"Training mode shows TMA", L"number\t16020\t1\nnumber\t16029\t1\n", {}, sbBeginTraining,
       {{eResultCode, kOk}, {eResultCodeExtended, L""}, {eStatus, L"Monitor"}},
       {{eResultCode, N}, {eResultCodeExtended, N}}, "call\tBeginTraining", "", nullptr, 1},
      {"EndTraining leaves the state display", L"number\t16020\t1\n", {}, sbEndTraining,
       {{eStatus, L"Monitor"}}, {}, "call\tEndTraining", "", nullptr, 1},
      {"An error hides TMA even in training",
       L"result\tBeginNonFiscal\t106\nnumber\t6\t106\nnumber\t16020\t1\nnumber\t16029\t1\n", {},
       sbBeginNonFiscal, {{eResultCode, L"106-OPOS_E_ILLEGAL"}, {eStatus, L"Monitor[Error]"}},
       {{eResultCode, kRed}}, "call\tBeginNonFiscal", "", nullptr, 0},
      {"State 0", L"number\t16020\t0\n", {}, sbEndNonFiscal, {{eStatus, L"[Error] ?"}}},
      {"State 11", L"number\t16020\t11\n", {}, sbEndNonFiscal, {{eStatus, L"[Error]"}}},
      {"State -1", L"number\t16020\t-1\n", {}, sbEndNonFiscal, {{eStatus, L"[Error]"}}},
      {"A code outside the table shows as its number", L"result\tPrintXReport\t42\n", {},
       sbXReport, {{eResultCode, L"42"}, {eStatus, L"[Error]"}}, {{eResultCode, kRed}},
       "call\tPrintXReport"},
      {"DoubleWidth from \"0\" is set", L"", {{e1, L"2"}, {e2, L"Testata"}, {e3, L"0"}},
       sbSetHeaderLine, {{eResultCode, kOk}}, {},
       "call\tSetHeaderLine\tI4:2\tBSTR:Testata\tBOOL:1"},
      {"DoubleWidth from an empty field is not", nullptr, {{e3, L""}}, sbSetTrailerLine, {}, {},
       "call\tSetTrailerLine\tI4:2\tBSTR:Testata\tBOOL:0"},
      {"Data writes its answers back also on failure",
       L"result\tGetData\t106\noutnumber\tGetData\t77\nouttext\tGetData\tdati\nnumber\t6\t106\n",
       {{e1, L"5"}, {e2, L"9"}, {e3, L"x"}}, sbGetData,
       {{eResultCode, L"106-OPOS_E_ILLEGAL"}, {e1, L"5"}, {e2, L"77"}, {e3, L"dati"}}, {},
       "call\tGetData\tI4:5\tI4&:9\tBSTR&:"},
      {"VatE. without an answer shows 0", L"result\tGetVatEntry\t111\n",
       {{e1, L"1"}, {e2, L"0"}, {e3, L"x"}}, sbGetVatEntry,
       {{eResultCode, L"111-OPOS_E_FAILURE"}, {e3, L"0"}}, {}, "call\tGetVatEntry\tI4:1\tI4:0\tI4&:0"},
      {"Date", L"outtext\tGetDate\t010220241230\n", {}, sbGetDate, {{e1, L"010220241230"}}, {},
       "call\tGetDate\tBSTR&:"},
      {"A DirectIO event during Send",
       L"outnumber\tDirectIO\t4096\nouttext\tDirectIO\trisposta\n"
       L"callback\tDirectIO\tdirectio\t7\t0\t0\t55\tevento\n", {}, bSend,
       {{eResultCode, kOk}, {eDataAns, L"4096"}, {eStringAns, L"risposta"}, {epData, L"2048"},
        {eFlash, L"1"}, {eEvent, L"DirectIO"}, {eEvP1, L"7"}, {eEvP2, L"55"}, {eEvP3, L"evento"},
        {eEvP4, L""}},
       {{eFlash, kWhite}}, "call\tDirectIO\tI4:3\tI4&:2048\tBSTR&:StringToSend ",
       "callback\tdirectio\t0x00000000\t55\tevento"},
      {"The second DirectIO event", nullptr, {}, bSend, {{eFlash, L"2"}}, {{eFlash, kRed}}},
      {"The third DirectIO event", nullptr, {}, bSend, {{eFlash, L"3"}}, {{eFlash, kWhite}}},
      {"Send shows the answers also on failure",
       L"result\tDirectIO\t111\noutnumber\tDirectIO\t1\nouttext\tDirectIO\tko\n", {}, bSend,
       {{eResultCode, L"111-OPOS_E_FAILURE"}, {eDataAns, L"1"}, {eStringAns, L"ko"}}, {}},
      {"Letters in pData: nothing is called", L"", {{epData, L"abc"}}, bSend,
       {{eResultCode, L"111-OPOS_E_FAILURE"}, {eDataAns, L"1"}, {eStringAns, L"ko"}}, {},
       nullptr, "", L"'abc' is not a valid integer value"},
      {"An error event hands 12 back", L"callback\tPrintRecVoid\terror\t111\t0\t2\t12\t\n",
       {{epData, L"2048"}, {e1, L"annullo"}}, sbPrintRecVoid,
       {{eEvent, L"Error"}, {eEvP1, L"111"}, {eEvP2, L"0"}, {eEvP3, L"2"}, {eEvP4, L"12"}}, {},
       "call\tPrintRecVoid\tBSTR:annullo", "callback\terror\t0x00000000\t12\t"},
      {"Output complete clears the other data",
       L"callback\tPrintRecMessage\toutput\t5\t0\t0\t0\t\n", {}, sbPrintRecMessage,
       {{eEvent, L"OutputComplete"}, {eEvP1, L"5"}, {eEvP2, L""}, {eEvP3, L""}, {eEvP4, L""}}},
      {"Status update", L"callback\tPrintZReport\tstatus\t1001\t0\t0\t0\t\n", {}, sbZReport,
       {{eEvent, L"StatusUpdate"}, {eEvP1, L"1001"}, {eEvP2, L""}}, {}, "call\tPrintZReport"},
      {"Freeze Events leaves the state display", L"number\t16020\t5\n", {}, bFreezeEv,
       {{eResultCode, kOk}, {eStatus, L"[Error] ?"}}, {},
       "call\tSetPropertyNumber\tI4:4\tI4:1"},
      {"Set BC DECIMAL", nullptr, {}, bSetBC2, {{eResultCode, kOk}}, {},
       "call\tSetPropertyNumber\tI4:11\tI4:2"},
      {"P Doc.Line prints field 1 as a document line", L"number\t16020\t5\n", {{e1, L"riga"}},
       SpeedButton29, {{eResultCode, kOk}, {eStatus, L"FiscalDocument"}}, {},
       "call\tPrintFiscalDocumentLine\tBSTR:riga"},
      {"Disable", L"number\t16020\t1\n", {}, bDisable, {{eStatus, L"Monitor"}}, {},
       "call\tSetPropertyNumber\tI4:3\tI4:0"},
      {"Release", nullptr, {}, bRelease, {{eResultCode, kOk}}, {}, "call\tRelease"},
      {"Close", nullptr, {}, bClose, {{eResultCode, kOk}, {eStatus, L"[Error][Error]"}}, {},
       "call\tClose"},
  };
  // clang-format on
  Run(steps);
}

// Truncated numbers follow the user's decimal separator.
TEST_F(VostrikGui, ReadsTruncatedNumbersWithTheUsersDecimalSeparator) {
  kr::UniqueHKey key;
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\International", 0,
                                           KEY_READ | KEY_WRITE, key.put()));
  wchar_t saved[8] = L"";
  DWORD bytes = sizeof saved;
  const bool hadValue = ::RegQueryValueExW(key.get(), L"sDecimal", nullptr, nullptr,
                                           reinterpret_cast<BYTE*>(saved), &bytes) == ERROR_SUCCESS;
  auto restore = kr::MakeScopeGuard([&] {
    if (hadValue) {
      ::RegSetValueExW(key.get(), L"sDecimal", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved),
                       bytes);
    } else {
      ::RegDeleteValueW(key.get(), L"sDecimal");
    }
  });
  const wchar_t comma[] = L",";
  ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key.get(), L"sDecimal", 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(comma), sizeof comma));
  ASSERT_TRUE(bench_.Start());
  // clang-format off
  Run({
      {"Open", L"", {}, bOpen, {{eResultCode, kOk}}, {}},
      {"3,7 is 3", nullptr, {{e3, L"3,7"}, {e4, L"-0,5"}}, sbPrintRecItem, {{eResultCode, kOk}}, {},
       "call\tPrintRecItem\tBSTR:0\tCY:0\tI4:3\tI4:0\tCY:0\tBSTR:0"},
      {"2.9 is no number here", nullptr, {{e3, L"2.9"}}, sbPrintRecItem, {}, {}, nullptr, "",
       L"'2.9' is not a valid floating point value"},
  });
  // clang-format on
}

// "About" asks the control for its about box and changes nothing else.
TEST_F(VostrikGui, AboutShowsTheControlsAboutBox) {
  ASSERT_TRUE(bench_.Start());
  kr_test::MessageBoxWatcher about(L"About Control Object", 30000);
  ASSERT_TRUE(bench_.Click(bAbout));
  EXPECT_EQ(1u, about.Count());
  EXPECT_EQ("Last Result Code", Narrow(bench_.Text(eResultCode)));
  EXPECT_EQ("PrinterStatus", Narrow(bench_.Text(eStatus)));
}

TEST_F(VostrikGui, EndsWithAMessageWhenTheControlIsNotRegistered) {
  ASSERT_EQ(S_OK, setup_.UnregisterControl());
  kr_test::MessageBoxWatcher boxes(vostrik::kProgramName, 60000);
  EXPECT_FALSE(bench_.Start());
  ASSERT_TRUE(bench_.WaitForExit(30000));
  EXPECT_EQ(1u, bench_.exitCode());
  const std::vector<std::wstring> texts = boxes.Texts();
  ASSERT_EQ(1u, texts.size());
  EXPECT_EQ(Narrow(vostrik::StatusText(REGDB_E_CLASSNOTREG)), Narrow(texts[0]));
}

}  // namespace
