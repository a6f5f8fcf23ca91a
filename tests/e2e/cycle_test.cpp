// A till that opens the printer per sale, for thousands of sales: the real
// drivers loaded, opened, closed and unloaded over and over, through the
// control and the reference Service Object and straight through their
// exports. A fault in any thread ends the program (crash_guard.cpp), so
// the run fails on the first one.
//
// KR_CYCLES sets the number of cycles per test (default below, about a
// minute for the whole program); run it with more, and with the machine
// loaded, to look for rarer faults.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "control_client.h"
#include "ecrsim.h"
#include "link_api.h"
#include "opos.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"

namespace {

using kcli::Args;
using namespace opos;

constexpr wchar_t kDevice[] = L"CycleFP";
constexpr int kDefaultCycles = 250;

int Cycles() {
  const char* text = std::getenv("KR_CYCLES");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : kDefaultCycles;
}

struct Road {
  const char* driver;
  ecrsim::Wire wire;
};

std::string PrintName(const ::testing::TestParamInfo<Road>& info) {
  return info.param.driver;
}

void PrintTo(const Road& road, std::ostream* out) {
  *out << road.driver;
}

std::wstring Wide(const std::string& s) {
  return std::wstring(s.begin(), s.end());
}

class CycleTest : public ::testing::TestWithParam<Road> {
 protected:
  CycleTest() : ecr_(GetParam().wire), printer_(std::make_shared<ecrsim::VirtualPrinter>()) {}

  void SetUp() override {
    ecr_.AttachPrinter(printer_);
    ASSERT_NE(0, ecr_.Start());
    file_ = Wide(GetParam().driver) + L".dll";
  }

  // The driver's exports this test uses, from a module it loaded.
  struct Exports {
    linkdrv::OpenProtFn OpenProt;
    linkdrv::CloseProtFn CloseProt;
    linkdrv::EcrIOFn EcrIO;
  };
  static Exports Find(HMODULE m) {
    auto find = [m](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m, name)); };
    return {reinterpret_cast<linkdrv::OpenProtFn>(find("OpenProt")),
            reinterpret_cast<linkdrv::CloseProtFn>(find("CloseProt")),
            reinterpret_cast<linkdrv::EcrIOFn>(find("EcrIO"))};
  }

  // Waits (bounded) until the driver is no longer mapped in this process.
  bool WaitUnloaded() {
    return kcli::ControlClient::PumpUntil(
        [this] { return GetModuleHandleW(file_.c_str()) == nullptr; }, 5000);
  }

  ecrsim::Simulator ecr_;
  std::shared_ptr<ecrsim::VirtualPrinter> printer_;
  std::wstring file_;
};

// The driver alone, loaded and freed around each link, closed while its
// thread is busy reading the answer to a command.
TEST_P(CycleTest, LoadOpenCloseUnloadTheDriver) {
  const std::string settings = ecr_.InlineSettings("OnLine=1");
  const int cycles = Cycles();
  for (int i = 0; i < cycles; ++i) {
    kr::UniqueModule m(LoadLibraryW(file_.c_str()));
    ASSERT_TRUE(m) << "cycle " << i;
    Exports d = Find(m.get());
    ASSERT_TRUE(d.OpenProt(settings.c_str(), 0)) << "cycle " << i;
    int extra = 0;
    ASSERT_EQ(0, d.EcrIO(1, linkdrv::kEcrAnswerExpected, "Q", 1, nullptr, nullptr, &extra))
        << "cycle " << i;
    ASSERT_TRUE(d.CloseProt(0)) << "cycle " << i;
  }
  EXPECT_TRUE(WaitUnloaded());
}

// The application's cycle: Open, Claim, enable, disable, Release, Close.
TEST_P(CycleTest, OpenEnableCloseThroughTheServiceObject) {
  kr::ComInit com;
  ASSERT_TRUE(SUCCEEDED(com.result()));
  kr_test::ScopedOposConfig config;
  ASSERT_EQ(ERROR_SUCCESS, config.Device(kDevice, KSO_PROGID));
  {
    kr::UniqueModule so(LoadLibraryW(KSO_MODULE));
    ASSERT_TRUE(so);
    using RegisterFn = HRESULT(STDAPICALLTYPE*)();
    auto reg = reinterpret_cast<RegisterFn>(
        reinterpret_cast<void*>(GetProcAddress(so.get(), "DllRegisterServer")));
    ASSERT_TRUE(reg);
    ASSERT_EQ(S_OK, reg());
  }
  const std::wstring key = std::wstring(kr_test::kOposClassKey) + L"\\" + kDevice;
  auto set = [&key](const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  };
  ASSERT_EQ(ERROR_SUCCESS, set(L"LinkDriver", Wide(GetParam().driver)));
  ASSERT_EQ(ERROR_SUCCESS, set(L"Link", Wide(ecr_.InlineSettings("OnLine=1"))));

  kcli::ControlClient c;
  ASSERT_EQ(S_OK, c.Create(L"Kerunel.ocx"));
  const int cycles = Cycles();
  for (int i = 0; i < cycles; ++i) {
    Args open, claim, release;
    ASSERT_EQ(OPOS_SUCCESS, c.Call("Open", open.Text(kDevice))) << "cycle " << i;
    ASSERT_EQ(OPOS_SUCCESS, c.Call("Claim", claim.Long(1000))) << "cycle " << i;
    ASSERT_EQ(S_OK, c.Set("DeviceEnabled", 1)) << "cycle " << i;
    ASSERT_EQ(OPOS_SUCCESS, c.Get("ResultCode")) << "cycle " << i;
    ASSERT_EQ(S_OK, c.Set("DeviceEnabled", 0)) << "cycle " << i;
    ASSERT_EQ(OPOS_SUCCESS, c.Call("Release_", release)) << "cycle " << i;
    ASSERT_EQ(OPOS_SUCCESS, c.Call("Close")) << "cycle " << i;
  }
  EXPECT_EQ(cycles, ecr_.GetCounters().connections);
}

INSTANTIATE_TEST_SUITE_P(Drivers, CycleTest,
                         ::testing::Values(Road{"Sandoral", ecrsim::Wire::kHexLine},
                                           Road{"Mirevon", ecrsim::Wire::kHostPc}),
                         PrintName);

}  // namespace
