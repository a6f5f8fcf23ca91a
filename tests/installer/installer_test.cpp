// The installers as integrators run them, in a Wine prefix of their own:
// the x64 package installed, used and removed (the COM registration it
// writes compared with the modules' own); devices kept through repair,
// upgrade and uninstall; the option properties' conditions; and both
// architectures' packages side by side, each removed in turn.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <msi.h>
#include <msiquery.h>
#include <oleauto.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
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
const char kClassKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel";
const char kSampleDeviceKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel\\ZV_FPrinter";
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kProductName[] = "Kerunel fiscal printer suite (x64)";
const char kProductNameX86[] = "Kerunel fiscal printer suite (x86)";

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

std::string Msiexec(const char* action, const std::string& extra = "",
                    const char* msi = KERUNEL_MSI) {
  return "msiexec.exe " + std::string(action) + " \"" + WinePath(msi) + "\" /qn" + extra;
}

bool KeyExists(HKEY root, const std::string& path, REGSAM view = 0) {
  kr::UniqueHKey key;
  return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) == ERROR_SUCCESS;
}

// A text value (name null: the default value) in a registry view; "" when absent.
std::string ReadValue(const std::string& path, const char* name, REGSAM view = 0,
                      HKEY root = HKEY_LOCAL_MACHINE) {
  kr::UniqueHKey key;
  char data[512] = {};
  DWORD size = sizeof data;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS ||
      RegGetValueA(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, data, &size) !=
          ERROR_SUCCESS) {
    return "";
  }
  return data;
}

void WriteValue(const std::string& path, const char* name, const std::string& text) {
  RegSetKeyValueA(HKEY_LOCAL_MACHINE, path.c_str(), name, REG_SZ, text.c_str(),
                  static_cast<DWORD>(text.size() + 1));
}

std::string DeviceKey(const std::string& device) {
  return std::string(kClassKey) + "\\" + device;
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
std::vector<std::string> InstalledProducts(const char* product = kProductName) {
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
        std::string(display) == product) {
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

// File names in a folder (no subfolders).
std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  WIN32_FIND_DATAA found;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
  } while (FindNextFileA(find, &found));
  FindClose(find);
  return names;
}

// Every file of the sources' docs/ and docs/samples/ is installed, and
// every relative link of an installed page leads to an installed file.
void ExpectDocsInstalled(const std::string& installDir) {
  const std::string docs = installDir + "\\docs";
  for (const char* sub : {"", "\\samples"}) {
    const std::vector<std::string> sources = FilesIn(WinePath(KERUNEL_DOCS_DIR) + sub);
    EXPECT_FALSE(sources.empty()) << KERUNEL_DOCS_DIR << sub;
    for (const std::string& name : sources) {
      EXPECT_TRUE(FileExists(docs + sub + "\\" + name)) << "docs" << sub << "\\" << name;
    }
  }
  const std::regex link(R"(\]\(([^)#\s]+)[^)]*\))");
  for (const std::string& page : FilesIn(docs)) {
    if (page.size() < 3 || page.compare(page.size() - 3, 3, ".md") != 0) continue;
    std::ifstream in(docs + "\\" + page);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (std::sregex_iterator m(text.begin(), text.end(), link), end; m != end; ++m) {
      std::string target = (*m)[1];
      if (target.find(':') != std::string::npos) continue;  // http:, mailto:
      for (char& c : target) c = c == '/' ? '\\' : c;
      EXPECT_TRUE(FileExists(docs + "\\" + target)) << page << " links to " << target;
    }
  }
}

// The devices the tests configure, in either view.
const char* const kTestDevices[] = {"ZV_FPrinter", "Till1", "Till32"};

// A prefix without the kit or the tests' devices (a run that stopped
// half-way leaves them).
void RemoveEverything() {
  for (const char* product : {kProductName, kProductNameX86}) {
    for (const std::string& code : InstalledProducts(product)) {
      RunProgram("msiexec.exe /x " + code + " /qn", 120000);
    }
  }
  for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
    kr::UniqueHKey cls;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS | view, cls.put()) ==
        ERROR_SUCCESS) {
      for (const char* device : kTestDevices) RegDeleteTreeA(cls.get(), device);
    }
  }
}

