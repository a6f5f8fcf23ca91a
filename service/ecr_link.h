// The Service Object's hold on a link driver: Sandoral.dll or Mirevon.dll
// loaded by name, its link opened with the device's settings, and one ECR
// transaction per call. Runs on the Service Object's (the application's)
// thread only; the driver pumps that thread's messages while it waits.
#pragma once

#include <windows.h>

#include <string>

#include "link_api.h"
#include "service_log.h"
#include "win_raii.h"

namespace kso {

class EcrLink {
 public:
  // Commands, answers and the driver's log writer go to log.
  explicit EcrLink(ServiceLog& log) : log_(log) {}
  EcrLink(const EcrLink&) = delete;
  EcrLink& operator=(const EcrLink&) = delete;
  ~EcrLink() { Close(); }

  // Loads the driver (a plain module name, looked for next to the Service
  // Object first); returns false with a reason when it or an export is
  // missing.
  bool Load(const std::wstring& driver, std::string* why);
  bool Loaded() const { return static_cast<bool>(module_); }

  // Opens the link (OpenProt) and has line changes posted to window as
  // netMessage; returns 0, or the driver's error (101, 103, 104).
  int Open(const std::string& settings, HWND window, UINT netMessage);
  bool IsOpen() const { return open_; }
  void Close();

  // One command and its answer (EcrIO waiting for it): returns the EcrIO
  // result (0, 1, 2, 4, 8, ...); *extra is its extra result (the ECR's error
  // byte for 8). An ECR that stays silent for answerLimitMs has its socket
  // closed, which ends the driver's wait with 4 within one more slice: a
  // hex line has no status to tell a silent ECR from a busy one, and would
  // otherwise be waited for up to two minutes.
  int Transact(const std::string& command, std::string* answer, int* extra, DWORD answerLimitMs);
  // Closes the link's socket (EcrIO control code -111).
  void CutSocket();

 private:
  kr::UniqueModule module_;
  linkdrv::OpenProtFn openProt_ = nullptr;
  linkdrv::CloseProtFn closeProt_ = nullptr;
  linkdrv::GetLastProtocolErrorFn lastError_ = nullptr;
  linkdrv::EcrIOFn ecrIO_ = nullptr;
  linkdrv::SetMessNetChangeFn setNetMessage_ = nullptr;
  bool open_ = false;
  ServiceLog& log_;
};

}  // namespace kso
