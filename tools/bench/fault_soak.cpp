// fault_soak: receipts through the whole road (Kerunel control -> reference
// Service Object -> link driver -> TCP -> virtual fiscal printer with its
// fiscal memory and journal on the disk) with one fault per receipt, at a
// random call of it, of a random kind. It acts as a careful application:
// it repeats a call whose result says the outcome is not known (112), not
// sent (107) or busy (113), and voids a receipt it cannot finish. At the end
// it closes the day with a Z report and holds what it was told against the
// fiscal memory and the journal:
//   - every receipt reported complete is in the journal once, as a closed
//     fiscal receipt with its total, and none of its items is there twice;
//   - no receipt reported failed is there as a closed fiscal receipt;
//   - no receipt is left open;
//   - the day's total in the fiscal memory (the Z report) is the sum of the
//     completed receipts.
// Prints, per driver: receipts completed and failed, faults by kind,
// discrepancies, and receipt time p50 and p99 with the faults. Exit status
// 1 when a discrepancy was found.
//
//   fault_soak [--receipts N] [--driver Sandoral|Mirevon] [--seed S]
//
// Run it with tools/bench/run-fault-soak.sh [build dir] [arguments].
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "fault_lines.h"
#include "opos.h"
#include "virtual_printer.h"

namespace {

using bench::Road;
using Clock = std::chrono::steady_clock;
using kcli::Args;
using kr_test::Wide;
using namespace opos;

constexpr wchar_t kDevice[] = L"FaultSoak";
constexpr int kRetryPauseMs = 200;
constexpr int kRetryLimitMs = 30000;  // longer than any fault lasts

// The faults, each injected before one call of a receipt; some end by
// themselves after a while (the second line, after `lastsMs`).
enum class Fault {
  kLoseAnswer,
  kLoseAnswerDrop,
  kDrop,
  kBusy,
  kMute,
  kWork,
  kPowerOffBefore,  // the ECR off before the command, back after a while
  kPowerOffAfter,   // off once it has registered the command, back after a while
  kRestart,
  kCount,
};

const char* const kFaultNames[] = {
    "lose answer", "lose answer drop", "drop",   "busy", "mute", "work",
    "power off",   "power off after",  "restart"};

std::string Money(int64_t cents) {
  char b[32];
  std::snprintf(b, sizeof b, "%lld.%02lld", static_cast<long long>(cents / 100),
                static_cast<long long>(cents % 100));
  return b;
}

// One receipt as the application knows it.
struct Receipt {
  std::vector<std::pair<std::string, int64_t>> items;  // description, cents
  int64_t total = 0;
  bool complete = false;  // EndFiscalReceipt succeeded
};

// The journal cut into documents: the lines up to each rule of '='.
std::vector<std::vector<std::string>> Documents(const std::string& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::vector<std::vector<std::string>> out(1);
  std::string line;
  while (std::getline(file, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.back().push_back(line);
    if (!line.empty() && line.find_first_not_of('=') == std::string::npos) out.emplace_back();
  }
  return out;
}

bool Contains(const std::vector<std::string>& lines, const std::string& text) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

// The receipt's "TOTAL EUR" line carries amount.
bool HasTotal(const std::vector<std::string>& lines, const std::string& amount) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.compare(0, 9, "TOTAL EUR") == 0 && l.size() >= amount.size() &&
           l.compare(l.size() - amount.size(), amount.size(), amount) == 0 &&
           l[l.size() - amount.size() - 1] == ' ';
  });
}

// An item line: its description at the start, then blanks and the amount.
size_t ItemLines(const std::vector<std::string>& lines, const std::string& description) {
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.compare(0, description.size(), description) == 0 && l.size() > description.size() &&
           l[description.size()] == ' ';
  });
}

class Soak {
 public:
  Soak(const Road& road, uint32_t seed, const std::string& dir)
      : road_(road), random_(seed), dir_(dir), ecr_(road.wire) {}

  // Runs the receipts and prints the driver's line; false on a set-up failure.
  bool Run(int receipts, int* discrepancies);

 private:
  // The call, repeated as the result tells a careful application to.
  long Careful(const std::function<long()>& call);
  long Call(const char* method, Args& args) {
    return Careful([&] { return c_.Call(method, args); });
  }
  void Inject(Fault fault);
  void EndFault();
  bool OneReceipt(int number, Receipt* receipt);
  int Reconcile(const std::vector<Receipt>& receipts);
  void Pause(int ms) {
    kcli::ControlClient::PumpUntil([] { return false; }, ms);
  }
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  const Road& road_;
  std::mt19937 random_;
  std::string dir_;
  ecrsim::Simulator ecr_;
  std::shared_ptr<ecrsim::VirtualPrinter> printer_;
  kr_test::ScopedOposConfig config_;
  kcli::ControlClient c_;
  std::thread ender_;  // ends a fault that lasts a while
  std::atomic<bool> ending_{false};
  std::string journal_;
  int faults_[static_cast<int>(Fault::kCount)] = {};
  double faultMs_[static_cast<int>(Fault::kCount)] = {};  // receipt time by its fault
  Fault last_ = Fault::kCount;
};

