#include "fault_lines.h"

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

}  // namespace

bool InjectFault(const std::string& line, Simulator& ecr,
                 const std::shared_ptr<VirtualPrinter>& printer) {
  int n = 0;
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
