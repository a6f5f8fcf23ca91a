// Arbitrary text after '@': the parser either refuses it or leaves every
// text field terminated inside its buffer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  linkdrv::LinkSettings s;
  linkdrv::SetInlineDefaults(s);
  int r = linkdrv::ParseInlineSettings(reinterpret_cast<const char*>(data), size, s);
  if (r != linkdrv::kSettingsOk && r != linkdrv::kSettingsQuoteInKey &&
      r != linkdrv::kSettingsBadQuote && r != linkdrv::kSettingsBadValue &&
      r != linkdrv::kSettingsValueTooLong) {
    std::abort();
  }
  if (!std::memchr(s.address, 0, sizeof s.address) || !std::memchr(s.port, 0, sizeof s.port) ||
      !std::memchr(s.logFileName, 0, sizeof s.logFileName)) {
    std::abort();
  }
  if (s.onLine != 0 && s.onLine != 1) std::abort();
  if (s.extDisplayEcho != 0) std::abort();  // inline text can only leave it off
  // The registry interpretations of the same text, terminated.
  char text[64];
  size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
  std::memcpy(text, data, n);
  text[n] = '\0';
  (void)linkdrv::LogLevelFromText(text);
  (void)linkdrv::StatusCheckFromText(text);
  (void)linkdrv::DecimalValue(text);
  return 0;
}
