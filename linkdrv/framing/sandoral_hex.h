// The hex-line frame: '@', the code byte as it is, every further message
// byte as two upper-case hex digits, carriage return. Windows-free.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkdrv {

constexpr uint8_t kLineStart = 0x40;  // '@'
constexpr uint8_t kLineEnd = 0x0D;    // carriage return
constexpr int kLineFrameMax = 256;    // bytes of one frame, '@' and carriage return included
constexpr int kLineMessageMax = (kLineFrameMax - 1) / 2;  // 127 message bytes

// Builds the frame of message[0..length) into frame[capacity]; returns the
// frame length (2 * length + 1), or 0 when length < 1 or the frame does not fit.
int EncodeLineFrame(const uint8_t* message, int length, uint8_t* frame, int capacity);

// Decodes a collected frame of length bytes ('@' first, carriage return
// last) into message[kLineMessageMax]; returns the number of message bytes,
// 0 for a frame of 3 bytes or fewer. Digits may be either case; any other
// character counts as 0; a lone last digit is dropped.
int DecodeLineFrame(const uint8_t* frame, int length, uint8_t* message);

}  // namespace linkdrv
