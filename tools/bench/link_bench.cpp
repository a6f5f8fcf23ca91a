// link_bench: how fast the link drivers are against the in-process ECR
// simulator. Loads Sandoral.dll (and Mirevon.dll when present) by name and
// prints, per driver:
//   - the EcrIO round trip (flags 3, the ECR answering at once) with OnLine 1
//     and with OnLine 0: median and 99th percentile against the floor that
//     the protocol's own pauses set (20 ms after each send with OnLine 1);
//   - the CPU time of the driver's link thread while the link sits idle;
//   - Mirevon: the rate at which a burst of unsolicited messages is
//     delivered, and whether any was lost.
//
//   link_bench [--count N] [--idle SECONDS] [--burst N] [--driver NAME]
#include <windows.h>
// After windows.h:
#include <tlhelp32.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ecrsim.h"
#include "link_api.h"
#include "win_raii.h"

namespace {

struct Options {
  int count = 300;  // transactions per OnLine setting
  int idleSeconds = 10;
  int burst = 200;     // unsolicited messages in the burst (Mirevon)
  std::string driver;  // empty: every driver found
};

// The exports the benchmark uses.
struct Driver {
  std::string name;
  kr::UniqueModule module;
  linkdrv::OpenProtFn OpenProt = nullptr;
  linkdrv::CloseProtFn CloseProt = nullptr;
  linkdrv::EcrIOFn EcrIO = nullptr;
  linkdrv::GetEcrMessageFn GetEcrMessage = nullptr;
  linkdrv::SetMessRxEventFn SetMessRxEvent = nullptr;
  linkdrv::GetLastProtocolErrorFn GetLastProtocolError = nullptr;

  // Loads the DLL by name; false when it is not there.
  bool Load(const std::string& dll) {
    name = dll;
    module.reset(LoadLibraryA((dll + ".dll").c_str()));
    if (!module) return false;
    auto get = [this](auto& fn, const char* export_name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
          reinterpret_cast<void*>(GetProcAddress(module.get(), export_name)));
      return fn != nullptr;
    };
    return get(OpenProt, "OpenProt") && get(CloseProt, "CloseProt") && get(EcrIO, "EcrIO") &&
           get(GetEcrMessage, "GetEcrMessage") && get(SetMessRxEvent, "SetMessRxEvent") &&
           get(GetLastProtocolError, "GetLastProtocolError");
  }

  int LastError() const {
    int e = 0;
    GetLastProtocolError(&e, nullptr);
    return e;
  }
};

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  return v[std::min(i, v.size() - 1)];
}

std::set<DWORD> ThreadsOfThisProcess() {
  std::set<DWORD> ids;
  kr::UniqueFileHandle snap(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snap) return ids;
  THREADENTRY32 te{};
  te.dwSize = sizeof te;
  for (BOOL ok = Thread32First(snap.get(), &te); ok; ok = Thread32Next(snap.get(), &te)) {
    if (te.th32OwnerProcessID == GetCurrentProcessId()) ids.insert(te.th32ThreadID);
  }
  return ids;
}

double FileTimeMs(const FILETIME& f) {
  ULARGE_INTEGER u;
  u.LowPart = f.dwLowDateTime;
  u.HighPart = f.dwHighDateTime;
  return static_cast<double>(u.QuadPart) / 10000.0;
}

// CPU time (kernel + user) of a thread, in ms; -1 when it cannot be read.
double ThreadCpuMs(HANDLE thread) {
  FILETIME created, exited, kernel, user;
  if (!GetThreadTimes(thread, &created, &exited, &kernel, &user)) return -1;
  return FileTimeMs(kernel) + FileTimeMs(user);
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
  return FileTimeMs(kernel) + FileTimeMs(user);
}

