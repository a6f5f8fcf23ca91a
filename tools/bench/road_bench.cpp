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
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "virtual_printer.h"

namespace {

using bench::Must;
using bench::Road;
using Clock = std::chrono::steady_clock;
using kcli::Args;

constexpr wchar_t kDevice[] = L"RoadBench";

// The framing's pauses per command, with OnLine 1.
int PauseMs(const Road& road) {
  return road.wire == ecrsim::Wire::kHexLine ? 20 : 40;
}

// Runs `receipts` receipts on one driver and prints its line.
bool Measure(const Road& road, int receipts, int items) {
  ecrsim::Simulator ecr(road.wire);
  ecr.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
  if (ecr.Start() == 0) return false;
  kr_test::ScopedOposConfig config;
  kcli::ControlClient c;
  if (!bench::ConfigureDevice(config, kDevice, road, ecr) || !bench::CreateControl(c) ||
      !bench::OpenDevice(c, kDevice)) {
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

  std::sort(times.begin(), times.end());
  const double median = times[times.size() / 2];
  const double floor = static_cast<double>(commands) * PauseMs(road);
  std::printf("%-9s %8zu %11.1f %11.1f %11.1f %8.3f\n", road.driver, commands, median, times.back(),
              floor, median / floor);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int receipts = 5, items = 20;
  std::string only;
  if (!bench::ReadOptions("road_bench", argc, argv,
                          {bench::Count("--receipts", &receipts), bench::Count("--items", &items),
                           bench::Driver(&only)})) {
    return 2;
  }
  kr::ComInit com;
  if (!bench::RegisterServiceObject(com)) return 1;
  std::printf("A receipt of %d items, a total and the end, %d times per driver\n", items, receipts);
  std::printf("%-9s %8s %11s %11s %11s %8s\n", "driver", "commands", "median ms", "slowest ms",
              "floor ms", "ratio");
  for (const Road& road : bench::Roads(only)) {
    if (!Measure(road, receipts, items)) return 1;
  }
  return 0;
}
