#include "device_command.h"

#include <windows.h>
// After windows.h:
#include <shlobj.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "control_client.h"
#include "opos.h"
#include "registry_settings.h"
#include "settings.h"
#include "win_raii.h"

namespace kcli {
namespace {

constexpr char kClassKey[] = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Kerunel";
constexpr char kDefaultService[] = "Kerunel.FiscalService.1";
constexpr char kDefaultDriver[] = "Sandoral";
constexpr int kExitOk = 0, kExitRefused = 1, kExitUsage = 2;
constexpr size_t kNameMax = 99;  // what the control's 100-byte buffers hold
constexpr long kTestClaimMs = 1000;

// --- Values and their rules -------------------------------------------------

const char* CheckDriver(const char* text) {
  const size_t n = std::strlen(text);
  if (n == 0 || n >= 64) return "not a module name (Sandoral or Mirevon)";
  for (const char* c = text; *c; ++c) {
    if (!isalnum(static_cast<unsigned char>(*c)) && *c != '_' && *c != '-') {
      return "a plain module name without path or .dll (Sandoral or Mirevon)";
    }
  }
  return nullptr;
}

const char* CheckLink(const char* text) {
  if (text[0] != '@') return text[0] ? nullptr : "empty";
  linkdrv::LinkSettings s;
  const int error = linkdrv::ReadInlineSettings(text + 1, std::strlen(text + 1), s);
  return error == linkdrv::kSettingsOk ? nullptr : linkdrv::SettingsErrorText(error);
}

const char* CheckMilliseconds(const char* text) {
  if (!text[0] || std::strlen(text) > 9) return "not a number of milliseconds";
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return "not a number of milliseconds";
  }
  return std::atol(text) > 0 ? nullptr : "not a number of milliseconds";
}

// The Service Object's own values; the link's are linkdrv::kLinkValues.
struct ServiceValue {
  const char* name;
  const char* (*check)(const char* text);
};
constexpr ServiceValue kServiceValues[] = {
    {"LinkDriver", CheckDriver},
    {"Link", CheckLink},
    {"AnswerTimeout", CheckMilliseconds},
    {"ReportTimeout", CheckMilliseconds},
};

// The value's proper spelling, or nullptr when the device key has no such value.
const char* KnownValue(const std::string& name) {
  for (const ServiceValue& v : kServiceValues) {
    if (linkdrv::EqualsNoCase(v.name, name.c_str())) return v.name;
  }
  const linkdrv::LinkValue* link = linkdrv::FindLinkValue(name.c_str());
  return link ? link->name : nullptr;
}

// Why text cannot be the value name, or nullptr.
const char* CheckValue(const char* name, const char* text) {
  for (const ServiceValue& v : kServiceValues) {
    if (linkdrv::EqualsNoCase(v.name, name)) return v.check(text);
  }
  return linkdrv::CheckLinkValue(name, text);
}

// --- The command line -------------------------------------------------------

struct Command {
  std::string verb, name;
  std::vector<std::pair<std::string, std::string>> values;  // proper name, text
  int view = sizeof(void*) == 8 ? 64 : 32;
  std::string service = kDefaultService;
  std::wstring module;
  bool keep = false, create = false;

