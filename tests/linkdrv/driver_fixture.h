// Sandoral.dll loaded by name and driven through its exports against the
// ECR simulator, plus a real window and callbacks that record what the
// driver notifies.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "ecrsim.h"
#include "framing.h"
#include "link_api.h"

namespace linkdrv_test {

using ecrsim::Bytes;

// The 17 exports, found with GetProcAddress.
struct Driver {
  HMODULE module = nullptr;
  linkdrv::OpenProtFn OpenProt;
  linkdrv::CloseProtFn CloseProt;
  linkdrv::GetLastProtocolErrorFn GetLastProtocolError;
  linkdrv::SetOnRxEventFn SetOnRxEvent;
  linkdrv::SetMessRxEventFn SetMessRxEvent;
  linkdrv::SendDataFn SendData;
  linkdrv::EcrIOFn EcrIO;
  linkdrv::EcrBrdcIOFn EcrBrdcIO;
  linkdrv::GetEcrMessageFn GetEcrMessage;
  linkdrv::GetEcrAnswerFn GetEcrAnswer;
  linkdrv::GetEcrIStatusFn GetEcrIStatus;
  linkdrv::GetLineStatusFn GetLineStatus;
  linkdrv::GetByteCountFn GetByteCount;
  linkdrv::SendStRqFn SendStRq;
  linkdrv::SendStExRqFn SendStExRq;
  linkdrv::SetOnNetChangeEventFn SetOnNetChangeEvent;
  linkdrv::SetMessNetChangeFn SetMessNetChange;

  // Loads the DLL (once per process); false when it or an export is missing.
  static Driver& Get();
  int LastError();
  linkdrv::DriverInfo* Info();
};

// One notification as the window or a callback saw it.
struct Note {
  UINT message;     // the window message id; 0 for a callback
  int kind;         // wParam, or the callback's first argument
  int value;        // lParam, or the callback's second argument
  bool duringCall;  // delivered while a driver call was pumping
};

class NoteWindow {
 public:
  static constexpr UINT kRxMessage = WM_APP + 11;
  static constexpr UINT kNetMessage = WM_APP + 12;
  // Posted to hold this thread for lParam ms inside the next pump.
  static constexpr UINT kSlowMessage = WM_APP + 13;
  NoteWindow();
  ~NoteWindow();
  HWND hwnd() const { return hwnd_; }
  // Pumps this thread's messages for up to ms (until pred holds).
  void Pump(int ms);
  std::vector<Note> Notes(UINT message) const;
  static std::atomic<bool> inCall;  // set by tests around a driver call

 private:
  static LRESULT CALLBACK Proc(HWND, UINT, WPARAM, LPARAM);
  HWND hwnd_ = nullptr;
  static std::vector<Note> notes_;
};

// Records the driver's callbacks (they run on the link thread).
struct CallbackLog {
  static void Install();
  static std::vector<Note> Rx();
  static std::vector<Note> Net();
  static void Clear();
};

class SandoralTest : public ::testing::Test {
 protected:
  SandoralTest() : d(Driver::Get()), ecr(ecrsim::Wire::kHexLine) {}
  void SetUp() override;
  void TearDown() override;

  // OpenProt with the simulator's inline settings and extra settings.
  bool Open(const std::string& extra = "OnLine=1");
  // EcrIO with the command bytes; the answer lands in answer/answerLength.
  int Io(unsigned flags, const Bytes& command, int ecrNumber = 1);
  Bytes AnswerBytes() const { return Bytes(answer, answer + answerLength); }

  Driver& d;
  ecrsim::Simulator ecr;
  char answer[256] = {};
  int answerLength = -1;
  int extra = -1;
};

// A file path in the temporary directory, removed first.
std::string TempPath(const std::string& name);
std::vector<std::string> ReadLines(const std::string& path);
// Time stamps replaced by "T" (and the long date prefix by "D T").
std::vector<std::string> MaskTimes(const std::vector<std::string>& lines);
DWORD ElapsedMs(DWORD start);

}  // namespace linkdrv_test
