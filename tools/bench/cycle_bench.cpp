// cycle_bench: an application that opens the printer per sale, for
// thousands of sales: Open, Claim, enable, disable, Release, Close through
// the Kerunel control and the reference Service Object, over each link
// driver to the in-process ECR simulator.
//
// Prints a row every --every cycles: the cycles so far, the process's heap
// (busy bytes in all its heaps), handles and threads, and the time per
// cycle over the last rows' cycles.
//
//   cycle_bench [--cycles N] [--every N] [--driver Sandoral|Mirevon]
//
// Run it with tools/bench/run-cycle-bench.sh [build dir].
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "control_client.h"
#include "ecrsim.h"
#include "service_ids.h"
#include "support.h"
#include "virtual_printer.h"
#include "win_raii.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kDevice[] = L"CycleBench";

struct Road {
  const char* driver;
  ecrsim::Wire wire;
};

const Road kRoads[] = {
    {"Sandoral", ecrsim::Wire::kHexLine},
    {"Mirevon", ecrsim::Wire::kHostPc},
};

bool RegisterServiceObject() {
  kr::UniqueModule so(LoadLibraryW(KSO_MODULE));
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto reg = so ? reinterpret_cast<Fn>(
                      reinterpret_cast<void*>(GetProcAddress(so.get(), "DllRegisterServer")))
                : nullptr;
  return reg && reg() == S_OK;
}

// Runs the cycles on one driver and prints its rows.
bool Measure(const Road& road, int cycles, int every) {
  ecrsim::Simulator ecr(road.wire);
  ecr.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
  if (ecr.Start() == 0) return false;
  kr_test::ScopedOposConfig config;
  const std::wstring key = std::wstring(kr_test::kOposClassKey) + L"\\" + kDevice;
  const std::string settings = ecr.InlineSettings("OnLine=1");
  const std::wstring driver(road.driver, road.driver + std::strlen(road.driver));
  auto set = [&key](const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  };
  if (config.Device(kDevice, KSO_PROGID) != ERROR_SUCCESS ||
      set(L"LinkDriver", driver) != ERROR_SUCCESS ||
      set(L"Link", std::wstring(settings.begin(), settings.end())) != ERROR_SUCCESS) {
    std::fprintf(stderr, "cycle_bench: the device key could not be written\n");
    return false;
  }
  kcli::ControlClient c;
  if (FAILED(c.Create(L"Kerunel.ocx"))) {
    std::fprintf(stderr, "cycle_bench: Kerunel.ocx could not be loaded\n");
    return false;
  }
  auto row = [&](int done, double msPerCycle) {
    ecr.ClearRecord();  // the simulator's record, in this process, is not the application's
    const kr_test::Footprint f = kr_test::ReadFootprint();
    std::printf("%-9s %8d %12.3f %8lu %8lu %12.2f\n", road.driver, done, f.heapBytes / 1048576.0,
                static_cast<unsigned long>(f.handles), static_cast<unsigned long>(f.threads),
                msPerCycle);
    std::fflush(stdout);
  };
  row(0, 0);
  for (int done = 0; done < cycles;) {
    const int batch = std::min(every, cycles - done);
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < batch; ++i) {
      const std::string failure = kr_test::UseDevice(c.Control(), kDevice, true);
      if (!failure.empty()) {
        std::fprintf(stderr, "cycle_bench: %s, cycle %d: %s\n", road.driver, done + i,
                     failure.c_str());
        return false;
      }
    }
    done += batch;
    row(done, std::chrono::duration<double, std::milli>(Clock::now() - start).count() / batch);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int cycles = 10000, every = 1000;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool value = i + 1 < argc;
    if (a == "--cycles" && value) {
      cycles = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--every" && value) {
      every = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--driver" && value) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: cycle_bench [--cycles N] [--every N] [--driver NAME]\n");
      return 2;
    }
  }
  kr::ComInit com;
  if (FAILED(com.result()) || !RegisterServiceObject()) {
    std::fprintf(stderr, "cycle_bench: KerunelSO.dll could not be registered\n");
    return 1;
  }
  std::printf("Open, Claim, enable, disable, Release, Close, %d times per driver\n", cycles);
  std::printf("%-9s %8s %12s %8s %8s %12s\n", "driver", "cycles", "heap MB", "handles", "threads",
              "ms/cycle");
  for (const Road& road : kRoads) {
    if (!only.empty() && only != road.driver) continue;
    if (!Measure(road, cycles, every)) return 1;
  }
  return 0;
}
