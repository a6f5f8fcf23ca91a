// Benchmark (not a test): what the fiscal memory on the disk costs the
// virtual printer per command, every change flushed to the disk before its
// answer. Prints microseconds per command without and with a memory file.
//   build/native/fiscal_memory_bench [receipts] [directory]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "virtual_printer.h"

int main(int argc, char** argv) {
  const int receipts = argc > 1 ? std::atoi(argv[1]) : 100;
  const std::filesystem::path dir =
      argc > 2 ? std::filesystem::path(argv[2]) : std::filesystem::temp_directory_path();
  const std::string memory = (dir / "kerunel_bench.fiscal").string();
  for (const bool withMemory : {false, true}) {
    std::filesystem::remove(memory);
    ecrsim::VirtualPrinter printer("", withMemory ? memory : "");
    const auto start = std::chrono::steady_clock::now();
    int commands = 0;
    for (int r = 0; r < receipts; ++r) {
      printer.Execute("O1");
      for (int i = 0; i < 8; ++i) printer.Execute("ABread|250||1||");
      printer.Execute("P|2000|");
      printer.Execute("K");
      commands += 11;
    }
    const double us =
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
    std::printf("%-17s %6d commands  %8.1f us per command\n",
                withMemory ? "with memory file" : "in memory only", commands, us / commands);
  }
  std::filesystem::remove(memory);
  return 0;
}