  bool OwnView() const { return view == (sizeof(void*) == 8 ? 64 : 32); }
  REGSAM Sam() const { return view == 64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }
  const char* Arch() const { return view == 64 ? "x64" : "x86"; }
  std::string ViewText() const { return std::to_string(view) + "-bit registry view"; }
  std::string DeviceKey() const { return std::string(kClassKey) + "\\" + name; }
};

int Usage(const char* why) {
  if (why) std::fprintf(stderr, "kerunel-cli device: %s\n", why);
  std::fprintf(stderr,
               "usage: kerunel-cli device list [--view 32|64]\n"
               "       kerunel-cli device show NAME [--view 32|64]\n"
               "       kerunel-cli device add NAME [Value=Text]... [--keep] [--service PROGID] "
               "[--view 32|64]\n"
               "       kerunel-cli device set NAME Value=Text... [--create] [--view 32|64]\n"
               "       kerunel-cli device remove NAME [--view 32|64]\n"
               "       kerunel-cli device test NAME [--module Kerunel.ocx]\n"
               "Values: LinkDriver, Link, AnswerTimeout, ReportTimeout, ECRIP, ECRPortNumber, "
               "OnLine,\n        StatusCheck, ExtDisplayEcho, LogLevel, LogFileName (\"Value=\" "
               "removes it)\n");
  return kExitUsage;
}

// Parses argv into *c; returns 0, or the exit status of a usage error.
int Parse(int argc, char** argv, Command* c) {
  static const char* const kVerbs[] = {"list", "show", "add", "set", "remove", "test"};
  if (argc < 1) return Usage(nullptr);
  c->verb = argv[0];
  if (c->verb == "--help" || c->verb == "-h") return Usage(nullptr);
  bool known = false;
  for (const char* v : kVerbs) known = known || c->verb == v;
  if (!known) return Usage(("unknown command " + c->verb).c_str());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasNext = i + 1 < argc;
    if (a == "--view" && hasNext) {
      const std::string v = argv[++i];
      if (v != "32" && v != "64") return Usage("--view takes 32 or 64");
      c->view = std::atoi(v.c_str());
    } else if (a == "--service" && hasNext) {
      c->service = argv[++i];
    } else if (a == "--module" && hasNext) {
      const std::string m = argv[++i];
      c->module.assign(m.begin(), m.end());
    } else if (a == "--keep") {
      c->keep = true;
    } else if (a == "--create") {
      c->create = true;
    } else if (a.compare(0, 2, "--") == 0) {
      return Usage(("unknown option " + a).c_str());
    } else if (c->name.empty() && c->verb != "list") {
      c->name = a;
    } else {
      const size_t eq = a.find('=');
      const char* proper = eq == std::string::npos ? nullptr : KnownValue(a.substr(0, eq));
      if (!proper) return Usage(("not a device value: " + a).c_str());
      c->values.emplace_back(proper, a.substr(eq + 1));
    }
  }
  if (c->verb == "list") return 0;
  if (c->name.empty()) return Usage("a device name is missing");
  if (c->name.size() > kNameMax || c->name.find('\\') != std::string::npos) {
    return Usage("a device name is a registry key name of at most 99 characters");
  }
  if (!c->values.empty() && c->verb != "add" && c->verb != "set") {
    return Usage(("device " + c->verb + " takes no values").c_str());
  }
  if (c->verb == "set" && c->values.empty()) return Usage("device set needs Value=Text");
  if (c->verb == "test" && !c->OwnView()) {
    return Usage("a device of the other view is tested by the kerunel-cli of its architecture");
  }
  bool bad = false;
  for (const auto& [name, text] : c->values) {
    const char* why = text.empty() ? nullptr : CheckValue(name.c_str(), text.c_str());
    if (why) {
      std::fprintf(stderr, "kerunel-cli device: %s \"%s\": %s\n", name.c_str(), text.c_str(), why);
      bad = true;
    }
  }
  return bad ? kExitUsage : 0;
}

// --- Registry ---------------------------------------------------------------

// A value as text ("" when absent); a number reads as its decimal text.
std::string ReadText(HKEY key, const char* name, DWORD* type = nullptr) {
  char data[1024];
  DWORD bytes = sizeof data - 1, t = 0;
  if (RegQueryValueExA(key, name, nullptr, &t, reinterpret_cast<BYTE*>(data), &bytes) !=
      ERROR_SUCCESS) {
    return "";
  }
  if (type) *type = t;
  if (t == REG_DWORD && bytes == sizeof(DWORD)) {
    DWORD number;
    std::memcpy(&number, data, sizeof number);
    return std::to_string(number);
  }
  if (t != REG_SZ && t != REG_EXPAND_SZ) return "(not text)";
  data[bytes] = '\0';
  return data;
}

// The names of key's subkeys, or of its values ("" for the default one), in
// the registry's order.
std::vector<std::string> Names(HKEY key, bool values) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[256];
    DWORD size = sizeof name;
    const LONG rc = values ? RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)
                           : RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) return names;
    names.emplace_back(name, size);
  }
}

LONG WriteText(HKEY key, const char* name, const std::string& text) {
  return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(text.size() + 1));
}

// %ProgramData%\Kerunel\NAME-ARCH.log: one file per device and architecture,
// so that a 32-bit and a 64-bit application never contend for one log.
std::string DefaultLogFile(const Command& c) {
  char folder[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder))) return "";
  return std::string(folder) + "\\Kerunel\\" + c.name + "-" + c.Arch() + ".log";
}

