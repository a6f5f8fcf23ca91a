// The system's script host drives the control as a till program does
// (till.vbs): no declared types, by-reference outputs into variables that
// held something else. Events stay with the native tests: this script host
// cannot bind them.
#include <string>

#include "host_fixture.h"

namespace {

using ScriptTest = hosts::HostTest;

TEST_F(ScriptTest, ATillScriptSellsAndReadsItsOutputsBackFromItsOwnVariables) {
  const std::string script = kr_test::WinePath(HOSTS_SOURCE_DIR "/till.vbs");
  std::string output;
  const DWORD code = hosts::RunCapturing(
      "cscript.exe //nologo \"" + script + "\" " + std::string(hosts::kDeviceNarrow), output);
  EXPECT_EQ(0u, code) << output;
  EXPECT_NE(std::string::npos, output.find("GetData Long String 3.60")) << output;
  EXPECT_NE(std::string::npos, output.find("GetVatEntry Long ")) << output;
  EXPECT_NE(std::string::npos, output.find("GetDate String 12")) << output;
  EXPECT_NE(std::string::npos, output.find("done")) << output;
  EXPECT_NE(std::string::npos, printer_->Paper().find("Bread")) << printer_->Paper();
}

}  // namespace
