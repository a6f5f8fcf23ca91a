// A logical device "HostFP" on the reference Service Object over Sandoral,
// against the ECR simulator's virtual fiscal printer; the control and the
// Service Object registered as an installation registers them.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "control_client.h"
#include "ecrsim.h"
#include "support.h"
#include "virtual_printer.h"
#include "win_raii.h"

namespace hosts {

constexpr wchar_t kDevice[] = L"HostFP";
constexpr char kDeviceNarrow[] = "HostFP";

// Runs a command line hidden and waits up to timeoutMs, pumping this
// thread's messages meanwhile (the program may call into this apartment);
// returns its exit code with its standard output and error in `output`, or
// -1 when it could not be started or did not end in time.
DWORD RunCapturing(std::string commandLine, std::string& output, DWORD timeoutMs = 60000);

// The answer of DllCanUnloadNow of a loaded module, by file name.
HRESULT CanUnloadNow(const wchar_t* module);

class HostTest : public ::testing::Test {
 protected:
  HostTest();
  static void SetUpTestSuite();
  void SetUp() override;
  void TearDown() override;

  // A control created as applications create it, by its ProgID.
  kr::ComPtr<IDispatch> CreateByProgId();

  kr::ComInit com_;
  ecrsim::Simulator ecr_;
  std::shared_ptr<ecrsim::VirtualPrinter> printer_;
  kr_test::ScopedOposConfig config_;
};

}  // namespace hosts
