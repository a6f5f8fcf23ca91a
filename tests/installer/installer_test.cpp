// The x64 installer as a user runs it: msiexec /qn with the sample device
// and the simulator, the control created by its ProgID, the sample device
// opened against the installed simulator, then msiexec /x, after which no
// file and no registry entry of the kit is left. On the way, the COM
// registration that the installer writes is compared with the one that
// the control's own DllRegisterServer writes.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <oleauto.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "link_api.h"
#include "support.h"
#include "win_raii.h"

namespace {

using kr_test::RunProgram;
using kr_test::WinePath;

const char kInstallDir[] = "C:\\Program Files\\Kerunel";
const char kLogDir[] = "C:\\ProgramData\\Kerunel";
const char kSampleDeviceKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\ZV_FPrinter";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kProductName[] = "Kerunel fiscal printer suite (x64)";

// The COM servers and the keys each registers under HKEY_CLASSES_ROOT.
struct ComServer {
  const char* file;
  std::vector<const char*> keys;
};
const ComServer kComServers[] = {
    {"Kerunel.ocx",
     {"KERUNEL.KerunelCtrl.1", "CLSID\\{8EE20053-3975-11D5-8515-00304F03B28E}",
      "CLSID\\{8EE20054-3975-11D5-8515-00304F03B28E}",
      "TypeLib\\{8EE20050-3975-11D5-8515-00304F03B28E}",
      "Interface\\{8EE20051-3975-11D5-8515-00304F03B28E}",
      "Interface\\{8EE20052-3975-11D5-8515-00304F03B28E}"}},
#ifdef KERUNEL_SERVICE
    {"KerunelSO.dll", {"Kerunel.FiscalService.1", "CLSID\\{6F7293C1-B42A-41BD-8119-91F4527AC72C}"}},
#endif
};

std::string Msiexec(const char* action, const std::string& extra = "") {
  return "msiexec.exe " + std::string(action) + " \"" + WinePath(KERUNEL_MSI) + "\" /qn" + extra;
}

bool KeyExists(HKEY root, const std::string& path) {
  kr::UniqueHKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool FileExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ShortPath(const std::string& path) {
  char buffer[MAX_PATH] = {};
  DWORD n = GetShortPathNameA(path.c_str(), buffer, sizeof buffer);
  return n > 0 && n < sizeof buffer ? buffer : path;
}

// Every key and text value under the COM servers' keys, with the modules'
// paths (long or short form) replaced by <file name> and their folder by
// <dir>; an empty default value counts as no value.
class ComSnapshot {
 public:
  explicit ComSnapshot(std::string dir) {
    for (const ComServer& server : kComServers) {
      std::string module = dir + "\\" + server.file;
      replacements_.push_back({module, std::string("<") + server.file + ">"});
      replacements_.push_back({ShortPath(module), std::string("<") + server.file + ">"});
    }
    replacements_.push_back({dir, "<dir>"});
    replacements_.push_back({ShortPath(dir), "<dir>"});
    for (const ComServer& server : kComServers) {
      for (const char* key : server.keys) Walk(key);
    }
  }
  const std::map<std::string, std::string>& entries() const { return entries_; }

 private:
  std::string Normalize(std::string value) const {
    for (const auto& r : replacements_) {
      if (value.compare(0, r.first.size(), r.first) == 0) {
        value = r.second + value.substr(r.first.size());
        break;
      }
    }
    if (value == "<dir>\\") value = "<dir>";
    return value;
  }

  void Walk(const std::string& path) {
    kr::UniqueHKey key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
      return;
    }
    entries_[path] = "(key)";
    for (DWORD i = 0;; ++i) {
      char name[256], data[1024];
      DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
      if (RegEnumValueA(key.get(), i, name, &nameSize, nullptr, &type,
                        reinterpret_cast<BYTE*>(data), &dataSize) != ERROR_SUCCESS) {
        break;
      }
      std::string value = type == REG_SZ ? std::string(data, strnlen(data, dataSize)) : "(binary)";
      if (nameSize == 0 && value.empty()) continue;
      entries_[path + "|" + name] = Normalize(value);
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
      char name[256];
      DWORD nameSize = sizeof name;
      if (RegEnumKeyExA(key.get(), i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
          ERROR_SUCCESS) {
        break;
      }
      children.push_back(name);
    }
    for (const std::string& child : children) Walk(path + "\\" + child);
  }

  std::vector<std::pair<std::string, std::string>> replacements_;
  std::map<std::string, std::string> entries_;
};

// The product codes of every installed copy of this installer (an earlier
// build has another product code).
std::vector<std::string> InstalledProducts() {
  std::vector<std::string> codes;
  kr::UniqueHKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return codes;
  }
  for (DWORD i = 0;; ++i) {
    char name[256], display[256] = {};
    DWORD nameSize = sizeof name, displaySize = sizeof display;
    if (RegEnumKeyExA(key.get(), i, name, &nameSize, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      return codes;
    }
    if (RegGetValueA(key.get(), name, "DisplayName", RRF_RT_REG_SZ, nullptr, display,
                     &displaySize) == ERROR_SUCCESS &&
        std::string(display) == kProductName) {
      codes.push_back(name);
    }
  }
}

// The installed simulator, started with a free port; stopped when destroyed.
class InstalledSimulator {
 public:
  explicit InstalledSimulator(const std::string& wire) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read = nullptr, write = nullptr;
    if (!CreatePipe(&read, &write, &inherit, 0)) return;
    kr::UniqueHandle readEnd(read), writeEnd(write);
    SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = write;
    startup.hStdError = write;
    std::string command =
        "\"" + std::string(kInstallDir) + "\\ecrsim.exe\" --wire " + wire + " --port 0";
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process)) {
      return;
    }
    process_.reset(process.hProcess);
    CloseHandle(process.hThread);
    writeEnd.reset();
    // Its first line: "port N".
    std::string line;
    char c;
    DWORD got = 0;
    while (line.size() < 64 && ReadFile(read, &c, 1, &got, nullptr) && got == 1 && c != '\n') {
      line += c;
    }
    if (line.compare(0, 5, "port ") == 0) port_ = std::atoi(line.c_str() + 5);
    output_ = std::move(readEnd);
  }
  ~InstalledSimulator() {
    if (process_) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  int port() const { return port_; }

 private:
  kr::UniqueHandle process_, output_;
  int port_ = 0;
};

