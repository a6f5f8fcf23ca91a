// kerunel-cli.exe run as its own process on scripts, against the reference
// Service Object over Sandoral and the simulator's virtual printer in this
// process: its output and its exit status.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

#include "ecrsim.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"

namespace {

constexpr wchar_t kDevice[] = L"CliFP";

// A process started with its output on a pipe, ended when this goes.
struct Child {
  kr::UniqueHandle process, output;
  ~Child() {
    if (process) TerminateProcess(process.get(), 99);
  }
  // Reads its output until marker has appeared; false when it ends first.
  bool ReadUntil(const std::string& marker, std::string* text) {
    char buffer[512];
    DWORD n = 0;
    while (text->find(marker) == std::string::npos) {
      if (!ReadFile(output.get(), buffer, sizeof buffer, &n, nullptr) || n == 0) return false;
      text->append(buffer, n);
    }
    return true;
  }
};

bool Start(std::wstring commandLine, Child* child) {
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &sa, 0)) return false;
  child->output.reset(readEnd);
  kr::UniqueHandle writer(writeEnd);  // ours: the pipe ends when the child's copy closes
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = writeEnd;
  si.hStdError = writeEnd;
  si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    return false;
  }
  child->process.reset(pi.hProcess);
  CloseHandle(pi.hThread);
  return true;
}

