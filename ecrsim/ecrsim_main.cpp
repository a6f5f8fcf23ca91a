// ecrsim.exe: the ECR simulator as a program, for manual trials and the demo.
//
//   ecrsim [--wire hexline|hostpc] [--port N] [--printer] [--journal FILE]
//          [--memory FILE] [--quiet] [--answer C:HEX] [--error C:NN]
//          [--noanswer C] [--delay MS] [--status HH] [--mute] [--quit-on-eof]
//          [--help]
//
// --printer puts the virtual fiscal printer behind the link (it executes
// the Kerunel ECR command set); --journal appends its paper roll to FILE;
// --memory keeps its fiscal memory in FILE (by default beside the journal).
// --answer A:410102 answers commands with code 'A' by the bytes 41 01 02;
// --error A:5 answers them with "E" and the error number 5; --delay applies to the
// answers given on the command line. It prints "port N", then one line per
// event (none with --quiet), and runs until Ctrl+C or until it reads "quit"
// (with --quit-on-eof also when its standard input closes, so that it can
// run in the background with no input). Other lines on its standard input
// inject faults (fault_lines.h): "paper out", "paper ok", "near end",
// "cover open", "cover closed", "journal empty", "journal ok", "busy N",
// "drop", "reset", "mute", "unmute", "lose answer", "lose answer drop",
// "work MS", "power off", "power on", "restart", and "spoil C ..." for a
// hostile printer's answers to the commands with code C.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ecrsim.h"
#include "fault_lines.h"
#include "virtual_printer.h"

