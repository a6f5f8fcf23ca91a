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

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "control_client.h"
#include "ecrsim.h"
#include "link_api.h"
#include "opos.h"
#include "roads.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"

namespace {

using kcli::Args;
using namespace opos;

constexpr wchar_t kDevice[] = L"CycleFP";
constexpr int kDefaultCycles = 200;
constexpr int kGrowthCycles = 100;
// What a hundred cycles may add to the heap: caches that fill once (a load
// of a module that kept its C++ runtime's pool would add 73 KB each time).
constexpr long long kHeapTolerance = 32 * 1024;

int Cycles() {
  const char* text = std::getenv("KR_CYCLES");
  const int n = text ? std::atoi(text) : 0;
  return n > 0 ? n : kDefaultCycles;
}

class CycleTest : public ::testing::TestWithParam<kr_test::Road> {
 protected:
  CycleTest() : ecr_(GetParam().wire), printer_(std::make_shared<ecrsim::VirtualPrinter>()) {}

  void SetUp() override {
    ecr_.AttachPrinter(printer_);
    ASSERT_NE(0, ecr_.Start());
    file_ = kr_test::Wide(GetParam().driver) + L".dll";
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

  // Registers the reference Service Object and makes kDevice use it over
  // this driver, to the simulator.
  void ConfigureDevice(kr_test::ScopedOposConfig& config) {
    ASSERT_EQ(S_OK, kr_test::RegisterServer(KSO_MODULE));
    ASSERT_EQ(ERROR_SUCCESS,
              config.Device(kDevice, KSO_PROGID,
                            {{L"LinkDriver", kr_test::Wide(GetParam().driver)},
                             {L"Link", kr_test::Wide(ecr_.InlineSettings("OnLine=1"))}}));
  }

  // One link of the driver alone: loaded, opened, a command sent whose
  // answer the thread is reading when the link is closed, freed. Returns ""
  // or the step that failed.
  std::string DriverCycle() {
    kr::UniqueModule m(LoadLibraryW(file_.c_str()));
    if (!m) return "LoadLibrary";
    Exports d = Find(m.get());
    if (!d.OpenProt(ecr_.InlineSettings("OnLine=1").c_str(), 0)) return "OpenProt";
    int extra = 0;
    if (d.EcrIO(1, linkdrv::kEcrAnswerExpected, "Q", 1, nullptr, nullptr, &extra) != 0) {
      return "EcrIO";
    }
    return d.CloseProt(0) ? "" : "CloseProt";
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
  const int cycles = Cycles();
  for (int i = 0; i < cycles; ++i) ASSERT_EQ("", DriverCycle()) << "cycle " << i;
  EXPECT_TRUE(WaitUnloaded());
}

// The application's cycle: Open, Claim, enable, disable, Release, Close.
TEST_P(CycleTest, OpenEnableCloseThroughTheServiceObject) {
  kr::ComInit com;
  kr_test::ScopedOposConfig config;
  ASSERT_NO_FATAL_FAILURE(ConfigureDevice(config));
  kcli::ControlClient c;
  ASSERT_EQ(S_OK, c.Create(L"Kerunel.ocx"));
  const int cycles = Cycles();
  for (int i = 0; i < cycles; ++i) {
    ASSERT_EQ("", kr_test::UseDevice(c.Control(), kDevice, true)) << "cycle " << i;
  }
  EXPECT_EQ(cycles, ecr_.GetCounters().connections);
}

// However an application opens the printer per sale, it does not grow:
// heap, handles and threads stay where they were after the first cycles.
TEST_P(CycleTest, NothingGrowsOverOpenClose) {
  kr::ComInit com;
  kr_test::ScopedOposConfig config;
  ASSERT_NO_FATAL_FAILURE(ConfigureDevice(config));
  kcli::ControlClient one;
  ASSERT_EQ(S_OK, one.Create(L"Kerunel.ocx"));
  struct Way {
    const char* what;
    std::function<std::string()> cycle;
  };
  const Way ways[] = {
      {"one control, not enabled",
       [&] { return kr_test::UseDevice(one.Control(), kDevice, false); }},
      {"one control, enabled", [&] { return kr_test::UseDevice(one.Control(), kDevice, true); }},
      {"a control per cycle, modules unloaded",
       [&] {
         std::string failure;
         {
           kcli::ControlClient c;
           if (c.Create(L"Kerunel.ocx") != S_OK) return std::string("control not created");
           failure = kr_test::UseDevice(c.Control(), kDevice, true);
         }
         CoFreeUnusedLibrariesEx(0, 0);
         return failure;
       }},
      {"the driver alone, loaded per link", [&] { return DriverCycle(); }},
  };
  for (const Way& way : ways) {
    for (int i = 0; i < 10; ++i) ASSERT_EQ("", way.cycle()) << way.what;
    // The simulator's record (in this process) is not the application's.
    ecr_.ClearRecord();
    const kr_test::Footprint before = kr_test::ReadFootprint();
    for (int i = 0; i < kGrowthCycles; ++i)
      ASSERT_EQ("", way.cycle()) << way.what << ", cycle " << i;
    ecr_.ClearRecord();
    const kr_test::Footprint after = kr_test::ReadFootprint();
    const long long heap = static_cast<long long>(after.heapBytes) - before.heapBytes;
    const long handles = static_cast<long>(after.handles) - before.handles;
    const long threads = static_cast<long>(after.threads) - before.threads;
    std::printf("%s, %s, %d cycles: heap %+lld bytes, handles %+ld, threads %+ld\n",
                GetParam().driver, way.what, kGrowthCycles, heap, handles, threads);
    EXPECT_LT(heap, kHeapTolerance) << way.what;
    EXPECT_LE(handles, 2) << way.what;
    EXPECT_LE(threads, 0) << way.what;
  }
}

INSTANTIATE_TEST_SUITE_P(Drivers, CycleTest, ::testing::ValuesIn(kr_test::kRoads),
                         kr_test::RoadName());

}  // namespace