TEST(Installer, InstallUseAndUninstallLeaveNothingBehind) {
  RemoveEverything();

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
  ExpectDocsInstalled(kInstallDir);
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
  std::string log = std::string(kLogDir) + "\\ZV_FPrinter-x64.log";
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
  EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kSampleDeviceKey)) << "devices are the integrator's";
  EXPECT_TRUE(InstalledProducts().empty());
  RemoveEverything();
}

// The values of the tests' devices that must outlive every step.
struct Expected {
  const char* device;
  const char* value;  // null: the default value (the Service Object)
  const char* text;
};

void ExpectDevices(const std::vector<Expected>& expected, const std::string& after) {
  for (const Expected& e : expected) {
    EXPECT_EQ(ReadValue(DeviceKey(e.device), e.value), e.text)
        << e.device << " " << (e.value ? e.value : "(default)") << " after " << after;
  }
}

// Devices belong to the integrator: a repair, an upgrade (with or without
// the options again) and the uninstall keep every value, edited or added;
// an install that names a device changes only the values it gives. The
// upgrade installs where the first version went.
TEST(Installer, DevicesOutliveRepairUpgradeAndUninstall) {
  RemoveEverything();
  const std::string dir = "C:\\KerunelTill";
  ASSERT_EQ(RunProgram(Msiexec("/i",
                               " SAMPLEDEVICE=1 DEVICENAME=Till1 ECRIP=10.0.0.9 "
                               "LOGLEVEL=2 INSTALLDIR=" +
                                   dir),
                       120000),
            0u);
  EXPECT_TRUE(FileExists(dir + "\\Kerunel.ocx"));
  std::vector<Expected> expected = {
      {"ZV_FPrinter", nullptr, "Kerunel.FiscalService.1"},
      {"ZV_FPrinter", "LogFileName", "C:\\ProgramData\\Kerunel\\ZV_FPrinter-x64.log"},
      {"Till1", nullptr, "Kerunel.FiscalService.1"},
      {"Till1", "LinkDriver", "Sandoral"},
      {"Till1", "ECRIP", "10.0.0.9"},
      {"Till1", "LogFileName", "C:\\ProgramData\\Kerunel\\Till1-x64.log"},
  };
  ExpectDevices(expected, "the install");
  // The integrator's edits.
  WriteValue(DeviceKey("ZV_FPrinter"), "ECRIP", "10.1.2.3");
  WriteValue(DeviceKey("ZV_FPrinter"), "AnswerTimeout", "5000");
  expected.push_back({"ZV_FPrinter", "ECRIP", "10.1.2.3"});
  expected.push_back({"ZV_FPrinter", "AnswerTimeout", "5000"});

  struct Step {
    const char* what;
    std::string command;
  };
  const Step steps[] = {
      {"a repair with the options again",
       Msiexec("/i", " REINSTALL=ALL REINSTALLMODE=vomus SAMPLEDEVICE=1")},
      {"an upgrade", Msiexec("/i", "", KERUNEL_MSI_NEXT)},
      {"the upgrade again with the sample option",
       Msiexec("/i", " SAMPLEDEVICE=1", KERUNEL_MSI_NEXT)},
      {"an install that names a device",
       Msiexec("/i", " DEVICENAME=Till1 ECRPORT=9101", KERUNEL_MSI_NEXT)},
      {"the uninstall", Msiexec("/x", "", KERUNEL_MSI_NEXT)},
  };
  for (const Step& step : steps) {
    ASSERT_EQ(RunProgram(step.command, 120000), 0u) << step.what;
    if (std::string(step.what) == "an upgrade") {
      EXPECT_EQ(InstalledProducts().size(), 1u) << "the upgrade replaces the first version";
      EXPECT_TRUE(FileExists(dir + "\\Kerunel.ocx")) << "INSTALLDIR remembered";
    }
    if (std::string(step.what) == "an install that names a device") {
      expected.push_back({"Till1", "ECRPortNumber", "9101"});
    }
    ExpectDevices(expected, step.what);
  }
  EXPECT_FALSE(FileExists(dir));
  EXPECT_TRUE(InstalledProducts().empty());
  RemoveEverything();
}