namespace {

HANDLE g_quit = nullptr;

BOOL WINAPI OnConsoleCtrl(DWORD) {
  SetEvent(g_quit);
  return TRUE;
}

bool HexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Parses pairs of hex digits into bytes; false for anything else.
bool ParseHex(const char* hex, ecrsim::Bytes* bytes) {
  bytes->clear();
  size_t n = std::strlen(hex);
  if (n % 2 != 0) return false;
  for (size_t i = 0; i < n; i += 2) {
    if (!HexDigit(hex[i]) || !HexDigit(hex[i + 1])) return false;
    char pair[3] = {hex[i], hex[i + 1], 0};
    bytes->push_back(static_cast<uint8_t>(std::strtoul(pair, nullptr, 16)));
  }
  return true;
}

// Parses "C:HEX" into the code and the bytes; false when malformed.
bool ParseCodeAndHex(const char* text, uint8_t* code, ecrsim::Bytes* bytes) {
  if (!text[0] || text[1] != ':') return false;
  *code = static_cast<uint8_t>(text[0]);
  return ParseHex(text + 2, bytes);
}

// A whole decimal number from min to max; false for anything else.
bool ParseNumber(const char* text, long min, long max, int* value) {
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < min || v > max) return false;
  *value = static_cast<int>(v);
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

const char kUsage[] =
    "usage: ecrsim [--wire hexline|hostpc] [--port N] [--printer] [--journal FILE]\n"
    "              [--memory FILE] [--quiet] [--answer C:HEX] [--error C:NN] [--noanswer C]\n"
    "              [--delay MS] [--status HH] [--mute] [--quit-on-eof] [--help]\n";

const char kHelp[] =
    "An ECR on 127.0.0.1 for the Kerunel link drivers.\n"
    "\n"
    "  --wire hexline   the wire of Sandoral.dll (the default)\n"
    "  --wire hostpc    the wire of Mirevon.dll\n"
    "  --port N         TCP port, 0 to 65535 (0 or none: a free one; it prints \"port N\")\n"
    "  --printer        the virtual fiscal printer behind the wire (the Kerunel ECR command set)\n"
    "  --journal FILE   the printer's paper roll appended to FILE (implies --printer)\n"
    "  --memory FILE    the printer's fiscal memory kept in FILE, so that a restart goes on\n"
    "                   where it stopped (implies --printer; default: beside the journal,\n"
    "                   with the extension .fiscal; none without a journal)\n"
    "  --quiet          no line per event\n"
    "  --answer C:HEX   answer commands with code C by the bytes HEX (--answer A:410102)\n"
    "  --error C:NN     answer commands C with the error answer E and the error number NN\n"
    "                   (decimal, as docs/ecr-commands.md lists them)\n"
    "  --noanswer C     never answer commands C\n"
    "  --delay MS       delay the answers given above\n"
    "  --status HH      the status byte it reports (hex)\n"
    "  --mute           accept the connection and never speak\n"
    "  --quit-on-eof    end when standard input closes (else only on Ctrl+C or \"quit\")\n"
    "\n"
    "Lines on standard input: quit, paper out, paper ok, near end, cover open, cover closed,\n"
    "journal empty, journal ok, busy N, drop, reset, mute, unmute, lose answer,\n"
    "lose answer drop, work MS, power off, power on, restart.\n"
    "A hostile printer, for the answers to the commands with the code C:\n"
    "  spoil C field N TEXT   field N (0: the status flags) becomes TEXT (\\xHH for any byte)\n"
    "  spoil C twice          each answer sent twice\n"
    "  spoil C oversized N    each answer padded to N bytes\n"
    "  spoil C off            answers as they are again\n";

// Says what is wrong with the command line; returns the exit code 2.
int BadArgument(const std::string& why) {
  std::fprintf(stderr, "ecrsim: %s\n%s", why.c_str(), kUsage);
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
  bool quitOnEof = false;
  std::string journal, memory;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      std::printf("%s\n%s", kUsage, kHelp);
      return 0;
    }
    if (a == "--mute" || a == "--printer" || a == "--quiet" || a == "--quit-on-eof") {
      (a == "--mute"      ? mute
       : a == "--printer" ? withPrinter
       : a == "--quiet"   ? quiet
                          : quitOnEof) = true;
      continue;
    }
    static const char* const kWithValue[] = {"--wire",   "--port",  "--journal",
                                             "--memory", "--delay", "--status",
                                             "--answer", "--error", "--noanswer"};
    bool known = false;
    for (const char* name : kWithValue) known = known || a == name;
    if (!known) return BadArgument("unknown argument " + a);
    if (i + 1 >= argc) return BadArgument(a + " needs a value");
    const char* v = argv[++i];
    const std::string bad = a + " " + v + ": ";
    uint8_t code = 0;
    ecrsim::Bytes bytes;
    if (a == "--wire") {
      if (std::strcmp(v, "hexline") != 0 && std::strcmp(v, "hostpc") != 0) {
        return BadArgument(bad + "the wire is hexline (Sandoral) or hostpc (Mirevon)");
      }
      wire = std::strcmp(v, "hexline") == 0 ? ecrsim::Wire::kHexLine : ecrsim::Wire::kHostPc;
    } else if (a == "--journal") {
      journal = v;
      withPrinter = true;
    } else if (a == "--memory") {
      memory = v;
      withPrinter = true;
    } else if (a == "--port") {
      if (!ParseNumber(v, 0, 65535, &port)) return BadArgument(bad + "not a port (0 to 65535)");
    } else if (a == "--delay") {
      if (!ParseNumber(v, 0, 600000, &delayMs)) {
        return BadArgument(bad + "not a delay in ms (0 to 600000)");
      }
    } else if (a == "--status") {
      if (!ParseHex(v, &bytes) || bytes.size() != 1) {
        return BadArgument(bad + "not one hex byte (00 to FF)");
      }
      status = bytes[0];
    } else if (a == "--answer") {
      if (!ParseCodeAndHex(v, &code, &bytes)) {
        return BadArgument(bad + "not C:HEX (a code, a colon, pairs of hex digits)");
      }
      rules.push_back({code, ecrsim::Reply::Answer(bytes)});
    } else if (a == "--error") {
      int error = 0;
      if (!v[0] || v[1] != ':' || !ParseNumber(v + 2, 1, 255, &error)) {
        return BadArgument(bad + "not C:NN (a code, a colon, an error number 1 to 255)");
      }
      rules.push_back(
          {static_cast<uint8_t>(v[0]), ecrsim::Reply::Error(static_cast<uint8_t>(error))});
    } else {  // --noanswer
      if (!v[0] || v[1]) return BadArgument(bad + "not one code character");
      rules.push_back({static_cast<uint8_t>(v[0]), ecrsim::Reply::NoAnswer()});
    }
  }

  ecrsim::Simulator ecr(wire);
  std::shared_ptr<ecrsim::VirtualPrinter> printer;
  if (withPrinter) {
    if (memory.empty() && !journal.empty()) memory = ecrsim::VirtualPrinter::MemoryPathFor(journal);
    printer = std::make_shared<ecrsim::VirtualPrinter>(journal, memory);
    if (!printer->MemoryError().empty()) {
      std::fprintf(stderr, "ecrsim: %s\n", printer->MemoryError().c_str());
      return 1;
    }
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
  std::thread([&ecr, &printer, quitOnEof] {
    char buffer[256];
    bool quit = false;
    while (!quit && std::fgets(buffer, sizeof buffer, stdin)) {
      std::string line = buffer;
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
      }
      quit = line == "quit";
      if (quit || line.empty()) continue;
      std::printf(ecrsim::InjectFault(line, ecr, printer) ? "ok %s\n" : "unknown: %s\n",
                  line.c_str());
      std::fflush(stdout);
    }
    // Without input (closed, or never given) it runs on until Ctrl+C.
    if (quit || quitOnEof) SetEvent(g_quit);
  }).detach();

  // Only the events since the last look are copied, however long it runs.
  uint64_t shown = 0;
  while (WaitForSingleObject(g_quit, 100) == WAIT_TIMEOUT) {
    if (quiet) continue;
    for (const ecrsim::Event& e : ecr.EventsSince(&shown)) {
      std::printf("%-12s %s%s\n", KindName(e.kind), Hex(e.raw.empty() ? e.message : e.raw).c_str(),
                  e.note.c_str());
    }
    std::fflush(stdout);
  }
  ecr.Stop();
  return 0;
}
