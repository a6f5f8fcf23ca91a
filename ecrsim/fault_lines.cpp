#include "fault_lines.h"

#include <cctype>
#include <cstdlib>

namespace ecrsim {
namespace {

// The number after a prefix ("busy 3"); false when the line is not that.
bool NumberAfter(const std::string& line, const char* prefix, int* value) {
  const std::string p = prefix;
  if (line.compare(0, p.size(), p) != 0 || line.size() == p.size()) return false;
  char* end = nullptr;
  const long v = std::strtol(line.c_str() + p.size(), &end, 10);
  if (*end != '\0' || v < 0 || v > 600000) return false;
  *value = static_cast<int>(v);
  return true;
}

// Text with \xHH for bytes a line cannot carry (\x00).
std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0 && i + 3 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 3]))) {
      out += static_cast<char>(std::strtol(text.substr(i + 2, 2).c_str(), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// "spoil C field N TEXT", "spoil C twice", "spoil C oversized N" or
// "spoil C off"; false for a line that is none of them.
bool Spoiled(const std::string& line, Simulator& ecr) {
  if (line.size() < 9 || line.compare(0, 6, "spoil ") != 0 || line[7] != ' ') return false;
  const uint8_t code = static_cast<uint8_t>(line[6]);
  const std::string how = line.substr(8);
  Spoil spoil;
  int n = 0;
  if (how == "twice") {
    spoil.kind = Spoil::kTwice;
  } else if (NumberAfter(how, "oversized ", &n) && n >= 1 && n <= 4096) {
    spoil.kind = Spoil::kOversized;
    spoil.bytes = static_cast<size_t>(n);
  } else if (how.compare(0, 6, "field ") == 0) {
    const size_t blank = how.find(' ', 6);
    if (!NumberAfter(how.substr(0, blank), "field ", &n) || n > 64) return false;
    spoil.kind = Spoil::kField;
    spoil.field = n;
    spoil.text = blank == std::string::npos ? "" : Unescaped(how.substr(blank + 1));
  } else if (how != "off") {
    return false;
  }
  ecr.SpoilAnswers(code, spoil);
  return true;
}

}  // namespace

bool InjectFault(const std::string& line, Simulator& ecr,
                 const std::shared_ptr<VirtualPrinter>& printer) {
  int n = 0;
  if (line.compare(0, 6, "spoil ") == 0) return Spoiled(line, ecr);
  if (line == "drop") {
    ecr.Close();
  } else if (line == "reset") {
    ecr.Reset();
  } else if (line == "mute" || line == "unmute") {
    ecr.SetMute(line == "mute");
  } else if (line == "lose answer" || line == "lose answer drop") {
    ecr.LoseNextAnswer(line == "lose answer drop");
  } else if (NumberAfter(line, "work ", &n)) {
    ecr.WorkOnNext(n);
  } else if (line == "power off" || line == "power on" || line == "restart") {
    // Off: the link and the port go at once, and the printer stores
    // nothing more. On: it comes back with what its memory holds.
    if (line != "power on") {
      if (printer) printer->PowerCut();
      ecr.PowerOff();
    }
    if (line != "power off") {
      if (printer) printer->PowerOn();
      ecr.PowerOn(printer);
    }
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
  } else if (NumberAfter(line, "busy ", &n)) {
    printer->SetBusy(n);
  } else {
    return false;
  }
  return true;
}

}  // namespace ecrsim