TEST(Installer, InstallUseAndUninstallLeaveNothingBehind) {
  // A run that stopped half-way left it installed.
  for (const std::string& code : InstalledProducts()) RunProgram("msiexec.exe /x " + code + " /qn");

  // What the servers' own registration writes, for comparison.
  std::string bin = WinePath(KERUNEL_BIN_DIR);
  auto regsvr32 = [&bin](const char* options) {
    for (const ComServer& server : kComServers) {
      ASSERT_EQ(RunProgram("regsvr32.exe " + std::string(options) + " \"" + bin + "\\" +
                           server.file + "\""),
                0u)
          << server.file;
    }
  };
  regsvr32("/s");
  ComSnapshot selfRegistered(bin);
  regsvr32("/s /u");
  for (const ComServer& server : kComServers) {
    for (const char* key : server.keys) ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
  }

  // Without the two properties: no sample device, no simulator.
  ASSERT_EQ(RunProgram(Msiexec("/i"), 120000), 0u);
  EXPECT_TRUE(FileExists(std::string(kInstallDir) + "\\Kerunel.ocx"));
  EXPECT_FALSE(FileExists(std::string(kInstallDir) + "\\ecrsim.exe"));
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSampleDeviceKey));
  ASSERT_EQ(RunProgram(Msiexec("/x"), 120000), 0u);
  EXPECT_FALSE(FileExists(kInstallDir));

  ASSERT_EQ(RunProgram(Msiexec("/i", " SAMPLEDEVICE=1 SIMULATOR=1"), 120000), 0u);
  std::vector<kr_test::Deliverable> files = kr_test::ReadDeliverables(KERUNEL_DELIVERABLES);
  ASSERT_FALSE(files.empty());
  for (const kr_test::Deliverable& d : files) {
    EXPECT_TRUE(FileExists(std::string(kInstallDir) + "\\" + d.file)) << d.file;
  }
  for (const char* doc : {"docs\\README.md", "docs\\configuring.md", "docs\\LICENSE",
                          "docs\\CHANGELOG.md", "docs\\samples\\ZV_FPrinter-Sandoral-x64.reg"}) {
    EXPECT_TRUE(FileExists(std::string(kInstallDir) + "\\" + doc)) << doc;
  }
  EXPECT_EQ(InstalledProducts().size(), 1u);

  ComSnapshot installed(kInstallDir);
  for (const auto& [entry, value] : selfRegistered.entries()) {
    auto it = installed.entries().find(entry);
    EXPECT_TRUE(it != installed.entries().end() && it->second == value)
        << entry << " = " << value << " after regsvr32, "
        << (it == installed.entries().end() ? "missing" : it->second) << " after the installer";
  }
  for (const auto& [entry, value] : installed.entries()) {
    EXPECT_TRUE(selfRegistered.entries().count(entry))
        << entry << " = " << value << " written by the installer only";
  }

  // The control by its ProgID, and its type library where it was installed.
  {
    kr::ComInit com(COINIT_APARTMENTTHREADED);
    CLSID clsid{};
    ASSERT_EQ(CLSIDFromProgID(L"KERUNEL.KerunelCtrl.1", &clsid), S_OK);
    kr::ComPtr<IDispatch> control;
    ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(control.put())),
              S_OK);
    BSTR path = nullptr;
    const GUID libid = {
        0x8EE20050, 0x3975, 0x11D5, {0x85, 0x15, 0x00, 0x30, 0x4F, 0x03, 0xB2, 0x8E}};
    ASSERT_EQ(QueryPathOfRegTypeLib(libid, 1, 0, 0x409, &path), S_OK);
    kr::UniqueBstr pathOwner(path);
    EXPECT_EQ(std::wstring(path), L"C:\\Program Files\\Kerunel\\Kerunel.ocx");
  }

  // The sample device against the installed simulator (on a free port).
  {
#ifdef KERUNEL_SERVICE
    InstalledSimulator ecr("hexline --printer");  // the virtual printer behind the wire
#else
    InstalledSimulator ecr("hexline");
#endif
    ASSERT_NE(ecr.port(), 0);
    std::string port = std::to_string(ecr.port());
    kr::UniqueHKey device;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSampleDeviceKey, 0, KEY_ALL_ACCESS, device.put()),
              ERROR_SUCCESS);
    RegSetValueExA(device.get(), "ECRPortNumber", 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(port.c_str()),
                   static_cast<DWORD>(port.size() + 1));
