// The seam inside the simulator between the shared script/fault/record
// layer (EcrSession, in simulator.cpp) and the ECR's side of one wire
// framing (one file per wire). Everything here runs on the simulator's
// thread only. No Windows headers.
#pragma once

#include <functional>
#include <memory>

#include "ecrsim.h"

namespace ecrsim {

// One send job of the ECR: one or more messages framed alike.
struct OutItem {
  std::vector<Bytes> messages;
  FrameStyle style;
  bool together = false;  // all frames in one write
  int gapAfterMs = 0;     // pause after this job before the next one
};

// A status request as the script resolved it.
struct StatusAnswer {
  StatusReply reply;
  uint8_t status = 0;  // the status byte for this read
  Bytes block;         // extended: the L-1 data bytes
};

// What the shared layer lends a framing.
class EcrSession {
 public:
  virtual ~EcrSession() = default;
  // Writes to the driver in one send call (nothing while mute or unconnected).
  virtual void Write(const Bytes& bytes) = 0;
  // Writes one frame as the style asks: `before` first (on the first
  // transmission only), at most cutAfter bytes (then mute).
  virtual void WriteFrame(const Bytes& frame, const FrameStyle& style, bool firstTransmission) = 0;
  // Records an event and counts it.
  virtual void Emit(Event event) = 0;
  virtual void Count(int Counters::*counter) = 0;
  // Runs the script for a command the ECR accepted.
  virtual void Execute(const Bytes& message) = 0;
  virtual StatusAnswer Status(bool extended) = 0;
  // Runs fn on the simulator's thread after ms (dropped if the connection ends).
  virtual void After(int ms, std::function<void()> fn) = 0;
  // The current OutItem's exchange ended: the next one may be transmitted.
  virtual void TransmitDone() = 0;

  // Host-PC script values.
  virtual LinkReply NextLinkReply() = 0;
  virtual bool DropDuplicates() = 0;
  virtual int ReplyTimeoutMs() = 0;
  virtual int TransmissionLimit() = 0;
  virtual void CanRetry(int* delayMs, int* tries) = 0;
  virtual int LastAcceptedSequence() = 0;  // -1 when none
  virtual void SetLastAcceptedSequence(int sequence) = 0;
  virtual uint8_t NextOutSequence() = 0;
};

// The ECR's side of one wire framing.
class EcrFraming {
 public:
  virtual ~EcrFraming() = default;
  // Bytes from the driver, as they arrived.
  virtual void OnBytes(const uint8_t* bytes, size_t count) = 0;
  // Sends one job; calls session.TransmitDone() when its exchange is over
  // (at once, or when the driver's replies are in).
  virtual void Transmit(const OutItem& item) = 0;
  // The collision signal alone.
  virtual void SendCollision() = 0;
  virtual Bytes Encode(const Bytes& message, const FrameStyle& style) const = 0;
  // A new connection: forget any half-read frame and pending exchange.
  virtual void Reset() = 0;
};

std::unique_ptr<EcrFraming> MakeHexLineFraming(EcrSession& session);
std::unique_ptr<EcrFraming> MakeHostPcFraming(EcrSession& session);

}  // namespace ecrsim
