// Each sample .reg file of docs/samples is imported into the registry with
// reg.exe, as a user would, and its device is opened with the driver and
// against a simulator of the wire the sample names. Only the port is moved
// to the simulator's free one; everything else is the file as shipped.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <sstream>
#include <string>

#include "ecrsim.h"
#ifdef KERUNEL_SERVICE
#include "virtual_printer.h"
#endif
#include "link_api.h"
#include "support.h"
#include "win_raii.h"

namespace {

using kr_test::RunProgram;
using kr_test::WinePath;

#ifdef KERUNEL_SERVICE
constexpr bool kServiceBuilt = true;
#else
constexpr bool kServiceBuilt = false;
#endif

const char kDeviceKey[] = "OLEforRetail\\ServiceOPOS\\Kerunel\\ZV_FPrinter";
const char kSamplePort[] = "\"ECRPortNumber\"=\"1470\"";

struct Sample {
  const char* file;
  const char* driver;
  ecrsim::Wire wire;
  const char* view;  // the key the sample writes under HKLM
};

const Sample kSamples[] = {
    {"ZV_FPrinter-Sandoral-x64.reg", "Sandoral", ecrsim::Wire::kHexLine, "SOFTWARE\\"},
    {"ZV_FPrinter-Mirevon-x64.reg", "Mirevon", ecrsim::Wire::kHostPc, "SOFTWARE\\"},
    {"ZV_FPrinter-Sandoral-x86.reg", "Sandoral", ecrsim::Wire::kHexLine, "SOFTWARE\\WOW6432Node\\"},
    {"ZV_FPrinter-Mirevon-x86.reg", "Mirevon", ecrsim::Wire::kHostPc, "SOFTWARE\\WOW6432Node\\"},
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string ReadValue(const std::string& path, const char* name) {
  char buffer[256] = {};
  DWORD size = sizeof buffer;
  if (RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return "(missing)";
  }
  return buffer;
}

TEST(SampleRegFiles, EachImportsAndItsDeviceOpens) {
  kr::ComInit com(COINIT_APARTMENTTHREADED);
#ifdef KERUNEL_SERVICE
  // The control and the reference Service Object registered from this build.
  for (const char* server : {"Kerunel.ocx", "KerunelSO.dll"}) {
    std::string path = WinePath(std::string(KERUNEL_BIN_DIR) + "/" + server);
    ASSERT_EQ(RunProgram("regsvr32.exe /s \"" + path + "\""), 0u) << path;
  }
#endif
  CreateDirectoryA("C:\\ProgramData\\Kerunel", nullptr);  // the samples' log folder
  for (const Sample& sample : kSamples) {
    SCOPED_TRACE(sample.file);
    std::string text = ReadFile(WinePath(std::string(KERUNEL_SAMPLES_DIR) + "/" + sample.file));
    size_t at = text.find(kSamplePort);
    ASSERT_NE(at, std::string::npos);
    ASSERT_EQ(text.find(std::string("[HKEY_LOCAL_MACHINE\\") + sample.view + kDeviceKey),
              text.find("[HKEY"))
        << "the sample's key is not in its registry view";

    ecrsim::Simulator ecr(sample.wire);
#ifdef KERUNEL_SERVICE
    ecr.AttachPrinter(std::make_shared<ecrsim::VirtualPrinter>());
#endif
    uint16_t port = ecr.Start();
    ASSERT_NE(port, 0);
    text.replace(at, sizeof kSamplePort - 1, "\"ECRPortNumber\"=\"" + std::to_string(port) + "\"");
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::string imported = std::string(temp) + sample.file;
    std::ofstream(imported, std::ios::binary) << text;
    ASSERT_EQ(RunProgram("reg.exe import \"" + imported + "\""), 0u);

    std::string path = std::string(sample.view) + kDeviceKey;
    EXPECT_EQ(ReadValue(path, "LinkDriver"), sample.driver);
    std::string log = ReadValue(path, "LogFileName");
    DeleteFileA(log.c_str());

    bool nativeView = std::string(sample.view) == "SOFTWARE\\";
#ifdef KERUNEL_SERVICE
    if (nativeView) {
      // As an application opens it: the control, the reference Service
      // Object, the driver the sample names, the virtual printer.
      EXPECT_EQ(kr_test::UseDeviceThroughControl(L"ZV_FPrinter"), "");
    }
#endif
    if (!nativeView || !kServiceBuilt) {
      // The 32-bit view cannot be reached through this 64-bit control: the
      // device key, as the link's configuration, opened with its driver.
      kr::UniqueModule driver(LoadLibraryA((std::string(sample.driver) + ".dll").c_str()));
      ASSERT_TRUE(driver);
      auto openProt = reinterpret_cast<linkdrv::OpenProtFn>(
          reinterpret_cast<void*>(GetProcAddress(driver.get(), "OpenProt")));
      auto closeProt = reinterpret_cast<linkdrv::CloseProtFn>(
          reinterpret_cast<void*>(GetProcAddress(driver.get(), "CloseProt")));
      auto lastError = reinterpret_cast<linkdrv::GetLastProtocolErrorFn>(
          reinterpret_cast<void*>(GetProcAddress(driver.get(), "GetLastProtocolError")));
      int error = -1;
      EXPECT_TRUE(openProt(path.c_str(), 0) || (lastError(&error, nullptr), false)) << error;
      EXPECT_TRUE(closeProt(0));
    }
    EXPECT_EQ(ecr.GetCounters().connections, 1);
    EXPECT_NE(ReadFile(log).find("LOG OPEN"), std::string::npos) << "no protocol log in " << log;

    RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    DeleteFileA(imported.c_str());
  }
}

}  // namespace
