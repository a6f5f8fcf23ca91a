// road_bench: a receipt through the whole road (Kerunel control -> reference
// Service Object -> link driver -> TCP -> virtual fiscal printer) against
// the floor the wire framing sets for it. With OnLine 1 every frame the
// driver sends is followed by a 20 ms pause: one per command on Sandoral's
// hex line, two on Mirevon's host-PC link (the command, and the
// acknowledgement of the ECR's answer), so the floor is 20 or 40 ms times
// the commands the receipt took.
//
// Prints, per driver: the commands of one receipt (begin, N items, total,
// end), the median and slowest time of a receipt, the floor, and the ratio
// of the median to the floor.
//
//   road_bench [--receipts N] [--items N] [--driver Sandoral|Mirevon]
//
// Run it with tools/bench/run-road-bench.sh [build dir].
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control_client.h"
#include "ecrsim.h"
#include "opos.h"
#include "service_ids.h"
#include "virtual_printer.h"
#include "win_raii.h"

namespace {

using Clock = std::chrono::steady_clock;
using kcli::Args;

constexpr wchar_t kDevice[] = L"RoadBench";
constexpr wchar_t kClassKey[] = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\";

struct Road {
  const char* driver;
  ecrsim::Wire wire;
  int pauseMs;  // the framing's pauses per command, with OnLine 1
};

const Road kRoads[] = {
    {"Sandoral", ecrsim::Wire::kHexLine, 20},
    {"Mirevon", ecrsim::Wire::kHostPc, 40},
};

LONG SetValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
  return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                         static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegisterServiceObject() {
  kr::UniqueModule so(LoadLibraryW(KSO_MODULE));
  using Fn = HRESULT(STDAPICALLTYPE*)();
  auto reg = so ? reinterpret_cast<Fn>(
                      reinterpret_cast<void*>(GetProcAddress(so.get(), "DllRegisterServer")))
                : nullptr;
  return reg && reg() == S_OK;
}

// A step that must succeed; prints what failed.
bool Must(long result, const char* what) {
  if (result == opos::OPOS_SUCCESS) return true;
  std::fprintf(stderr, "road_bench: %s returned %ld\n", what, result);
  return false;
}

// Runs `receipts` receipts on one driver and prints its line.
bool Measure(const Road& road, int receipts, int items) {
  ecrsim::Simulator ecr(road.wire);
  ecr.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
  if (ecr.Start() == 0) return false;
  const std::wstring key = std::wstring(kClassKey) + kDevice;
  const std::string settings = ecr.InlineSettings("OnLine=1");
  const std::wstring driver(road.driver, road.driver + std::strlen(road.driver));
  if (SetValue(key, nullptr, KSO_PROGID) != ERROR_SUCCESS ||
      SetValue(key, L"LinkDriver", driver) != ERROR_SUCCESS ||
      SetValue(key, L"Link", std::wstring(settings.begin(), settings.end())) != ERROR_SUCCESS) {
    std::fprintf(stderr, "road_bench: the device key could not be written\n");
    return false;
  }

  kcli::ControlClient c;
  if (FAILED(c.Create(L"Kerunel.ocx"))) {
    std::fprintf(stderr, "road_bench: Kerunel.ocx could not be loaded\n");
    return false;
  }
  Args open, claim;
  if (!Must(c.Call("Open", open.Text(kDevice)), "Open") ||
      !Must(c.Call("Claim", claim.Long(2000)), "Claim") || FAILED(c.Set("DeviceEnabled", 1)) ||
      !Must(c.Get("ResultCode"), "enabling")) {
    return false;
  }

  std::vector<double> times;
  size_t commands = 0;
  for (int r = 0; r < receipts; ++r) {
    const size_t before = ecr.Messages().size();
    const auto start = Clock::now();
    Args begin;
    if (!Must(c.Call("BeginFiscalReceipt", begin.Bool(true)), "BeginFiscalReceipt")) return false;
    for (int i = 0; i < items; ++i) {
      Args item;
      item.Text(L"Item " + std::to_wstring(i + 1))
          .Currency(1990000)
          .Long(0)
          .Long(1 + i % 3)
          .Currency(0)
          .Text(L"");
      if (!Must(c.Call("PrintRecItem", item), "PrintRecItem")) return false;
    }
    Args total, end;
    const int64_t amount = 1990000LL * items;
    if (!Must(c.Call("PrintRecTotal", total.Currency(amount).Currency(amount).Text(L"CASH")),
              "PrintRecTotal") ||
        !Must(c.Call("EndFiscalReceipt", end.Bool(false)), "EndFiscalReceipt")) {
      return false;
    }
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    commands = ecr.Messages().size() - before;
  }
  c.Call("Close");
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());

  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  const double floor = static_cast<double>(commands) * road.pauseMs;
  std::printf("%-9s %8zu %11.1f %11.1f %11.1f %8.3f\n", road.driver, commands, median, times.back(),
              floor, median / floor);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int receipts = 5, items = 20;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--receipts" && v) {
      receipts = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--items" && v) {
      items = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--driver" && v) {
      only = argv[++i];
    } else {
      std::fprintf(stderr, "usage: road_bench [--receipts N] [--items N] [--driver NAME]\n");
      return 2;
    }
  }
  kr::ComInit com;
  if (FAILED(com.result()) || !RegisterServiceObject()) {
    std::fprintf(stderr, "road_bench: KerunelSO.dll could not be registered\n");
    return 1;
  }
  std::printf("A receipt of %d items, a total and the end, %d times per driver\n", items, receipts);
  std::printf("%-9s %8s %11s %11s %11s %8s\n", "driver", "commands", "median ms", "slowest ms",
              "floor ms", "ratio");
  for (const Road& road : kRoads) {
    if (!only.empty() && only != road.driver) continue;
    if (!Measure(road, receipts, items)) return 1;
  }
  return 0;
}