bool Has(const Command& c, const char* name) {
  for (const auto& v : c.values) {
    if (v.first == name) return true;
  }
  return false;
}

// Writes c's values into key (an empty text removes the value); a LogLevel
// that logs gets the default log file unless one is given or already there.
int WriteValues(HKEY key, Command& c) {
  std::string level;
  for (const auto& v : c.values) {
    if (v.first == "LogLevel") level = v.second;
  }
  if (!level.empty() && linkdrv::LogLevelFromText(level.c_str()) != 0 && !Has(c, "LogFileName") &&
      ReadText(key, "LogFileName").empty()) {
    const std::string file = DefaultLogFile(c);
    if (file.empty() || file.size() > 79) {
      std::fprintf(stderr,
                   "kerunel-cli device: the default log file %s is longer than the driver "
                   "reads; give LogFileName\n",
                   file.c_str());
      return kExitUsage;
    }
    c.values.emplace_back("LogFileName", file);
  }
  for (const auto& [name, text] : c.values) {
    const LONG rc =
        text.empty() ? RegDeleteValueA(key, name.c_str()) : WriteText(key, name.c_str(), text);
    if (rc != ERROR_SUCCESS && !(text.empty() && rc == ERROR_FILE_NOT_FOUND)) {
      std::fprintf(stderr, "kerunel-cli device: %s cannot be written (error %ld)\n", name.c_str(),
                   static_cast<long>(rc));
      return kExitRefused;
    }
  }
  return kExitOk;
}

bool OpenDevice(const Command& c, REGSAM access, kr::UniqueHKey* key) {
  return RegOpenKeyExA(HKEY_LOCAL_MACHINE, c.DeviceKey().c_str(), 0, access | c.Sam(),
                       key->put()) == ERROR_SUCCESS;
}

int Missing(const Command& c) {
  std::fprintf(stderr, "kerunel-cli device: no device %s in the %s\n", c.name.c_str(),
               c.ViewText().c_str());
  return kExitRefused;
}

// --- The commands -----------------------------------------------------------

int List(const Command& c) {
  kr::UniqueHKey cls;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_READ | c.Sam(), cls.put()) !=
      ERROR_SUCCESS) {
    std::printf("no devices in the %s\n", c.ViewText().c_str());
    return kExitOk;
  }
  for (const std::string& name : Names(cls.get(), false)) {
    kr::UniqueHKey device;
    if (RegOpenKeyExA(cls.get(), name.c_str(), 0, KEY_READ, device.put()) != ERROR_SUCCESS) {
      continue;
    }
    const std::string link = ReadText(device.get(), "Link");
    std::string where = link.empty() ? ReadText(device.get(), "ECRIP") : "Link " + link;
    if (link.empty()) {
      const std::string port = ReadText(device.get(), "ECRPortNumber");
      where += ":" + (port.empty() ? std::string(linkdrv::kDefaultPort) : port);
    }
    const std::string driver = ReadText(device.get(), "LinkDriver");
    std::printf("%s  %s  %s  %s\n", name.c_str(), ReadText(device.get(), nullptr).c_str(),
                (driver.empty() ? kDefaultDriver : driver.c_str()), where.c_str());
  }
  for (const std::string& name : Names(cls.get(), true)) {
    if (!name.empty()) {
      std::printf("%s  alias of %s\n", name.c_str(), ReadText(cls.get(), name.c_str()).c_str());
    }
  }
  return kExitOk;
}