long Soak::Careful(const std::function<long()>& call) {
  const DWORD start = GetTickCount();
  for (;;) {
    const long r = call();
    const bool again = r == OPOS_E_TIMEOUT || r == OPOS_E_NOHARDWARE || r == OPOS_E_BUSY;
    if (!again || GetTickCount() - start > static_cast<DWORD>(kRetryLimitMs)) return r;
    Pause(kRetryPauseMs);
  }
}

void Soak::EndFault() {
  if (ender_.joinable()) ender_.join();
}

void Soak::Inject(Fault fault) {
  ++faults_[static_cast<int>(fault)];
  last_ = fault;
  auto line = [this](const std::string& text) { ecrsim::InjectFault(text, ecr_, printer_); };
  auto later = [this, line](int ms, std::string text) {
    ender_ = std::thread([line, ms, text] {
      Sleep(ms);
      line(text);
    });
  };
  switch (fault) {
    case Fault::kLoseAnswer:
      line("lose answer");
      break;
    case Fault::kLoseAnswerDrop:
      line("lose answer drop");
      break;
    case Fault::kDrop:
      line("drop");
      break;
    case Fault::kBusy:
      line("busy " + std::to_string(Between(1, 3)));
      break;
    case Fault::kMute:
      line("mute");
      later(Between(300, 1500), "unmute");
      break;
    case Fault::kWork:
      line("work " + std::to_string(Between(500, 3000)));
      break;
    case Fault::kPowerOffBefore:
      line("power off");
      later(Between(300, 1500), "power on");
      break;
    case Fault::kPowerOffAfter: {
      // Off as soon as the printer has registered the next command (its
      // answer lost with the power), back after a while.
      line("lose answer");
      const size_t paper = printer_->PaperSize();
      const int ms = Between(300, 1500);
      ender_ = std::thread([this, line, paper, ms] {
        if (ecr_.WaitFor([&](const ecrsim::Record&) { return printer_->PaperSize() > paper; },
                         10000)) {
          line("power off");
          Sleep(ms);
        }
        line("power on");
      });
      break;
    }
    case Fault::kRestart:
      line("restart");
      break;
    default:
      break;
  }
}

// One receipt with one fault at a random call: begin, items, total, end.
bool Soak::OneReceipt(int number, Receipt* receipt) {
  const int items = Between(1, 4);
  for (int i = 0; i < items; ++i) {
    receipt->items.emplace_back("R" + std::to_string(number) + "-" + std::to_string(i + 1),
                                Between(10, 2000));
    receipt->total += receipt->items.back().second;
  }
  const int faultAt = Between(0, items + 2);
  const Fault fault = static_cast<Fault>(Between(0, static_cast<int>(Fault::kCount) - 1));
  int step = 0;
  auto next = [&] {
    if (step++ == faultAt) Inject(fault);
  };
  bool ok = true;
  next();
  Args begin;
  ok = Call("BeginFiscalReceipt", begin.Bool(true)) == OPOS_SUCCESS;
  for (const auto& item : receipt->items) {
    if (!ok) break;
    next();
    Args a;
    ok = Call("PrintRecItem", a.Text(Wide(item.first))
                                  .Currency(item.second * 100)
                                  .Long(0)
                                  .Long(1 + step % 3)
                                  .Currency(0)
                                  .Text(L"")) == OPOS_SUCCESS;
  }
  if (ok) {
    next();
    Args total;
    ok = Call("PrintRecTotal",
              total.Currency(receipt->total * 100).Currency(receipt->total * 100).Text(L"CASH")) ==
         OPOS_SUCCESS;
  }
  if (ok) {
    next();
    Args end;
    receipt->complete = Call("EndFiscalReceipt", end.Bool(false)) == OPOS_SUCCESS;
  }
  EndFault();
  // Nothing is left open: a receipt the printer still holds is finished
  // when it is paid, else voided.
  if (!receipt->complete && c_.Get("PrinterState") != kPrinterMonitor) {
    Args voidReceipt, end;
    const bool paid = c_.Get("PrinterState") == kPrinterFiscalReceiptEnding;
    if (!paid) Call("PrintRecVoid", voidReceipt.Text(L"VOID"));
    receipt->complete = Call("EndFiscalReceipt", end.Bool(false)) == OPOS_SUCCESS && paid;
  }
  return c_.Get("PrinterState") == kPrinterMonitor;
}

