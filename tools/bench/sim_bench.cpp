// sim_bench: ecrsim.exe (the real program, --printer, one line per event on
// its standard output as a person watching it sees them) over thousands of
// receipts. A client of its own plays the link driver's side of the hex
// line, so the simulator is the only thing measured.
//
// Prints a row every --every receipts: the receipts so far, the simulator's
// heap (anonymous resident memory) and resident memory, the CPU it used
// while idle for --idle seconds (percent of one core), and receipts per
// second while busy.
//
//   sim_bench [--receipts N] [--every N] [--idle S]
//
// Run it with tools/bench/run-sim-bench.sh [build dir].
#include <windows.h>
#include <winsock2.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ecr_commands.h"
#include "ecrsim.h"
#include "win_raii.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
  int receipts = 10000;
  int every = 1000;
  int idleSeconds = 2;
};

bool ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    const int v = std::atoi(argv[i + 1]);
    if (v <= 0) return false;
    if (std::strcmp(argv[i], "--receipts") == 0) {
      o->receipts = v;
    } else if (std::strcmp(argv[i], "--every") == 0) {
      o->every = v;
    } else if (std::strcmp(argv[i], "--idle") == 0) {
      o->idleSeconds = v;
    } else {
      return false;
    }
  }
  return argc % 2 == 1;
}

// ecrsim.exe as a child with pipes on its standard input and output.
class Child {
 public:
  // Starts it; false when it could not be.
  bool Start(const std::wstring& commandLine) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, inRead = nullptr, inWrite = nullptr;
    if (!CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&inRead, &inWrite, &inherit, 0)) {
      return false;
    }
    out_.reset(outRead);
    in_.reset(inWrite);
    kr::UniqueHandle childOut(outWrite), childIn(inRead);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = inRead;
    si.hStdOutput = outWrite;
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi)) {
      return false;
    }
    process_.reset(pi.hProcess);
    kr::UniqueHandle thread(pi.hThread);
    return true;
  }

  // The port from its first line ("port N"); 0 when it did not say.
  int ReadPort() {
    std::string line;
    char c = 0;
    DWORD n = 0;
    while (ReadFile(out_.get(), &c, 1, &n, nullptr) && n == 1 && c != '\n') line += c;
    return line.compare(0, 5, "port ") == 0 ? std::atoi(line.c_str() + 5) : 0;
  }

  // Reads (and drops) what it prints from now on, as a terminal would.
  void DrainOutput() {
    HANDLE out = out_.get();
    drain_ = std::thread([out] {
      char buffer[4096];
      DWORD n = 0;
      while (ReadFile(out, buffer, sizeof buffer, &n, nullptr) && n > 0) {
      }
    });
  }

  // Closes its standard input (it ends: --quit-on-eof) and waits for it.
  void Stop() {
    in_.reset();
    if (process_) WaitForSingleObject(process_.get(), 10000);
    if (drain_.joinable()) drain_.join();
  }

 private:
  kr::UniqueHandle process_, out_, in_;
  std::thread drain_;
};