int Show(const Command& c) {
  kr::UniqueHKey device;
  if (!OpenDevice(c, KEY_READ, &device)) return Missing(c);
  std::printf("%s in the %s: HKLM\\%s\n", c.name.c_str(), c.ViewText().c_str(),
              c.DeviceKey().c_str());
  for (const std::string& name : Names(device.get(), true)) {
    DWORD type = 0;
    const std::string text = ReadText(device.get(), name.c_str(), &type);
    const char* known = name.empty() ? "(default)" : KnownValue(name);
    const char* why = known && !name.empty() ? CheckValue(known, text.c_str()) : nullptr;
    std::printf("  %-16s %s%s%s%s\n", name.empty() ? "(default)" : name.c_str(), text.c_str(),
                known ? "" : "   (not read by the Service Object or the link driver)",
                why ? "   ! " : "", why ? why : "");
  }
  // The link as the driver will read it.
  const std::string link = ReadText(device.get(), "Link");
  linkdrv::LinkSettings s;
  const char* reason = nullptr;
  bool ok;
  if (!link.empty() && link[0] == '@') {
    const int error = linkdrv::ReadInlineSettings(link.c_str() + 1, link.size() - 1, s);
    ok = error == linkdrv::kSettingsOk;
    if (!ok) reason = linkdrv::SettingsErrorText(error);
  } else {
    ok = linkdrv::ReadLinkSettings(link.empty() ? c.DeviceKey().c_str() : link.c_str(), c.Sam(), s,
                                   &reason);
  }
  if (!ok) {
    std::printf("link: cannot be opened: %s\n", reason);
  } else {
    std::printf(
        "link: %s port %s, OnLine %d, StatusCheck %d, log %s\n", s.address, s.port, s.onLine,
        s.statusCheck,
        s.logLevel == 0
            ? "off"
            : (std::string(s.logFileName) + " (level " + std::to_string(s.logLevel) + ")").c_str());
  }
  return kExitOk;
}

int Add(Command& c) {
  {
    kr::UniqueHKey existing;
    if (OpenDevice(c, KEY_READ, &existing)) {
      if (c.keep) {
        std::printf("%s exists in the %s: kept as it is\n", c.name.c_str(), c.ViewText().c_str());
        return kExitOk;
      }
      std::fprintf(stderr, "kerunel-cli device: %s exists in the %s; change it with device set\n",
                   c.name.c_str(), c.ViewText().c_str());
      return kExitRefused;
    }
  }
  if (!Has(c, "ECRIP") && !Has(c, "Link")) return Usage("a new device needs ECRIP=... or Link=...");
  if (!Has(c, "LinkDriver")) c.values.emplace(c.values.begin(), "LinkDriver", kDefaultDriver);
  kr::UniqueHKey device;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, c.DeviceKey().c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS | c.Sam(), nullptr, device.put(), nullptr) != ERROR_SUCCESS ||
      WriteText(device.get(), nullptr, c.service) != ERROR_SUCCESS) {
    std::fprintf(stderr, "kerunel-cli device: %s cannot be created (run as administrator)\n",
                 c.name.c_str());
    return kExitRefused;
  }
  const int status = WriteValues(device.get(), c);
  if (status == kExitOk) {
    std::printf("%s added in the %s\n", c.name.c_str(), c.ViewText().c_str());
  } else {
    device.reset();
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, c.DeviceKey().c_str(), c.Sam(), 0);
  }
  return status;
}

int Set(Command& c) {
  kr::UniqueHKey device;
  if (!OpenDevice(c, KEY_ALL_ACCESS, &device)) {
    if (!c.create) return Missing(c);
    c.keep = false;
    return Add(c);
  }
  const int status = WriteValues(device.get(), c);
  if (status == kExitOk) {
    std::printf("%s changed in the %s\n", c.name.c_str(), c.ViewText().c_str());
  }
  return status;
}

int Remove(const Command& c) {
  {
    kr::UniqueHKey device;
    if (!OpenDevice(c, KEY_READ, &device)) return Missing(c);
  }
  kr::UniqueHKey cls;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kClassKey, 0, KEY_ALL_ACCESS | c.Sam(), cls.put()) !=
          ERROR_SUCCESS ||
      RegDeleteTreeA(cls.get(), c.name.c_str()) != ERROR_SUCCESS) {
    std::fprintf(stderr, "kerunel-cli device: %s cannot be removed (run as administrator)\n",
                 c.name.c_str());
    return kExitRefused;
  }
  // Aliases that name the removed key would lead Open nowhere.
  for (const std::string& alias : Names(cls.get(), true)) {
    if (!alias.empty() &&
        linkdrv::EqualsNoCase(ReadText(cls.get(), alias.c_str()).c_str(), c.name.c_str())) {
      RegDeleteValueA(cls.get(), alias.c_str());
      std::printf("alias %s removed\n", alias.c_str());
    }
  }
  std::printf("%s removed from the %s\n", c.name.c_str(), c.ViewText().c_str());
  return kExitOk;
}