int Soak::Reconcile(const std::vector<Receipt>& receipts) {
  int wrong = 0;
  auto report = [&wrong](const std::string& what) {
    if (++wrong <= 10) std::fprintf(stderr, "fault_soak: %s\n", what.c_str());
  };
  const std::vector<std::vector<std::string>> documents = Documents(journal_);
  int64_t sum = 0;
  for (size_t r = 0; r < receipts.size(); ++r) {
    const Receipt& receipt = receipts[r];
    int closed = 0;
    for (const std::vector<std::string>& doc : documents) {
      const bool closedReceipt = Contains(doc, "FISCAL RECEIPT") && !Contains(doc, "VOIDED");
      if (!closedReceipt || ItemLines(doc, receipt.items[0].first) == 0) continue;
      ++closed;
      for (const auto& item : receipt.items) {
        if (ItemLines(doc, item.first) != 1) report(item.first + " is not once in its receipt");
      }
      if (!HasTotal(doc, Money(receipt.total))) {
        report(receipt.items[0].first + ": its total differs");
      }
    }
    if (receipt.complete && closed != 1) {
      report("receipt " + std::to_string(r) + " reported complete is closed " +
             std::to_string(closed) + " times in the journal");
    }
    if (!receipt.complete && closed != 0) {
      report("receipt " + std::to_string(r) + " reported failed is in the journal");
    }
    if (receipt.complete) sum += receipt.total;
  }
  if (printer_->Document() != ecrcmd::kDocIdle) report("a document is left open");
  if (printer_->GrandTotal() != sum) {
    report("the fiscal memory holds " + Money(printer_->GrandTotal()) +
           ", the completed receipts make " + Money(sum));
  }
  return wrong;
}

bool Soak::Run(int count, int* discrepancies) {
  journal_ = dir_ + "fault_soak_" + road_.driver + ".txt";
  const std::string memory = ecrsim::VirtualPrinter::MemoryPathFor(journal_);
  DeleteFileA(journal_.c_str());
  DeleteFileA(memory.c_str());
  printer_ = std::make_shared<ecrsim::VirtualPrinter>(journal_, memory);
  ecr_.AttachPrinter(printer_);
  if (ecr_.Start() == 0) return false;
  if (!bench::ConfigureDevice(config_, kDevice, road_, ecr_,
                              {{L"AnswerTimeout", L"1000"}, {L"ReportTimeout", L"4000"}}) ||
      !bench::CreateControl(c_) || !bench::OpenDevice(c_, kDevice)) {
    return false;
  }

  std::vector<Receipt> receipts(count);
  std::vector<double> times;
  int completed = 0, leftOpen = 0;
  for (int r = 0; r < count; ++r) {
    const auto start = Clock::now();
    last_ = Fault::kCount;
    if (!OneReceipt(r, &receipts[r])) ++leftOpen;
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (last_ != Fault::kCount) faultMs_[static_cast<int>(last_)] += times.back();
    if (receipts[r].complete) ++completed;
  }
  int64_t sum = 0;
  for (const Receipt& receipt : receipts) sum += receipt.complete ? receipt.total : 0;
  const bool dayMatches = printer_->DailyNet() == sum;
  if (!dayMatches) {
    std::fprintf(stderr, "fault_soak: the day's total is %s, the completed receipts make %s\n",
                 Money(printer_->DailyNet()).c_str(), Money(sum).c_str());
  }
  const long z = Careful([&] { return c_.Call("PrintZReport"); });
  c_.Call("Close");

  *discrepancies =
      leftOpen + (z == OPOS_SUCCESS ? 0 : 1) + (dayMatches ? 0 : 1) + Reconcile(receipts);
  std::sort(times.begin(), times.end());
  auto percentile = [&times](double p) {
    return times[std::min(times.size() - 1, static_cast<size_t>(p * times.size()))];
  };
  std::ostringstream kinds;
  for (int f = 0; f < static_cast<int>(Fault::kCount); ++f) {
    kinds << (f ? ", " : "") << kFaultNames[f] << " " << faults_[f];
    if (faults_[f]) kinds << " (" << static_cast<int>(faultMs_[f] / faults_[f]) << " ms)";
  }
  std::printf("%-9s %8d %9d %6d %13d %9.0f %9.0f\n", road_.driver, count, completed,
              count - completed, *discrepancies, percentile(0.5), percentile(0.99));
  std::printf("          faults: %s\n", kinds.str().c_str());
  std::fflush(stdout);
  ecr_.Stop();
  DeleteFileA(journal_.c_str());
  DeleteFileA(memory.c_str());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int receipts = 50;
  uint32_t seed = 1;
  std::string only;
  const bench::Option seedOption{"--seed", "S", [&seed](const char* text) {
                                   seed = static_cast<uint32_t>(std::strtoul(text, nullptr, 10));
                                 }};
  if (!bench::ReadOptions(
          "fault_soak", argc, argv,
          {bench::Count("--receipts", &receipts), bench::Driver(&only), seedOption})) {
    return 2;
  }
  kr::ComInit com;
  if (!bench::RegisterServiceObject(com)) return 1;
  char temp[MAX_PATH];
  GetTempPathA(MAX_PATH, temp);
  std::printf("%d receipts per driver, one fault each (seed %u)\n", receipts, seed);
  std::printf("%-9s %8s %9s %6s %13s %9s %9s\n", "driver", "receipts", "completed", "failed",
              "discrepancies", "p50 ms", "p99 ms");
  int total = 0;
  for (const Road& road : bench::Roads(only)) {
    int discrepancies = 0;
    Soak soak(road, seed, temp);
    if (!soak.Run(receipts, &discrepancies)) return 1;
    total += discrepancies;
  }
  return total == 0 ? 0 : 1;
}
