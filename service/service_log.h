// The Service Object's own lines in the device's protocol log: the OPOS
// calls it is given and what they return, the ECR commands it sends and
// their answers, and whatever else the Service Object has to say (resyncs,
// faults). They are kind 3 lines ("SOURCE LINE = '...'"), in the file and
// at the level the link's settings name (LogLevel, LogFileName). While the
// link driver has that log open, lines go through the driver's own writer
// so that they stand in order between its lines; otherwise (before the
// link is opened, after it failed or closed) they are appended to the file
// directly. Safe to call from any thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <string>

#include "link_api.h"
#include "win_raii.h"

namespace kso {

class ServiceLog {
 public:
  // Reads where the link logs from its settings: an inline text ("@...")
  // or a key path under HKEY_LOCAL_MACHINE, read with the driver's rules.
  // With no log configured, lines go nowhere.
  void Configure(const std::string& linkSettings);
  // The driver's information table while its link is open (its LogWrite
  // is set while its log is open); nullptr once the link is closed.
  void AttachDriver(const linkdrv::DriverInfo* info);
  bool Enabled() const { return level_.load() != 0; }

  // One line, printf-style; cut to what one log line holds.
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));

 private:
  void Append(const char* text);

  kr::CriticalSection lock_;  // guards file_ and info_, and keeps each line whole
  std::atomic<int> level_{0};
  std::string file_;
  const linkdrv::DriverInfo* info_ = nullptr;
};

// Text as it can stand in a log line: bytes below 0x20 as \xNN, cut after
// limit characters with "...".
std::string LogText(const std::string& text, size_t limit = 120);

}  // namespace kso