void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// Runs `count` EcrIO transactions (flags 3) and prints their times. Returns
// the number that failed.
int RoundTrips(Driver& d, ecrsim::Simulator& ecr, const char* label, int count, double floorMs) {
  ecr.ClearRecord();
  // A command with data, so that the hex-line answer is not a bare code.
  const char command[] = {'A', 0x01, 0x02};
  std::vector<double> times;
  int failures = 0;
  for (int i = 0; i < count; ++i) {
    char answer[256];
    int answerLength = 0, extra = 0;
    double t0 = NowMs();
    int r = d.EcrIO(1, linkdrv::kEcrAnswerExpected | linkdrv::kEcrWaitAnswer, command,
                    sizeof command, answer, &answerLength, &extra);
    double t1 = NowMs();
    if (r != 0 || answerLength != 3 || std::memcmp(answer, command, 3) != 0) {
      ++failures;
      continue;
    }
    times.push_back(t1 - t0);
  }
  double median = Percentile(times, 0.5), p99 = Percentile(times, 0.99);
  std::printf(
      "%-9s EcrIO round trip, %-9s n=%-4zu median %7.2f ms  p99 %7.2f ms  floor %5.1f ms"
      "  (median +%.2f, p99 +%.2f)%s\n",
      d.name.c_str(), label, times.size(), median, p99, floorMs, median - floorMs, p99 - floorMs,
      failures ? "  FAILURES" : "");
  if (failures) std::printf("          %d transactions failed\n", failures);
  // The simulator's own share: from a command's arrival to its answer going out.
  std::vector<double> turnaround;
  ecrsim::Record r = ecr.Snapshot();
  for (size_t i = 0; i < r.events.size(); ++i) {
    if (r.events[i].kind != ecrsim::EventKind::kMessage) continue;
    for (size_t j = i + 1; j < r.events.size(); ++j) {
      if (r.events[j].kind == ecrsim::EventKind::kFrameSent) {
        turnaround.push_back(
            std::chrono::duration<double, std::milli>(r.events[j].at - r.events[i].at).count());
        break;
      }
    }
  }
  std::printf("          of which the simulator: median %.3f ms, p99 %.3f ms\n",
              Percentile(turnaround, 0.5), Percentile(turnaround, 0.99));
  return failures;
}

// CPU time of the link thread over `seconds` of idle link.
void IdleCpu(Driver& d, const std::set<DWORD>& driverThreads, int seconds) {
  std::vector<kr::UniqueHandle> threads;
  for (DWORD id : driverThreads) {
    threads.emplace_back(OpenThread(THREAD_QUERY_INFORMATION, FALSE, id));
  }
  std::vector<double> before;
  for (auto& t : threads) before.push_back(t ? ThreadCpuMs(t.get()) : -1);
  double process0 = ProcessCpuMs();
  double t0 = NowMs();
  // Sleep in a message-free wait; the link thread polls on its own.
  while (NowMs() - t0 < seconds * 1000.0) {
    Sleep(100);
    PumpMessages();
  }
  double wall = NowMs() - t0;
  double process = ProcessCpuMs() - process0;
  double thread = 0;
  bool threadKnown = !threads.empty();
  for (size_t i = 0; i < threads.size(); ++i) {
    double now = threads[i] ? ThreadCpuMs(threads[i].get()) : -1;
    if (now < 0 || before[i] < 0) threadKnown = false;
    thread += now - before[i];
  }
  if (threadKnown) {
    std::printf(
        "%-9s idle %.1f s: link thread CPU %.1f ms = %.3f%% of one core"
        " (whole process %.3f%%)\n",
        d.name.c_str(), wall / 1000, thread, 100 * thread / wall, 100 * process / wall);
  } else {
    std::printf(
        "%-9s idle %.1f s: link thread not readable; whole process CPU %.1f ms ="
        " %.3f%% of one core (upper bound)\n",
        d.name.c_str(), wall / 1000, process, 100 * process / wall);
  }
}

// Window that receives the received-message notifications.
constexpr UINT kRxMessage = WM_APP + 1;
struct BurstState {
  Driver* driver = nullptr;
  std::vector<int> delivered;  // message numbers, in order of delivery
  int other = 0;
  double first = 0, last = 0;
};
BurstState* g_burst = nullptr;

LRESULT CALLBACK BurstWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == kRxMessage && g_burst) {
    linkdrv::EcrMessage m{};
    while (g_burst->driver->GetEcrMessage(1, &m)) {
      if (m.code == 'X' && m.length == 2) {
        g_burst->delivered.push_back(m.data[0] << 8 | m.data[1]);
        if (g_burst->first == 0) g_burst->first = NowMs();
        g_burst->last = NowMs();
      } else {
        ++g_burst->other;
      }
    }
    return 0;
  }
  return DefWindowProcA(hwnd, msg, wp, lp);
}

