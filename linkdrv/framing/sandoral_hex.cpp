#include "sandoral_hex.h"

namespace linkdrv {
namespace {

uint8_t HexValue(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return 0;
}

}  // namespace

int EncodeLineFrame(const uint8_t* message, int length, uint8_t* frame, int capacity) {
  static const char kDigits[] = "0123456789ABCDEF";
  if (length < 1 || length > kLineMessageMax || 2 * length + 1 > capacity) return 0;
  int t = 0;
  frame[t++] = kLineStart;
  frame[t++] = message[0];
  for (int i = 1; i < length; ++i) {
    frame[t++] = kDigits[message[i] >> 4];
    frame[t++] = kDigits[message[i] & 0x0F];
  }
  frame[t++] = kLineEnd;
  return t;
}

int DecodeLineFrame(const uint8_t* frame, int length, uint8_t* message) {
  if (length <= 3 || length > kLineFrameMax) return 0;
  int n = (length - 3) / 2 + 1;
  message[0] = frame[1];
  for (int i = 1; i < n; ++i) {
    message[i] = static_cast<uint8_t>(HexValue(frame[2 * i]) << 4 | HexValue(frame[2 * i + 1]));
  }
  return n;
}

}  // namespace linkdrv
