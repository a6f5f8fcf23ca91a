// A link's settings read from a registry key, value by value, with the
// driver's rules: each value is text of bounded length (a number stored as
// REG_DWORD reads as its decimal text). Shared by the link drivers, the
// reference Service Object (where its log lines go) and kerunel-cli (which
// checks what it writes against the same rules).
#pragma once

#include <windows.h>

#include <cstddef>

#include "settings.h"

namespace linkdrv {

// The registry values of a link and the longest text each can hold; a longer
// text does not fit the driver's field and counts as absent.
struct LinkValue {
  const char* name;
  size_t longest;
};
constexpr LinkValue kLinkValues[] = {
    {"ECRIP", 17},      {"ECRPortNumber", 9}, {"ExtDisplayEcho", 3}, {"OnLine", 2},
    {"StatusCheck", 9}, {"LogLevel", 2},      {"LogFileName", 79},
};

// The value's rule, or nullptr when name is not a link value (case-insensitive).
const LinkValue* FindLinkValue(const char* name);

// Reads the link settings from key path under HKEY_LOCAL_MACHINE in the
// given registry view (0: the caller's own, or KEY_WOW64_32KEY /
// KEY_WOW64_64KEY) into settings, cleared first; returns false with *reason
// when the key cannot be opened or ECRIP cannot be read (the other values
// are read all the same).
bool ReadLinkSettings(const char* path, REGSAM view, LinkSettings& settings, const char** reason);

// Why text cannot serve as the link value name, or nullptr when the driver
// takes it: too long for its field, an address the driver cannot connect
// to, a port out of 1 to 65535, a log level that is not "NO" or a number.
const char* CheckLinkValue(const char* name, const char* text);

}  // namespace linkdrv