// A whole file read through Wine's view of the Linux file system.
std::string ReadWholeFile(const std::string& path) {
  kr::UniqueFileHandle f(
      CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  std::string out;
  char buffer[4096];
  DWORD n = 0;
  while (f && ReadFile(f.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) out.append(buffer, n);
  return out;
}

// The simulator's Linux process (Wine runs each Windows process as one),
// found by its command line in /proc: Wine gives other processes' CPU
// times and private bytes as 0, /proc has them.
class LinuxProcess {
 public:
  // Finds the process whose command line is ecrsim.exe with `marker`.
  bool Find(const std::string& marker) {
    WIN32_FIND_DATAA entry;
    HANDLE find = FindFirstFileA("Z:\\proc\\*", &entry);
    if (find == INVALID_HANDLE_VALUE) return false;
    do {
      if (!std::isdigit(static_cast<unsigned char>(entry.cFileName[0]))) continue;
      const std::string dir = std::string("Z:\\proc\\") + entry.cFileName;
      std::string line = ReadWholeFile(dir + "\\cmdline");
      for (char& c : line) c = c == '\0' ? ' ' : c;
      if (line.find("ecrsim.exe") != std::string::npos && line.find(marker) != std::string::npos) {
        dir_ = dir;
        break;
      }
    } while (FindNextFileA(find, &entry));
    FindClose(find);
    return !dir_.empty();
  }

  // User and system CPU time so far.
  double CpuSeconds() const {
    const std::string stat = ReadWholeFile(dir_ + "\\stat");
    const size_t after = stat.rfind(')');  // the name may hold blanks
    if (after == std::string::npos) return 0;
    // Fields after the name: state is the 3rd field, utime the 14th, stime the 15th.
    char state = 0;
    unsigned long long fields[13] = {}, utime = 0, stime = 0;
    if (std::sscanf(stat.c_str() + after + 1,
                    " %c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &state,
                    &fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5],
                    &fields[6], &fields[7], &fields[8], &fields[9], &fields[10]) != 12) {
      return 0;
    }
    utime = fields[9];
    stime = fields[10];
    return static_cast<double>(utime + stime) / kTicksPerSecond;
  }

  // A line of /proc/<pid>/status in MB ("RssAnon", "VmRSS").
  double StatusMB(const char* name) const {
    const std::string status = ReadWholeFile(dir_ + "\\status");
    const size_t at = status.find(std::string(name) + ":");
    return at == std::string::npos
               ? 0
               : std::atof(status.c_str() + at + std::strlen(name) + 1) / 1024.0;
  }

 private:
  static constexpr double kTicksPerSecond = 100;  // Linux's USER_HZ
  std::string dir_;
};

// A TCP port nobody listens on now.
int FreePort() {
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  closesocket(s);
  return port;
}

// The driver's side of the hex line: one command, its answer.
class HexLineClient {
 public:
  ~HexLineClient() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
  }

  bool Connect(int port) {
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<u_short>(port));
    BOOL noDelay = TRUE;
    setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    DWORD timeoutMs = 5000;
    setsockopt(s_, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs),
               sizeof timeoutMs);
    return connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  // Sends command and returns the first byte of its answer (0 when none came).
  char Transact(const std::string& command) {
    const ecrsim::Bytes frame =
        ecrsim::Simulator::EncodeHexLine(ecrsim::Bytes(command.begin(), command.end()));
    if (send(s_, reinterpret_cast<const char*>(frame.data()), static_cast<int>(frame.size()), 0) !=
        static_cast<int>(frame.size())) {
      return 0;
    }
    // The answer's frame: '@', its code, hex digits, a carriage return.
    char code = 0;
    for (bool started = false;;) {
      char c = 0;
      if (recv(s_, &c, 1, 0) != 1) return 0;
      if (c == '@') {
        started = true;
        code = 0;
      } else if (started && code == 0) {
        code = c;
      } else if (started && c == '\r') {
        return code;
      }
    }
  }

 private:
  SOCKET s_ = INVALID_SOCKET;
};

// A receipt of one item, paid exactly; false when a command was refused.
bool Receipt(HexLineClient& ecr, int n) {
  namespace cmd = ecrcmd;
  const std::string price = std::to_string(100 + n % 900);
  const std::string commands[] = {
      cmd::Build(cmd::kOpenReceipt, {"1"}),
      cmd::Build(cmd::kItem, {"Bread", price, "0", "1", "0", ""}),
      cmd::Build(cmd::kPayment, {price, price, "CASH"}),
      std::string(1, cmd::kCloseReceipt),
  };
  for (const std::string& c : commands) {
    if (ecr.Transact(c) != c[0]) return false;
  }
  return true;
}

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, n);
  return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseOptions(argc, argv, &o)) {
    std::fprintf(stderr, "usage: sim_bench [--receipts N] [--every N] [--idle S]\n");
    return 2;
  }
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  Child sim;
  const std::string port = std::to_string(FreePort());
  if (!sim.Start(L"\"" + OwnDirectory() + L"ecrsim.exe\" --wire hexline --printer --port " +
                 std::wstring(port.begin(), port.end()) + L" --quit-on-eof")) {
    std::fprintf(stderr, "sim_bench: ecrsim.exe did not start\n");
    return 1;
  }
  sim.ReadPort();
  sim.DrainOutput();
  HexLineClient ecr;
  LinuxProcess linux;
  if (!ecr.Connect(std::atoi(port.c_str())) || !linux.Find("--port " + port + " ")) {
    std::fprintf(stderr, "sim_bench: ecrsim.exe not found, or no connection to it\n");
    sim.Stop();
    return 1;
  }
  std::printf("ecrsim.exe --printer, one line per event, %d receipts of 4 commands\n", o.receipts);
  std::printf("%9s %12s %12s %10s %12s\n", "receipts", "heap MB", "resident MB", "idle CPU",
              "receipts/s");
  auto row = [&](int done, double rate) {
    const double before = linux.CpuSeconds();
    std::this_thread::sleep_for(std::chrono::seconds(o.idleSeconds));
    const double idle = (linux.CpuSeconds() - before) / o.idleSeconds * 100.0;
    std::printf("%9d %12.2f %12.2f %9.1f%% %12.0f\n", done, linux.StatusMB("RssAnon"),
                linux.StatusMB("VmRSS"), idle, rate);
    std::fflush(stdout);
  };
  row(0, 0);
  int failures = 0;
  for (int done = 0; done < o.receipts;) {
    const Clock::time_point start = Clock::now();
    const int batch = std::min(o.every, o.receipts - done);
    for (int i = 0; i < batch; ++i) failures += Receipt(ecr, done + i) ? 0 : 1;
    done += batch;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    row(done, batch / seconds);
    if (failures) break;
  }
  sim.Stop();
  if (failures) std::printf("%d receipts failed\n", failures);
  return failures ? 1 : 0;
}
