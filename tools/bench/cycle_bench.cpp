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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "bench_support.h"
#include "virtual_printer.h"

namespace {

using bench::Road;
using Clock = std::chrono::steady_clock;

constexpr wchar_t kDevice[] = L"CycleBench";

// Runs the cycles on one driver and prints its rows.
bool Measure(const Road& road, int cycles, int every) {
  ecrsim::Simulator ecr(road.wire);
  ecr.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
  if (ecr.Start() == 0) return false;
  kr_test::ScopedOposConfig config;
  kcli::ControlClient c;
  if (!bench::ConfigureDevice(config, kDevice, road, ecr) || !bench::CreateControl(c)) {
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
  if (!bench::ReadOptions("cycle_bench", argc, argv,
                          {bench::Count("--cycles", &cycles), bench::Count("--every", &every),
                           bench::Driver(&only)})) {
    return 2;
  }
  kr::ComInit com;
  if (!bench::RegisterServiceObject(com)) return 1;
  std::printf("Open, Claim, enable, disable, Release, Close, %d times per driver\n", cycles);
  std::printf("%-9s %8s %12s %8s %8s %12s\n", "driver", "cycles", "heap MB", "handles", "threads",
              "ms/cycle");
  for (const Road& road : bench::Roads(only)) {
    if (!Measure(road, cycles, every)) return 1;
  }
  return 0;
}
