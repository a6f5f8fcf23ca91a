// Link configuration: the fields a link is opened with, the inline
// "@Key=Value,..." parser and the interpretation of registry value texts.
// No Windows headers here: the parser also builds natively for fuzzing.
#pragma once

#include <cstddef>

namespace linkdrv {

constexpr size_t kAddressSize = 18;      // dotted IPv4 text and terminator
constexpr size_t kPortSize = 12;         // decimal port text and terminator
constexpr size_t kLogFileNameSize = 80;  // log file name and terminator
constexpr const char kDefaultPort[] = "1470";
constexpr const char kDefaultAddress[] = "192.168.1.10";
constexpr const char kDefaultLogFileName[] = "PROT_LOG.TXT";

struct LinkSettings {
  char address[kAddressSize];
  char port[kPortSize];
  int onLine;  // configured value; the effective value starts equal
  int extDisplayEcho;
  int statusCheck;
  int logLevel;  // 0: no log; 1: with hex dumps; other: without
  char logFileName[kLogFileNameSize];
};

// Why an inline text was refused.
enum SettingsError {
  kSettingsOk = 0,
  kSettingsQuoteInKey = 2,    // a quote inside a key
  kSettingsBadQuote = 3,      // a quote not opening the value, or never closed
  kSettingsBadValue = 4,      // value too long, or unquoted and not a number
  kSettingsValueTooLong = 5,  // an address, port or file name that does not fit its field
};

// Everything zero/empty (the state of a link that was never configured).
void ClearSettings(LinkSettings& settings);
// The defaults that an inline text starts from.
void SetInlineDefaults(LinkSettings& settings);

// Parses the settings after the leading '@' (text of the given length, not
// necessarily terminated) on top of what settings already holds; returns
// kSettingsOk or the SettingsError of the first fault (settings may then be
// partly changed), and puts into *faultAt where the faulty setting starts.
int ParseInlineSettings(const char* text, size_t length, LinkSettings& settings,
                        size_t* faultAt = nullptr);
// An inline text (after the '@') read over the inline defaults, as the
// driver reads it; returns what ParseInlineSettings returns.
int ReadInlineSettings(const char* text, size_t length, LinkSettings& settings,
                       size_t* faultAt = nullptr);
// What a SettingsError means, for the protocol log.
const char* SettingsErrorText(int error);

// Registry value texts, compared case-insensitively.
int ExtDisplayEchoFromText(const char* text);  // "1" or "YES" -> 1
int OnLineFromText(const char* text);          // "0" or "NO" -> 0, else 1
int StatusCheckFromText(const char* text);     // "1", "YES" or "SI" -> 1
int LogLevelFromText(const char* text);        // "NO" -> 0, else its decimal value

// Leading decimal value of text (blanks, optional sign, digits), clamped to
// the int range; 0 when there are no digits.
int DecimalValue(const char* text);
bool EqualsNoCase(const char* a, const char* b);
// A TCP port text: decimal digits between optional blanks, 1 to 65535;
// false for anything else (a port out of range is not cut to 16 bits).
bool ParsePort(const char* text, unsigned short* port);

}  // namespace linkdrv
