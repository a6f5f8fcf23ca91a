// ecrsim.exe: the ECR simulator as a program, for manual trials and the demo.
//
//   ecrsim [--wire hexline|hostpc] [--port N] [--printer] [--journal FILE]
//          [--quiet] [--answer C:HEX] [--error C:NN] [--noanswer C]
//          [--delay MS] [--status HH] [--mute]
//
// --printer puts the virtual fiscal printer behind the link (it executes
// the Kerunel ECR command set); --journal appends its paper roll to FILE.
// --answer A:410102 answers commands with code 'A' by the bytes 41 01 02;
// --error A:05 answers them with "E" and the byte 05; --delay applies to the
// answers given on the command line. It prints "port N", then one line per
// event (none with --quiet), and runs until Ctrl+C, until its standard
// input closes, or until it reads "quit". Other lines on its standard input
// inject faults: "paper out", "paper ok", "near end", "cover open",
// "cover closed", "journal empty", "journal ok", "busy N", "drop", "reset",
// "mute", "unmute".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ecrsim.h"
#include "virtual_printer.h"

namespace {

HANDLE g_quit = nullptr;

// Carries out one fault line from standard input; false for an unknown one.
bool Inject(const std::string& line, ecrsim::Simulator& ecr, ecrsim::VirtualPrinter* printer) {
  if (line == "drop") {
    ecr.Close();
  } else if (line == "reset") {
    ecr.Reset();
  } else if (line == "mute" || line == "unmute") {
    ecr.SetMute(line == "mute");
  } else if (!printer) {
    return false;
  } else if (line == "paper out" || line == "paper ok") {
    printer->SetReceiptPaperOut(line == "paper out");
    printer->SetReceiptNearEnd(false);
  } else if (line == "near end") {
    printer->SetReceiptNearEnd(true);
  } else if (line == "cover open" || line == "cover closed") {
    printer->SetCoverOpen(line == "cover open");
  } else if (line == "journal empty" || line == "journal ok") {
    printer->SetJournalEmpty(line == "journal empty");
  } else if (line.rfind("busy ", 0) == 0) {
    printer->SetBusy(std::atoi(line.c_str() + 5));
  } else {
    return false;
  }
  return true;
}

BOOL WINAPI OnConsoleCtrl(DWORD) {
  SetEvent(g_quit);
  return TRUE;
}

// Parses "C:HEX" into the code and the bytes; false when malformed.
bool ParseCodeAndHex(const char* text, uint8_t* code, ecrsim::Bytes* bytes) {
  if (!text[0] || text[1] != ':') return false;
  *code = static_cast<uint8_t>(text[0]);
  bytes->clear();
  const char* hex = text + 2;
  size_t n = std::strlen(hex);
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; i += 2) {
    char pair[3] = {hex[i], hex[i + 1], 0};
    char* end = nullptr;
    unsigned long v = std::strtoul(pair, &end, 16);
    if (*end) return false;
    bytes->push_back(static_cast<uint8_t>(v));
  }
  return true;
}

std::string Hex(const ecrsim::Bytes& bytes) {
  std::string out;
  char b[4];
  for (uint8_t x : bytes) {
    std::snprintf(b, sizeof b, "%02X ", x);
    out += b;
  }
  return out;
}

const char* KindName(ecrsim::EventKind kind) {
  static const char* const kNames[] = {"connected", "disconnected", "command",  "status 1E",
                                       "status-ex", "reply",        "no reply", "bad frame",
                                       "stray",     "sent"};
  return kNames[static_cast<int>(kind)];
}

int Usage() {
  std::fprintf(stderr,
               "usage: ecrsim [--wire hexline|hostpc] [--port N] [--printer] [--journal FILE] "
               "[--quiet] [--answer C:HEX] [--error C:NN] [--noanswer C] [--delay MS] "
               "[--status HH] [--mute]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  ecrsim::Wire wire = ecrsim::Wire::kHexLine;
  int port = 0;
  int delayMs = 0;
  // Rules are applied once the wire is known.
  struct Rule {
    uint8_t code;
    ecrsim::Reply reply;
  };
  std::vector<Rule> rules;
  int status = -1;
  bool mute = false;
  bool withPrinter = false;
  bool quiet = false;
  std::string journal;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    uint8_t code = 0;
    ecrsim::Bytes bytes;
    if (a == "--mute" || a == "--printer" || a == "--quiet") {
      (a == "--mute" ? mute : a == "--printer" ? withPrinter : quiet) = true;
      continue;
    }
    if (!v) return Usage();
    ++i;
    if (a == "--wire" && std::strcmp(v, "hexline") == 0) {
      wire = ecrsim::Wire::kHexLine;
    } else if (a == "--wire" && std::strcmp(v, "hostpc") == 0) {
      wire = ecrsim::Wire::kHostPc;
    } else if (a == "--journal") {
      journal = v;
      withPrinter = true;
    } else if (a == "--port") {
      port = std::atoi(v);
    } else if (a == "--delay") {
      delayMs = std::atoi(v);
    } else if (a == "--status") {
      status = static_cast<int>(std::strtoul(v, nullptr, 16));
    } else if (a == "--answer" && ParseCodeAndHex(v, &code, &bytes)) {
      rules.push_back({code, ecrsim::Reply::Answer(bytes)});
    } else if (a == "--error" && ParseCodeAndHex(v, &code, &bytes) && bytes.size() == 1) {
      rules.push_back({code, ecrsim::Reply::Error(bytes[0])});
    } else if (a == "--noanswer" && v[0] && !v[1]) {
      rules.push_back({static_cast<uint8_t>(v[0]), ecrsim::Reply::NoAnswer()});
    } else {
      return Usage();
    }
  }

  ecrsim::Simulator ecr(wire);
  std::shared_ptr<ecrsim::VirtualPrinter> printer;
  if (withPrinter) {
    printer = std::make_shared<ecrsim::VirtualPrinter>(journal);
    ecr.AttachPrinter(printer);
  }
  for (Rule& r : rules) {
    r.reply.delayMs = delayMs;
    ecr.OnCommand(r.code, r.reply);
  }
  if (status >= 0) ecr.SetStatusByte(static_cast<uint8_t>(status));
  ecr.SetMute(mute);
  uint16_t actual = ecr.Start(static_cast<uint16_t>(port));
  if (actual == 0) {
    std::fprintf(stderr, "ecrsim: cannot listen on port %d\n", port);
    return 1;
  }
  std::printf("port %u\n", actual);
  std::fflush(stdout);

  g_quit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  std::thread([&ecr, &printer] {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
      std::string line = buffer;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
      }
      if (line == "quit") break;
      if (line.empty()) continue;
      std::printf(Inject(line, ecr, printer.get()) ? "ok %s\n" : "unknown: %s\n", line.c_str());
      std::fflush(stdout);
    }
    SetEvent(g_quit);
  }).detach();

  size_t shown = 0;
  while (WaitForSingleObject(g_quit, 100) == WAIT_TIMEOUT) {
    ecrsim::Record r = ecr.Snapshot();
    if (quiet) shown = r.events.size();
    for (; shown < r.events.size(); ++shown) {
      const ecrsim::Event& e = r.events[shown];
      std::printf("%-12s %s%s\n", KindName(e.kind), Hex(e.raw.empty() ? e.message : e.raw).c_str(),
                  e.note.c_str());
    }
    std::fflush(stdout);
  }
  ecr.Stop();
  return 0;
}