#ifdef KERUNEL_SERVICE
    // As an application does: the control, the reference Service Object, the link.
    kr::ComInit com(COINIT_APARTMENTTHREADED);
    EXPECT_EQ(kr_test::UseDeviceThroughControl(L"ZV_FPrinter"), "");
#else
    // The device key is the link's configuration: open it with its driver.
    char driverName[64] = {};
    DWORD size = sizeof driverName;
    ASSERT_EQ(RegGetValueA(device.get(), nullptr, "LinkDriver", RRF_RT_REG_SZ, nullptr, driverName,
                           &size),
              ERROR_SUCCESS);
    kr::UniqueModule driver(
        LoadLibraryA((std::string(kInstallDir) + "\\" + driverName + ".dll").c_str()));
    ASSERT_TRUE(driver);
    auto openProt = reinterpret_cast<linkdrv::OpenProtFn>(
        reinterpret_cast<void*>(GetProcAddress(driver.get(), "OpenProt")));
    auto closeProt = reinterpret_cast<linkdrv::CloseProtFn>(
        reinterpret_cast<void*>(GetProcAddress(driver.get(), "CloseProt")));
    ASSERT_TRUE(openProt && closeProt);
    EXPECT_TRUE(openProt(kSampleDeviceKey, 0));
    EXPECT_TRUE(closeProt(0));
#endif
  }
  std::string log = std::string(kLogDir) + "\\ZV_FPrinter.log";
  std::ifstream logFile(log);
  std::stringstream logText;
  logText << logFile.rdbuf();
  EXPECT_NE(logText.str().find("LOG OPEN"), std::string::npos) << log;
  logFile.close();
  DeleteFileA(log.c_str());  // logs are the user's: the uninstall leaves them

  ASSERT_EQ(RunProgram(Msiexec("/x"), 120000), 0u);
  EXPECT_FALSE(FileExists(kInstallDir));
  EXPECT_FALSE(FileExists(kLogDir));
  for (const ComServer& server : kComServers) {
    for (const char* key : server.keys) EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key;
  }
  EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSampleDeviceKey));
  EXPECT_TRUE(InstalledProducts().empty());
}

}  // namespace