// What a failed step most likely means, for the verdict.
struct Hint {
  const char* step;
  long code;
  const char* text;
};
constexpr Hint kHints[] = {
    {"Open", opos::OPOS_E_NOEXIST,
     "no such device in this view, no Service Object in its default value, or a LinkDriver that "
     "cannot be loaded (see device list / device show)"},
    {"Open", opos::OPOS_E_NOSERVICE,
     "the Service Object the device names is not registered for this architecture: install the "
     "kit of the application's architecture"},
    {"Claim", opos::OPOS_E_CLAIMED, "another application has claimed the device"},
    {"Claim", opos::OPOS_E_TIMEOUT, "another application has claimed the device"},
    {"DeviceEnabled", opos::OPOS_E_NOHARDWARE,
     "the ECR cannot be reached: check ECRIP and ECRPortNumber, that the ECR is on, and that "
     "LinkDriver matches its wire; the protocol log's OPEN FAILED line says why"},
    {"DeviceEnabled", opos::OPOS_E_TIMEOUT,
     "the link opened but the ECR did not answer: a wrong LinkDriver for the ECR, or a simulator "
     "started without --printer"},
    {"CheckHealth", opos::OPOS_E_TIMEOUT, "the ECR stopped answering"},
};

int Test(const Command& c) {
  kr::ComInit com;
  ControlClient client;
  const HRESULT hr = client.Create(c.module.empty() ? nullptr : c.module.c_str());
  if (FAILED(hr)) {
    std::fprintf(stderr,
                 "kerunel-cli device: the Kerunel control cannot be created (0x%08lX): install "
                 "the kit of this architecture, or name the control with --module\n",
                 static_cast<unsigned long>(hr));
    return kExitUsage;
  }
  const std::wstring name(c.name.begin(), c.name.end());
  bool opened = false, claimed = false, enabled = false;
  const char* failedStep = nullptr;
  long failedCode = 0;
  // Runs one step; false once a step has failed.
  auto step = [&](const char* what, const std::function<long()>& call) {
    const long code = call();
    const long extended = code == opos::OPOS_E_EXTENDED ? client.Get("ResultCodeExtended") : 0;
    const char* codeName = opos::ResultCodeName(code);
    std::printf("%-14s %ld %s", what, code, codeName ? codeName : "");
    if (extended) std::printf(", extended %ld", extended);
    std::printf("\n");
    if (code == opos::OPOS_SUCCESS) return true;
    const std::wstring error = opened ? client.GetText("ErrorString") : L"";
    if (!error.empty()) std::printf("               %ls\n", error.c_str());
    failedStep = what;
    failedCode = code;
    return false;
  };
  std::printf("testing %s in the %s\n", c.name.c_str(), c.ViewText().c_str());
  std::wstring health;
  bool ok = step("Open", [&] {
    Args a;
    a.Text(name);
    return client.Call("Open", a);
  });
  opened = ok;
  ok = ok && step("Claim", [&] {
         Args a;
         a.Long(kTestClaimMs);
         return client.Call("Claim", a);
       });
  claimed = ok;
  ok = ok && step("DeviceEnabled", [&] {
         client.Set("DeviceEnabled", 1);
         return client.Get("ResultCode");
       });
  enabled = ok;
  ok = ok && step("CheckHealth", [&] {
         Args a;
         a.Long(opos::OPOS_CH_EXTERNAL);
         const long r = client.Call("CheckHealth", a);
         health = client.GetText("CheckHealthText");
         return r;
       });
  if (!health.empty()) std::printf("               %ls\n", health.c_str());
  if (enabled) client.Set("DeviceEnabled", 0);
  if (claimed) client.Call("Release");
  if (opened) client.Call("Close");
  if (ok) {
    std::printf("%s: OK, the printer answers\n", c.name.c_str());
    return kExitOk;
  }
  const char* hint = "see troubleshooting.md in the documentation";
  for (const Hint& h : kHints) {
    if (std::strcmp(h.step, failedStep) == 0 && h.code == failedCode) hint = h.text;
  }
  std::printf("%s: NOT WORKING at %s: %s\n", c.name.c_str(), failedStep, hint);
  return kExitRefused;
}

}  // namespace

int RunDeviceCommand(int argc, char** argv) {
  Command c;
  if (const int usage = Parse(argc, argv, &c)) return usage;
  if (c.verb == "list") return List(c);
  if (c.verb == "show") return Show(c);
  if (c.verb == "add") return Add(c);
  if (c.verb == "set") return Set(c);
  if (c.verb == "remove") return Remove(c);
  return Test(c);
}

}  // namespace kcli