// Mirevon: the ECR sends `count` unsolicited messages back to back.
void Burst(Driver& d, ecrsim::Simulator& ecr, int count) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = BurstWindowProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "LinkBenchBurst";
  RegisterClassA(&wc);
  kr::UniqueWindow window(CreateWindowA("LinkBenchBurst", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                        wc.hInstance, nullptr));
  BurstState state;
  state.driver = &d;
  g_burst = &state;
  d.SetMessRxEvent(window.get(), kRxMessage);

  // A refused message (both queue slots taken) is sent again shortly.
  ecr.SetCanRetry(5, 1000);
  ecr.ClearRecord();
  std::vector<ecrsim::Bytes> messages;
  for (int i = 0; i < count; ++i) {
    messages.push_back({'X', static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
  }
  double t0 = NowMs();
  ecr.SendBurst(messages);
  while (static_cast<int>(state.delivered.size()) < count && NowMs() - t0 < 60000) {
    MsgWaitForMultipleObjectsEx(0, nullptr, 50, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    PumpMessages();
  }
  d.SetMessRxEvent(nullptr, 0);
  g_burst = nullptr;

  std::set<int> unique(state.delivered.begin(), state.delivered.end());
  bool inOrder = std::is_sorted(state.delivered.begin(), state.delivered.end());
  int lost = count - static_cast<int>(unique.size());
  int repeated = static_cast<int>(state.delivered.size() - unique.size());
  double span = NowMs() - t0;
  ecrsim::Counters c = ecr.GetCounters();
  // The driver acknowledges each frame with a control byte and pauses 20 ms
  // after it (OnLine 1): at most 50 messages a second.
  std::printf(
      "%-9s burst of %d unsolicited: delivered %zu in %.0f ms = %.1f msg/s (ceiling 50);"
      " lost %d, repeated %d, %s; ECR saw %d ACK, %d CAN, %d NAK, %d without reply\n",
      d.name.c_str(), count, unique.size(), span,
      span > 0 ? 1000.0 * static_cast<double>(unique.size()) / span : 0.0, lost, repeated,
      inOrder ? "in order" : "OUT OF ORDER", c.acks, c.cans, c.naks, c.noReplies);
}

// One driver: open the link, measure, close. Returns the number of failures.
int RunDriver(const std::string& name, const Options& o) {
  Driver d;
  if (!d.Load(name)) {
    std::fprintf(stderr, "link_bench: %s.dll not found next to link_bench.exe\n", name.c_str());
    return 1;
  }
  bool hostPc = name == "Mirevon";
  ecrsim::Simulator ecr(hostPc ? ecrsim::Wire::kHostPc : ecrsim::Wire::kHexLine);
  if (ecr.Start() == 0) {
    std::printf("%-9s simulator could not listen\n", name.c_str());
    return 1;
  }
  std::set<DWORD> before = ThreadsOfThisProcess();
  std::string settings = ecr.InlineSettings("OnLine=1");
  if (!d.OpenProt(settings.c_str(), 0)) {
    std::printf("%-9s OpenProt(\"%s\") failed: %d\n", name.c_str(), settings.c_str(),
                d.LastError());
    return 1;
  }
  std::set<DWORD> driverThreads;
  for (DWORD id : ThreadsOfThisProcess()) {
    if (!before.count(id)) driverThreads.insert(id);
  }

  // With OnLine 1 the driver pauses 20 ms after each send; the host-PC
  // driver also sends an ACK for the answer frame before handing it up.
  double floorOnLine = hostPc ? 40.0 : 20.0;
  int failures = RoundTrips(d, ecr, "OnLine=1", o.count, floorOnLine);
  d.EcrIO(linkdrv::kControlOnLineOff, 0, nullptr, 0, nullptr, nullptr, nullptr);
  failures += RoundTrips(d, ecr, "OnLine=0", o.count, 0.0);
  d.EcrIO(linkdrv::kControlOnLineOn, 0, nullptr, 0, nullptr, nullptr, nullptr);
  if (o.idleSeconds > 0) IdleCpu(d, driverThreads, o.idleSeconds);
  if (hostPc && o.burst > 0) Burst(d, ecr, o.burst);
  d.CloseProt(0);
  ecr.Stop();
  return failures;
}

int Usage(const char* why = nullptr, const char* value = nullptr) {
  if (why) std::fprintf(stderr, "link_bench: %s%s\n", why, value ? value : "");
  std::fprintf(stderr,
               "usage: link_bench [--count N] [--idle SECONDS] [--burst N] "
               "[--driver Sandoral|Mirevon]\n");
  return 2;
}

// A whole non-negative decimal number; false for anything else.
bool ParseCount(const char* text, int* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 1000000) return false;
  *value = static_cast<int>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    int* number = a == "--count"   ? &o.count
                  : a == "--idle"  ? &o.idleSeconds
                  : a == "--burst" ? &o.burst
                                   : nullptr;
    if (!number && a != "--driver") return Usage("unknown argument ", argv[i]);
    if (i + 1 >= argc) return Usage("no value after ", argv[i]);
    const char* v = argv[++i];
    if (number && !ParseCount(v, number)) return Usage(("bad number for " + a + ": ").c_str(), v);
    if (!number) o.driver = v;
  }
  if (!o.driver.empty() && o.driver != "Sandoral" && o.driver != "Mirevon") {
    return Usage("unknown driver ", o.driver.c_str());
  }
  int failures = 0;
  for (const char* name : {"Sandoral", "Mirevon"}) {
    if (o.driver.empty() || o.driver == name) failures += RunDriver(name, o);
  }
  return failures ? 1 : 0;
}
