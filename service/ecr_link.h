// The Service Object's hold on a link driver: Sandoral.dll or Mirevon.dll
// loaded by name, its link opened with the device's settings, and one ECR
// transaction per call. Runs on the Service Object's own thread only
// (service_thread.h); the driver pumps that thread's messages while it
// waits.
#pragma once

#include <windows.h>

#include <string>

#include "link_api.h"
#include "service_log.h"
#include "win_raii.h"

namespace kso {

// The exports of a link driver, loaded once for the process.
struct DriverExports {
  linkdrv::OpenProtFn openProt;
  linkdrv::CloseProtFn closeProt;
  linkdrv::GetLastProtocolErrorFn lastError;
  linkdrv::EcrIOFn ecrIO;
  linkdrv::SetMessNetChangeFn setNetMessage;
  linkdrv::SendStRqFn statusRequest;
};

// Frees the drivers that no link uses: when COM asks whether this module
// can be unloaded and it can.
void ReleaseUnusedDrivers();

class EcrLink {
 public:
  // Commands, answers and the driver's log writer go to log.
  explicit EcrLink(ServiceLog& log) : log_(log) {}
  EcrLink(const EcrLink&) = delete;
  EcrLink& operator=(const EcrLink&) = delete;
  ~EcrLink();

  // Loads the driver (a plain module name, looked for next to the Service
  // Object first), or takes the one loaded before: a driver is loaded once
  // and kept while this module is in use, not loaded and freed per device.
  // Returns false with a reason when it or an export is missing.
  bool Load(const std::wstring& driver, std::string* why);
  bool Loaded() const { return driver_ != nullptr; }

  // Opens the link (OpenProt) and has line changes posted to window as
  // netMessage; returns 0, or the driver's error (101, 103, 104).
  int Open(const std::string& settings, HWND window, UINT netMessage);
  bool IsOpen() const { return open_; }
  void Close();

  // One command and its answer (EcrIO waiting for it): returns the EcrIO
  // result (0, 1, 2, 4, 8, ...); *extra is its extra result (the ECR's error
  // byte for 8). silenceLimitMs is how long the ECR may say nothing: the
  // driver's status request at the end of each answer slice (2 s) shows
  // whether it is at work (status 0x20), which starts the limit again; at
  // the first slice end past the limit the link is closed and the call
  // returns 4 at once. The hex line has no status, so there the limit is the
  // command's whole length. The driver's own limit (120 s, also restarted
  // while the ECR is at work) is the ceiling.
  int Transact(const std::string& command, std::string* answer, int* extra, DWORD silenceLimitMs);
  // True when the ECR's status says it is working on a command.
  bool EcrAtWork();

 private:
  const DriverExports* driver_ = nullptr;  // loaded while this link uses it
  bool open_ = false;
  ServiceLog& log_;
};

}  // namespace kso
