#include "registry_settings.h"

#include <winsock2.h>

#include <cstdio>
#include <cstring>

#include "win_raii.h"

namespace linkdrv {
namespace {

constexpr size_t kLongestText = kAddressSize + kLogFileNameSize;

// Reads one value as text into buffer[size]; false when it is missing, of
// another type, or does not fit.
bool ReadText(HKEY key, const char* name, char* buffer, DWORD size) {
  DWORD type = 0;
  union {
    char text[kLongestText];
    DWORD number;
  } data;
  DWORD bytes = sizeof data;
  if (size > sizeof data.text ||
      RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &bytes) !=
          ERROR_SUCCESS) {
    return false;
  }
  if (type == REG_DWORD && bytes == sizeof(DWORD)) {
    return std::snprintf(buffer, size, "%lu", static_cast<unsigned long>(data.number)) <
           static_cast<int>(size);
  }
  if ((type != REG_SZ && type != REG_EXPAND_SZ) || bytes == 0) return false;
  if (data.text[bytes - 1] == '\0') --bytes;  // the terminator, when stored
  if (bytes + 1 > size) return false;         // no room for the terminator: does not fit
  std::memcpy(buffer, data.text, bytes);
  buffer[bytes] = '\0';
  return true;
}

// Reads the named link value into buffer (its longest text and a terminator).
bool Read(HKEY key, const char* name, char* buffer) {
  return ReadText(key, name, buffer, static_cast<DWORD>(FindLinkValue(name)->longest + 1));
}

}  // namespace

const LinkValue* FindLinkValue(const char* name) {
  for (const LinkValue& v : kLinkValues) {
    if (EqualsNoCase(v.name, name)) return &v;
  }
  return nullptr;
}

bool ReadLinkSettings(const char* path, REGSAM view, LinkSettings& s, const char** reason) {
  ClearSettings(s);
  kr::UniqueHKey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
    *reason = "the registry key cannot be opened under HKEY_LOCAL_MACHINE";
    return false;
  }
  bool address = Read(key.get(), "ECRIP", s.address);
  if (!Read(key.get(), "ECRPortNumber", s.port)) std::strcpy(s.port, kDefaultPort);
  char text[10];
  s.extDisplayEcho = Read(key.get(), "ExtDisplayEcho", text) ? ExtDisplayEchoFromText(text) : 0;
  s.onLine = Read(key.get(), "OnLine", text) ? OnLineFromText(text) : 1;
  s.statusCheck = Read(key.get(), "StatusCheck", text) ? StatusCheckFromText(text) : 0;
  s.logLevel = Read(key.get(), "LogLevel", text) ? LogLevelFromText(text) : 0;
  if (s.logLevel != 0 && !Read(key.get(), "LogFileName", s.logFileName)) {
    s.logLevel = 0;
    s.logFileName[0] = '\0';
  }
  if (!address) {
    s.address[0] = '\0';
    *reason = "ECRIP is missing, not text, or longer than 17 characters";
  }
  return address;
}

const char* CheckLinkValue(const char* name, const char* text) {
  const LinkValue* value = FindLinkValue(name);
  if (!value) return "not a value of the link";
  if (std::strlen(text) > value->longest) return "longer than the driver reads";
  if (EqualsNoCase(name, "ECRIP")) {
    // The driver connects to what inet_addr takes; it resolves no names.
    if (inet_addr(text) == INADDR_NONE) return "not an IPv4 address (dotted, such as 10.0.0.5)";
  } else if (EqualsNoCase(name, "ECRPortNumber")) {
    unsigned short port = 0;
    if (!ParsePort(text, &port)) return "not a port (1 to 65535)";
  } else if (EqualsNoCase(name, "LogLevel")) {
    if (!EqualsNoCase(text, "NO") && (text[0] < '0' || text[0] > '9')) {
      return "not a level (NO, 0, 1 or 2)";
    }
  } else if (EqualsNoCase(name, "LogFileName")) {
    if (text[0] == '\0') return "empty";
  }
  return nullptr;
}

}  // namespace linkdrv