// The options' conditions as the built package holds them, evaluated by
// Windows Installer for each way an integrator may set the properties.
TEST(Installer, OptionConditions) {
  MSIHANDLE package = 0;
  ASSERT_EQ(MsiOpenPackageExA(WinePath(KERUNEL_MSI).c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE,
                              &package),
            static_cast<UINT>(ERROR_SUCCESS));
  auto close = kr::MakeScopeGuard([package] { MsiCloseHandle(package); });
  MSIHANDLE database = MsiGetActiveDatabase(package);
  auto closeDatabase = kr::MakeScopeGuard([database] { MsiCloseHandle(database); });
  // The condition text of one row.
  auto condition = [database](const std::string& query) {
    MSIHANDLE view = 0, record = 0;
    std::string text;
    if (MsiDatabaseOpenViewA(database, query.c_str(), &view) == ERROR_SUCCESS &&
        MsiViewExecute(view, 0) == ERROR_SUCCESS && MsiViewFetch(view, &record) == ERROR_SUCCESS) {
      char buffer[256] = {};
      DWORD size = sizeof buffer;
      MsiRecordGetStringA(record, 1, buffer, &size);
      text = buffer;
    }
    MsiCloseHandle(record);
    MsiCloseHandle(view);
    return text;
  };
  const std::string simulator =
      condition("SELECT `Condition` FROM `Condition` WHERE `Feature_` = 'Simulator'");
  const std::string sample = condition(
      "SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = 'KrSampleDevice'");
  const std::string device = condition(
      "SELECT `Condition` FROM `InstallExecuteSequence` WHERE `Action` = 'KrConfigureDevice'");
  ASSERT_FALSE(simulator.empty() || sample.empty() || device.empty());

  struct Case {
    const char* property;
    const char* value;  // null: not given
    const std::string* condition;
    bool remove;  // during an uninstall
    bool expected;
  };
  const Case cases[] = {
      {"SIMULATOR", nullptr, &simulator, false, false},
      {"SIMULATOR", "0", &simulator, false, false},
      {"SIMULATOR", "1", &simulator, false, true},
      {"SIMULATOR", "yes", &simulator, false, true},
      {"SAMPLEDEVICE", nullptr, &sample, false, false},
      {"SAMPLEDEVICE", "0", &sample, false, false},
      {"SAMPLEDEVICE", "1", &sample, false, true},
      {"SAMPLEDEVICE", "1", &sample, true, false},
      {"DEVICENAME", nullptr, &device, false, false},
      {"DEVICENAME", "Till1", &device, false, true},
      {"DEVICENAME", "Till1", &device, true, false},
  };
  for (const Case& c : cases) {
    MsiSetPropertyA(package, c.property, c.value ? c.value : "");
    MsiSetPropertyA(package, "REMOVE", c.remove ? "ALL" : "");
    EXPECT_EQ(MsiEvaluateConditionA(package, c.condition->c_str()),
              c.expected ? MSICONDITION_TRUE : MSICONDITION_FALSE)
        << c.property << "=" << (c.value ? c.value : "(not given)")
        << (c.remove ? " during an uninstall" : "") << ": " << *c.condition;
    MsiSetPropertyA(package, c.property, "");
  }
}

