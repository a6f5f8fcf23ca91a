// Host-PC framing of the Mirevon link driver: byte-stuffed binary frames
// with a sequence number and a check byte, a one-byte acknowledgement for
// every frame in each direction, and a two-slot queue for the ECR's
// unsolicited messages.
//
// Frame on the wire, both directions:
//   DLE STX | sequence, three header bytes, code | data | DLE ETX | check
// Every 0x10 in the header or the data goes twice; the check byte is the
// xor of the five header bytes, the data bytes and ETX, and is sent as it
// is, never doubled.
//
// Windows-free: it runs over LinkIo in the DLL, in unit tests and in the
// fuzzer.
#pragma once

#include <cstdint>

#include "framing.h"

namespace linkdrv {
namespace mirevon {

constexpr int kHeaderSize = 5;        // sequence, three header bytes, code
constexpr int kMaxBody = 250;         // code and data of a received frame
constexpr int kReadBatch = 128;       // bytes taken from the socket at once
constexpr int kRawWaitMs = 1000;      // wait for readability before a raw read
constexpr int kAttempts = 3;          // tries of every send, read and exchange
constexpr int kResendPauseMs = 100;   // before a frame is sent again
constexpr int kExchangePauseMs = 50;  // between control-byte exchange tries
constexpr int kMinStatusLength = 6;   // extended status length byte bounds
constexpr int kMaxStatusLength = 10;
constexpr int kDrainLimit = 4096;  // bytes dropped at most when a frame is abandoned
// The logged copy of a received frame: the longest frame with every header
// and data byte doubled, its start, end and check byte.
constexpr int kLoggedCopySize = 2 + 2 * (kHeaderSize + kMaxBody - 1) + 2 + 1;

// True for the codes of the ECR's unsolicited messages ("X", "Y", "F", "G", "B").
bool IsUnsolicitedCode(uint8_t code);

// Builds the frame of a message (code byte first) with the given sequence
// number into out[capacity]; returns the frame length, or -1 when the
// message is empty or the frame does not fit.
int BuildFrame(uint8_t sequence, const uint8_t* message, int length, bool withCheck, uint8_t* out,
               int capacity);

class MirevonFraming final : public Framing {
 public:
  explicit MirevonFraming(FramingHost& host);

  bool PrepareCommand(const uint8_t* bytes, int length) override;
  int WriteCommand() override;
  ReadOutcome ReadMessage(bool onlyIfAvailable, int leadIn) override;
  ReadOutcome RequiredRead(int leadIn) override;
  int ReadStatus(uint8_t* status) override;
  int ReadStatusEx(uint8_t* block, int* length) override;
  bool StoresExtendedStatus() const override { return true; }

  // Sends one control byte and reads the one-byte reply: 0 with *reply
  // set, or 99 when nothing could be sent or no reply came in three tries.
  int ControlExchange(uint8_t byte, uint8_t* reply);
  // One read of up to size bytes after waiting up to a second for them:
  // the count (0 when nothing came), or -1 when the connection failed.
  int ReadRaw(uint8_t* buffer, int size);
  // Sends one raw byte, up to three tries; true when it went out.
  bool SendControl(uint8_t byte);

 private:
  struct Receiver;

  int PendingBytes();
  bool CollisionPending();
  void DropPending();
  int ReadReply();
  int ReadBlock(uint8_t* buffer, int size);
  bool HandleByte(Receiver& rx, uint8_t byte);
  bool CheckPassed(Receiver& rx);
  bool WillRefuse(const Receiver& rx) const;
  bool QueueHasRoom() const;
  void Deliver(Receiver& rx);
  bool Enqueue(const uint8_t header[4], uint8_t code, const uint8_t* data, int dataLength);
  void KeepUnread(const uint8_t* bytes, int count);

  FramingHost& host_;
  LinkIo& io_;
  FramingState& s_;
  // Bytes read from the socket past the end of a frame, handed out first by
  // the next read so that a frame that follows closely is not lost.
  uint8_t unread_[kReadBatch];
  int unreadStart_ = 0;
  int unreadCount_ = 0;
};

}  // namespace mirevon
}  // namespace linkdrv
