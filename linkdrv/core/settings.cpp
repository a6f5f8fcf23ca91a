#include "settings.h"

#include <climits>
#include <cstring>

namespace linkdrv {
namespace {

constexpr size_t kMaxKey = 32;
constexpr size_t kMaxValue = 255;

char Upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Copies text into a field of size capacity; false when it does not fit.
bool CopyField(char* field, size_t capacity, const char* text, size_t length) {
  if (length + 1 > capacity) return false;
  std::memcpy(field, text, length);
  field[length] = '\0';
  return true;
}

// An unquoted value: optional '-', then digits with at most one '.'.
bool IsNumber(const char* value, size_t length) {
  size_t i = 0;
  if (i < length && value[i] == '-') ++i;
  bool digit = false, dot = false;
  for (; i < length; ++i) {
    if (value[i] >= '0' && value[i] <= '9') {
      digit = true;
    } else if (value[i] == '.' && !dot) {
      dot = true;
    } else {
      return false;
    }
  }
  return digit;
}

bool IsZeroOrNo(const char* value) {
  return EqualsNoCase(value, "0") || EqualsNoCase(value, "NO");
}

// Applies one parsed setting; returns kSettingsOk or kSettingsValueTooLong.
int Apply(const char* key, const char* value, size_t valueLength, LinkSettings& s) {
  if (EqualsNoCase(key, "ECRIP")) {
    if (!CopyField(s.address, sizeof s.address, value, valueLength)) return kSettingsValueTooLong;
  } else if (EqualsNoCase(key, "ECRPortNumber")) {
    if (!CopyField(s.port, sizeof s.port, value, valueLength)) return kSettingsValueTooLong;
  } else if (EqualsNoCase(key, "OnLine")) {
    if (IsZeroOrNo(value)) s.onLine = 0;
  } else if (EqualsNoCase(key, "LogLevel")) {
    s.logLevel = LogLevelFromText(value);
  } else if (EqualsNoCase(key, "LogFileName")) {
    if (!CopyField(s.logFileName, sizeof s.logFileName, value, valueLength))
      return kSettingsValueTooLong;
  } else if (EqualsNoCase(key, "ExtDisplayEcho")) {
    if (IsZeroOrNo(value)) s.extDisplayEcho = 0;
  }
  return kSettingsOk;
}

}  // namespace

bool EqualsNoCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (Upper(*a) != Upper(*b)) return false;
  }
  return *a == *b;
}

int DecimalValue(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '-' || *text == '+') negative = *text++ == '-';
  long long value = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    value = value * 10 + (*text - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) value = -value;
  if (value > INT_MAX) value = INT_MAX;
  return static_cast<int>(value);
}

bool ParsePort(const char* text, unsigned short* port) {
  while (*text == ' ') ++text;
  long value = 0;
  int digits = 0;
  for (; *text >= '0' && *text <= '9'; ++text, ++digits) {
    value = value * 10 + (*text - '0');
    if (value > 65535) return false;
  }
  while (*text == ' ') ++text;
  if (digits == 0 || *text != '\0' || value == 0) return false;
  *port = static_cast<unsigned short>(value);
  return true;
}

void ClearSettings(LinkSettings& s) {
  std::memset(&s, 0, sizeof s);
}

void SetInlineDefaults(LinkSettings& s) {
  ClearSettings(s);
  std::strcpy(s.address, kDefaultAddress);
  std::strcpy(s.port, kDefaultPort);
  std::strcpy(s.logFileName, kDefaultLogFileName);
  s.onLine = 1;
}

int ExtDisplayEchoFromText(const char* t) {
  return EqualsNoCase(t, "1") || EqualsNoCase(t, "YES");
}
int OnLineFromText(const char* t) {
  return IsZeroOrNo(t) ? 0 : 1;
}
int StatusCheckFromText(const char* t) {
  return EqualsNoCase(t, "1") || EqualsNoCase(t, "YES") || EqualsNoCase(t, "SI");
}
int LogLevelFromText(const char* t) {
  return EqualsNoCase(t, "NO") ? 0 : DecimalValue(t);
}

namespace {

// The parser; settingStart follows the start of the setting being read.
int ParseSettings(const char* text, size_t length, LinkSettings& settings, size_t& settingStart) {
  size_t i = 0;
  for (;;) {
    while (i < length && text[i] == ' ') ++i;
    if (i >= length) return kSettingsOk;
    settingStart = i;

    // Key: up to '=' or ','; characters past the 32nd are dropped.
    char key[kMaxKey + 1];
    size_t keyLength = 0;
    for (; i < length && text[i] != '=' && text[i] != ','; ++i) {
      if (text[i] == '\'') return kSettingsQuoteInKey;
      if (keyLength < kMaxKey) key[keyLength++] = text[i];
    }
    while (keyLength > 0 && key[keyLength - 1] == ' ') --keyLength;
    key[keyLength] = '\0';

    char value[kMaxValue + 1];
    size_t valueLength = 0;
    bool quoted = false;
    if (i < length && text[i] == '=') {
      ++i;
      while (i < length && text[i] == ' ') ++i;
      if (i < length && text[i] == '\'') {
        quoted = true;
        ++i;
        bool closed = false;
        while (i < length) {
          char c = text[i++];
          if (c == '\'') {
            if (i < length && text[i] == '\'') {
              ++i;  // a doubled quote stands for one
            } else {
              closed = true;
              break;
            }
          }
          if (valueLength == kMaxValue) return kSettingsBadValue;
          value[valueLength++] = c;
        }
        if (!closed) return kSettingsBadQuote;
        // Only blanks may stand between the closing quote and the comma.
        while (i < length && text[i] == ' ') ++i;
        if (i < length && text[i] != ',') return kSettingsBadQuote;
      } else {
        for (; i < length && text[i] != ','; ++i) {
          if (text[i] == '\'') return kSettingsBadQuote;
          if (valueLength == kMaxValue) return kSettingsBadValue;
          value[valueLength++] = text[i];
        }
      }
    }
    if (i < length && text[i] == ',') ++i;

    while (valueLength > 0 && value[valueLength - 1] == ' ') --valueLength;
    if (valueLength == 0) value[valueLength++] = '1';  // quoted or not
    value[valueLength] = '\0';
    if (!quoted && !IsNumber(value, valueLength)) return kSettingsBadValue;

    int applied = Apply(key, value, valueLength, settings);
    if (applied != kSettingsOk) return applied;
  }
}

}  // namespace

int ParseInlineSettings(const char* text, size_t length, LinkSettings& settings, size_t* faultAt) {
  size_t settingStart = 0;
  int result = ParseSettings(text, length, settings, settingStart);
  if (faultAt) *faultAt = result == kSettingsOk ? length : settingStart;
  return result;
}

int ReadInlineSettings(const char* text, size_t length, LinkSettings& settings, size_t* faultAt) {
  SetInlineDefaults(settings);
  return ParseInlineSettings(text, length, settings, faultAt);
}

const char* SettingsErrorText(int error) {
  switch (error) {
    case kSettingsQuoteInKey:
      return "a quote (') inside a key";
    case kSettingsBadQuote:
      return "a quote (') that does not open the value, is never closed, or is followed by more "
             "than blanks before the comma";
    case kSettingsBadValue:
      return "a value longer than 255 characters, or an unquoted value that is not a number "
             "(quote addresses and file names with ', not \")";
    case kSettingsValueTooLong:
      return "an address over 17, a port over 11 or a file name over 79 characters";
    default:
      return "";
  }
}

}  // namespace linkdrv