// Both architectures' packages in one prefix (the x86 one installs without
// running 32-bit code): removing either leaves the other's registration
// whole in its view (ProgIDs, the type library) and every device.
TEST(Installer, BothArchitecturesSideBySide) {
  if (!FileExists(WinePath(KERUNEL_MSI_X86))) GTEST_SKIP() << "no x86 package: build the x86 tree";
  RemoveEverything();
  const std::string bin = WinePath(KERUNEL_BIN_DIR);
  for (const ComServer& server : kComServers) {
    ASSERT_EQ(RunProgram("regsvr32.exe /s \"" + bin + "\\" + server.file + "\""), 0u);
  }
  ComSnapshot selfRegistered(bin);
  for (const ComServer& server : kComServers) {
    ASSERT_EQ(RunProgram("regsvr32.exe /s /u \"" + bin + "\\" + server.file + "\""), 0u);
  }
  const std::string cli = std::string(kInstallDir) + "\\kerunel-cli.exe";
  const std::string x86Dir = "C:\\Program Files (x86)\\Kerunel";
  const std::string x64 = Msiexec("/i", " DEVICENAME=Till1 ECRIP=10.0.0.9");
  const std::string x86 = Msiexec("/i", "", KERUNEL_MSI_X86);
  ASSERT_EQ(RunProgram(x64, 120000), 0u);
  ASSERT_EQ(RunProgram(x86, 120000), 0u);
  // The 32-bit applications' device, by the 64-bit client in the other view.
  ASSERT_EQ(RunProgram("\"" + cli + "\" device add Till32 ECRIP=10.0.0.32 --view 32"), 0u);

  // The 32-bit registration as a 32-bit application sees it.
  auto x86Registered = [&x86Dir](const std::string& after) {
    for (const char* progId : {"KERUNEL.KerunelCtrl.1", "Kerunel.FiscalService.1"}) {
      const std::string clsid =
          ReadValue(std::string(progId) + "\\CLSID", nullptr, KEY_WOW64_32KEY, HKEY_CLASSES_ROOT);
      const std::string server = ReadValue("CLSID\\" + clsid + "\\InprocServer32", nullptr,
                                           KEY_WOW64_32KEY, HKEY_CLASSES_ROOT);
      EXPECT_FALSE(clsid.empty()) << progId << " after " << after;
      EXPECT_TRUE(!server.empty() && FileExists(server))
          << progId << " " << server << " after " << after;
    }
    EXPECT_EQ(ReadValue("TypeLib\\{8EE20050-3975-11D5-8515-00304F03B28E}\\1.0\\409\\win32", nullptr,
                        KEY_WOW64_32KEY, HKEY_CLASSES_ROOT),
              x86Dir + "\\Kerunel.ocx")
        << after;
    EXPECT_EQ(ReadValue(DeviceKey("Till32"), "ECRIP", KEY_WOW64_32KEY), "10.0.0.32") << after;
  };
  x86Registered("both installed");

  // The x86 package removed: the 64-bit registration is whole, and the
  // control and the Service Object are created by their ProgIDs.
  ASSERT_EQ(RunProgram(Msiexec("/x", "", KERUNEL_MSI_X86), 120000), 0u);
  ComSnapshot x64Left(kInstallDir);
  for (const auto& [entry, value] : selfRegistered.entries()) {
    // The help folder in the shared type library key is the last installed
    // package's (the type library has no help file).
    if (entry.find("\\HELPDIR|") != std::string::npos) continue;
    auto it = x64Left.entries().find(entry);
    EXPECT_TRUE(it != x64Left.entries().end() && it->second == value)
        << entry << " = " << value << " lost when the x86 package was removed";
  }
  {
    kr::ComInit com(COINIT_APARTMENTTHREADED);
    for (const wchar_t* progId : {L"KERUNEL.KerunelCtrl.1", L"Kerunel.FiscalService.1"}) {
      CLSID clsid{};
      kr::ComPtr<IDispatch> object;
      EXPECT_EQ(CLSIDFromProgID(progId, &clsid), S_OK) << progId;
      EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                 reinterpret_cast<void**>(object.put())),
                S_OK);
    }
  }
  EXPECT_EQ(ReadValue(DeviceKey("Till1"), "ECRIP"), "10.0.0.9");
  EXPECT_EQ(ReadValue(DeviceKey("Till32"), "ECRIP", KEY_WOW64_32KEY), "10.0.0.32");

  // The x64 package removed with the x86 one back: the 32-bit registration is whole.
  ASSERT_EQ(RunProgram(x86, 120000), 0u);
  ASSERT_EQ(RunProgram(Msiexec("/x"), 120000), 0u);
  x86Registered("the x64 package was removed");
  EXPECT_EQ(ReadValue(DeviceKey("Till1"), "ECRIP"), "10.0.0.9");

  ASSERT_EQ(RunProgram(Msiexec("/x", "", KERUNEL_MSI_X86), 120000), 0u);
  EXPECT_FALSE(FileExists(x86Dir));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, "TypeLib\\{8EE20050-3975-11D5-8515-00304F03B28E}"));
  // Wine keeps a ProgID apart in each view where Windows shares one key: the
  // ProgID rows of the package removed first, while the other still held
  // the shared component, stay behind in Wine's 64-bit view only.
  for (const char* progId : {"KERUNEL.KerunelCtrl.1", "Kerunel.FiscalService.1"}) {
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, progId, KEY_WOW64_32KEY)) << progId;
    RegDeleteTreeA(HKEY_CLASSES_ROOT, progId);
  }
  RemoveEverything();
}

}  // namespace