// Runs the command line, collecting its output; returns its exit status, or
// -1 when it could not start or did not end within timeoutMs.
int RunProcess(std::wstring commandLine, std::string* output, DWORD timeoutMs) {
  Child child;
  if (!Start(std::move(commandLine), &child)) return -1;
  char buffer[4096];
  DWORD n = 0;
  while (ReadFile(child.output.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
    output->append(buffer, n);
  }
  if (WaitForSingleObject(child.process.get(), timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(child.process.get(), &code);
  child.process.reset();
  return static_cast<int>(code);
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override { Configure("OnLine=1"); }

  // The device over Sandoral to the simulator, with these extra inline settings.
  void Configure(const std::string& extraSettings) {
    ASSERT_EQ(S_OK, kr_test::RegisterServer(KSO_MODULE));
    ecr_.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
    ASSERT_NE(0, ecr_.Start());
    ASSERT_EQ(ERROR_SUCCESS,
              config_.Device(kDevice, KSO_PROGID,
                             {{L"Link", kr_test::Wide(ecr_.InlineSettings(extraSettings))}}));
  }

  // The kerunel-cli command line for the script.
  static std::wstring ScriptCommand(const std::string& script, const wchar_t* name) {
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    const std::wstring path = std::wstring(dir) + name;
    std::ofstream(path.c_str()) << script;
    return L"kerunel-cli.exe --module Kerunel.ocx \"" + path + L"\"";
  }

  // Runs the script through kerunel-cli; returns its exit status.
  int RunScript(const std::string& script, std::string* output) {
    return RunProcess(ScriptCommand(script, L"kerunel_cli_test.kcli"), output, 60000);
  }

  ecrsim::Simulator ecr_{ecrsim::Wire::kHexLine};
  kr_test::ScopedOposConfig config_;
};

TEST_F(CliTest, ScriptsRunWithTheirResultsEventsAndExitStatus) {
  const std::string open = "Open CliFP\nClaim 1000\nset PowerNotify 1\nset DeviceEnabled 1\n";
  struct Case {
    const char* what;
    std::string script;
    int status;
    std::vector<std::string> shown;  // in this order
    std::string notShown;
  };
  const Case cases[] = {
      {"a receipt",
       open + "BeginFiscalReceipt 1  # header\n"
              "PrintRecItem \"Bread roll\" 2.50 0 1 0 \"\"\n"
              "PrintRecTotal 2.50 5 \"CASH\"\nget PrinterState\nEndFiscalReceipt 0\n"
              "GetData 2 0 \"\"\nClose\n",
       0,
       {"  event StatusUpdateEvent 2001", "> PrintRecItem \"Bread roll\" 2.50 0 1 0 \"\"",
        "  0 OPOS_SUCCESS", "  PrinterState = 4 FiscalReceiptEnding", "  Data = \"2.50\"",
        "> Close"},
       "UNEXPECTED"},
      {"an unexpected refusal stops the run",
       open + "PrintRecItem \"Tea\" 1 0 1 0 \"\"\nClose\n",
       1,
       {"  114 OPOS_E_EXTENDED, extended 207 OPOS_EFPTR_WRONG_STATE", "UNEXPECTED"},
       "> Close"},
      {"an expected refusal goes on",
       open + "PrintRecItem Tea 1 0 1 0 \"\" => OPOS_E_EXTENDED/207\nPrintZReport\nClose\n",
       0,
       {"extended 207", "> PrintZReport", "  0 OPOS_SUCCESS", "> Close"},
       "UNEXPECTED"},
      {"numbers are decimal",
       open + "BeginFiscalReceipt 1\nPrintRecItem Tea 0 0500 1 2.00 \"\"\nGetData 1 0 \"\"\n"
              "PrintRecVoid \"\"\nEndFiscalReceipt 0\nClose\n",
       0,
       {"  Data = \"1.00\""},  // half a piece at 2.00 (octal 0500 would be 0.64)
       "UNEXPECTED"},
      {"asynchronous output is waited for",
       open + "set AsyncMode 1\nBeginFiscalReceipt 1\nPrintRecItem Jam 3.10 0 2 0 \"\"\n"
              "wait OutputCompleteEvent\nwait OutputCompleteEvent\nwait idle\nClose\n",
       0,
       {"event OutputCompleteEvent 1", "event OutputCompleteEvent 2", "> wait idle"},
       "UNEXPECTED"},
      {"a script error", "Open CliFP\nPrintRecMessage \"unclosed\n", 2, {}, "> PrintRecMessage"},
      {"a wrong argument count",
       "Open CliFP\nClaim\nClose\n",
       2,
       {"line 2: Claim takes 1 argument", "nothing was run"},
       "> Open"},
      {"a bad script runs nothing, each bad line named",
       "Open CliFP\nClaim 1000\nPrintRecItemm x\nPrintRecItem Tea 1234567890123456 0 1 0 \"\"\n"
       "set PowerNotify 0x1\nwait Nothing\nGetData 2 0 \"\" => 999/x\nPrintRecTotal 1 1 x y\n",
       2,
       {"line 3: 'PrintRecItemm' is not a method",
        "line 4: Price: '1234567890123456' is out of range",
        "line 5: PowerNotify: '0x1' is not a decimal whole number",
        "line 6: unknown event 'Nothing'", "line 7: unknown expected result '999/x'",
        "line 8: PrintRecTotal takes 3 arguments", "nothing was run"},
       "> Open"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(c.status, RunScript(c.script, &out)) << c.what << "\n" << out;
    size_t at = 0;
    for (const std::string& line : c.shown) {
      size_t found = out.find(line, at);
      EXPECT_NE(std::string::npos, found) << c.what << ": " << line << "\n" << out;
      if (found != std::string::npos) at = found + line.size();
    }
    if (!c.notShown.empty()) {
      EXPECT_EQ(std::string::npos, out.find(c.notShown)) << c.what << "\n" << out;
    }
  }
}

TEST_F(CliTest, HelpGoesToStandardOutputWithSuccess) {
  std::string out;
  EXPECT_EQ(0, RunProcess(L"kerunel-cli.exe --help", &out, 30000)) << out;
  EXPECT_NE(std::string::npos, out.find("Exit status: 0 every step as expected")) << out;
  out.clear();
  EXPECT_EQ(2, RunProcess(L"kerunel-cli.exe --bogus", &out, 30000)) << out;
}

// The Service Object's side in the device's protocol log: every call and
// its result, each command and its answer, between the driver's own lines
// while the link is open and in the same file before and after.
TEST_F(CliTest, TheServiceObjectLogsItsCallsCommandsAndResults) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  const std::wstring log = std::wstring(dir) + L"kerunel_so_log_test.log";
  DeleteFileW(log.c_str());
  Configure("OnLine=1,LogLevel=2,LogFileName='" + std::string(log.begin(), log.end()) + "'");
  std::string out;
  ASSERT_EQ(0, RunScript("Open CliFP\nClaim 1000\nset DeviceEnabled 1\n"
                         "PrintRecItem Tea 1 0 1 0 \"\" => OPOS_E_EXTENDED/207\n"
                         "PrintXReport\nClose\n",
                         &out))
      << out;
  std::ifstream file(log.c_str());
  const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const char* expected[] = {
      "3:01 SOURCE LINE = 'CALL OpenService(\"Kerunel\", \"CliFP\", control)'",
      "SOURCE LINE = 'RETURN OpenService = 0'",
      "SOURCE LINE = 'CALL Claim(1000)'",
      "SOURCE LINE = 'SET DeviceEnabled = 1'",
      "LOG OPEN",
      "SOURCE LINE = 'RETURN SET DeviceEnabled = 0'",
      "SOURCE LINE = 'CALL PrintRecItem(\"Tea\", 1.0000, 0, 1, 0.0000, \"\")'",
      "SOURCE LINE = 'RETURN PrintRecItem = 114/207'",
      "SOURCE LINE = 'CALL PrintXReport()'",
      "SOURCE LINE = 'SEND x#",
      " ECR I/O START",
      "SOURCE LINE = 'ANSWER x#",
      "SOURCE LINE = 'RETURN PrintXReport = 0'",
      "LOG CLOSE",
      "SOURCE LINE = 'RETURN Close = 0'",
  };
  size_t at = 0;
  for (const char* line : expected) {
    const size_t found = text.find(line, at);
    ASSERT_NE(std::string::npos, found) << line << " after position " << at << "\n" << text;
    at = found;
  }
  EXPECT_EQ(std::string::npos, text.find("GetPropertyNumber")) << "property reads are not logged";
  file.close();
  DeleteFileW(log.c_str());
}

// kerunel-cli device in both registry views: each step's exit status and
// words, the values as the registry then holds them in that view (and not
// in the other); then a device tested end to end, working and not.
TEST_F(CliTest, DeviceCommandRoundTripInBothViews) {
  const std::string key = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\RoundTrip";
  auto value = [&key](REGSAM view, const char* name) {
    kr::UniqueHKey k;
    char data[256] = {};
    DWORD size = sizeof data;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ | view, k.put()) !=
            ERROR_SUCCESS ||
        RegGetValueA(k.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, data, &size) !=
            ERROR_SUCCESS) {
      return std::string("(absent)");
    }
    return std::string(data);
  };
  struct Step {
    std::string args;
    int status;
    std::string shown;
    const char* value;  // then holds expected, in this view only
    std::string expected;
  };
  for (const char* view : {"64", "32"}) {
    const REGSAM own = std::string(view) == "64" ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
    const REGSAM other = own == KEY_WOW64_64KEY ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const std::string arch = own == KEY_WOW64_64KEY ? "x64" : "x86";
    const std::string v = std::string(" --view ") + view;
    const Step steps[] = {
        {"add RoundTrip ECRIP=10.0.0.5 LogLevel=2" + v, 0, "RoundTrip added", "LogFileName",
         "C:\\ProgramData\\Kerunel\\RoundTrip-" + arch + ".log"},
        {"add RoundTrip ECRIP=10.0.0.6" + v, 1, "exists", "ECRIP", "10.0.0.5"},
        {"add RoundTrip ECRIP=10.0.0.6 --keep" + v, 0, "kept as it is", "ECRIP", "10.0.0.5"},
        {"set RoundTrip ECRPortNumber=70000" + v, 2, "not a port", "ECRPortNumber", "(absent)"},
        {"set RoundTrip OnLine=YES" + v, 2, "longer than the driver reads", "OnLine", "(absent)"},
        {"set RoundTrip Link=@ECRIP=10.0.0.1" + v, 2, "unquoted value", "Link", "(absent)"},
        {"set RoundTrip ECRPort=9100" + v, 2, "not a device value", "ECRIP", "10.0.0.5"},
        {"set RoundTrip ECRPortNumber=9100 LogLevel=" + v, 0, "changed", "LogLevel", "(absent)"},
        {"show RoundTrip" + v, 0, "link: 10.0.0.5 port 9100, OnLine 1, StatusCheck 0, log off",
         "ECRPortNumber", "9100"},
        {"list" + v, 0, "RoundTrip  Kerunel.FiscalService.1  Sandoral  10.0.0.5:9100", nullptr, ""},
        {"remove RoundTrip" + v, 0, "RoundTrip removed", "ECRIP", "(absent)"},
        {"show RoundTrip" + v, 1, "no device RoundTrip", nullptr, ""},
    };
    for (const Step& step : steps) {
      std::string out;
      const std::wstring command(step.args.begin(), step.args.end());
      EXPECT_EQ(step.status, RunProcess(L"kerunel-cli.exe device " + command, &out, 30000))
          << step.args << "\n"
          << out;
      EXPECT_NE(std::string::npos, out.find(step.shown)) << step.args << "\n" << out;
      if (step.value) {
        EXPECT_EQ(step.expected, value(own, step.value)) << step.args;
        EXPECT_EQ("(absent)", value(other, step.value)) << step.args << ": the other view";
      }
    }
  }

  const std::pair<const char*, const char*> tests[] = {
      {"CliFP", "CliFP: OK, the printer answers"},
      {"NoSuchDevice", "NoSuchDevice: NOT WORKING at Open: no such device"},
  };
  for (const auto& [device, verdict] : tests) {
    std::string out;
    const std::string name(device);
    const int status =
        RunProcess(L"kerunel-cli.exe device test " + std::wstring(name.begin(), name.end()) +
                       L" --module Kerunel.ocx",
                   &out, 60000);
    EXPECT_EQ(name == "CliFP" ? 0 : 1, status) << out;
    EXPECT_NE(std::string::npos, out.find(verdict)) << out;
  }
}

// A device claimed by one process is refused to another; when the holder
// dies without releasing it, the next one waiting takes it over.
TEST_F(CliTest, AClaimWhoseHolderDiesIsTakenOver) {
  Child holder;
  ASSERT_TRUE(Start(ScriptCommand("Open CliFP\nClaim 1000\nsleep 60000\n", L"kerunel_holder.kcli"),
                    &holder));
  std::string held;
  ASSERT_TRUE(holder.ReadUntil("> sleep", &held)) << held;
  std::string out;
  EXPECT_EQ(0, RunScript("Open CliFP\nClaim 300 => OPOS_E_TIMEOUT\nClose\n", &out)) << out;
  TerminateProcess(holder.process.get(), 1);
  WaitForSingleObject(holder.process.get(), 10000);
  holder.process.reset();
  out.clear();
  EXPECT_EQ(0, RunScript("Open CliFP\nClaim -1\nget Claimed\nClose\n", &out)) << out;
}

}  // namespace
