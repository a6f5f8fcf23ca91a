// The seam between the link core and a wire framing.
//
// A link driver DLL is the core plus exactly one framing file from
// linkdrv/framing. The framing never touches a socket: it reads and writes
// bytes through LinkIo, reads and writes the shared link fields through
// FramingState, and logs and locks through FramingHost. The same framing
// code therefore runs against Winsock in the DLL and against an in-memory
// transport in unit tests and fuzzers. No Windows headers here.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace linkdrv {

// Result codes of the link API (returned by EcrIO, SendStRq, SendStExRq,
// the framing operations, and stored as the process-wide last error).
enum LinkResult : int {
  kResultOk = 0,
  kResultTransactionBusy = 1,    // EcrIO: a transaction is already running
  kResultNotSent = 2,            // EcrIO: the command could not be sent
  kResultBadEcrNumber = 3,       // ECR number is not 1
  kResultAnswerTimeout = 4,      // EcrIO: no answer in time
  kResultLineError = 7,          // GetLineStatus reported a line error
  kResultErrorAnswer = 8,        // EcrIO: the ECR answered "E"
  kResultNoReply = 11,           // no reply byte to a sent frame
  kResultRefused = 12,           // the ECR refused the frame (CAN)
  kResultEnqCollision = 13,      // collision signalled by ENQ (TCP mode 0)
  kResultNakLimit = 14,          // NAK three times
  kResultCollision = 15,         // the ECR is sending: read before writing
  kResultBell = 20,              // BEL reply
  kResultShortRead = 31,         // short read three times
  kResultNotEnq = 33,            // first byte not ENQ (TCP mode 0)
  kResultBadCheck = 34,          // bad check byte three times
  kResultEotAfterRetries = 35,   // EOT after three retries
  kResultQueueFull = 36,         // unsolicited message refused, queue full
  kResultStatusShort = 41,       // extended status block short three times
  kResultStatusBad = 42,         // extended status length or check bad
  kResultLinkFailure = 99,       // socket send/receive or framing failure
  kResultAlreadyOpen = 101,      // OpenProt: link already open
  kResultNotOpen = 102,          // CloseProt: link not open
  kResultConfigFailed = 103,     // OpenProt: configuration or connection
  kResultStartFailed = 104,      // OpenProt: thread or start-up status
  kResultThreadTimeout = 105,    // the link thread did not serve in time
  kResultAnswerTimeoutExtra = 107,  // EcrIO extra result on time-out
  kResultNoBroadcast = 110,      // EcrBrdcIO
  kResultUnknownControl = 128,   // EcrIO: unknown negative control code
  kResultNothing = -1,           // GetEcrAnswer/GetEcrMessage: nothing there;
                                 // ReadMessage: no message this time
};

constexpr int kFrameBufferSize = 256;   // command, answer, receive buffers
constexpr int kQueueCapacity = 2;       // unsolicited-message slots in use

// LineStatus word: bit 0 always set, bit 1 while the link is in fault.
enum : int32_t { kLineOk = 0x01, kLineFault = 0x02 };

// Control bytes of the wire protocols.
enum : uint8_t {
  kSTX = 0x02, kETX = 0x03, kEOT = 0x04, kENQ = 0x05, kACK = 0x06, kBEL = 0x07,
  kDLE = 0x10, kNAK = 0x15, kCAN = 0x18, kPlainStatusRequest = 0x1E, kExtStatusRequest = 0x1F,
};

// One unsolicited message as queued: 268 bytes.
struct QueueSlot {
  int32_t length;        // number of bytes: the code plus the data
  uint8_t header[4];     // the frame's first four header bytes
  uint8_t code;          // message code
  uint8_t data[259];
};
static_assert(sizeof(QueueSlot) == 268, "queue slot layout");

// Byte transport under a framing. Implementations: Winsock in the DLL, an
// in-memory script in tests and fuzzers.
class LinkIo {
 public:
  virtual ~LinkIo() = default;
  // Bytes that can be read without blocking; -1 when the connection failed.
  virtual int Pending() = 0;
  // Waits up to timeoutMs for data or for the end of the connection:
  // 1 readable (a following Receive will not block), 0 timed out, -1 failed.
  virtual int WaitReadable(int timeoutMs) = 0;
  // Receives up to size bytes; returns the count (> 0), 0 when the peer
  // closed the connection, -1 on failure. Never blocks for longer than the
  // link allows (a closed or stopped link makes it return).
  virtual int Receive(uint8_t* buffer, int size) = 0;
  // Sends size bytes in one call; returns the count sent, -1 on failure.
  virtual int Send(const uint8_t* buffer, int size) = 0;
  // Pauses the calling (link) thread.
  virtual void SleepMs(int ms) = 0;
};

// Fields of the link state that a framing reads and writes. The core embeds
// one of these in its state block; tests make their own.
struct FramingState {
  // Command prepared by SendCommand and written by WriteCommand.
  uint8_t command[kFrameBufferSize];
  int32_t commandLength;
  uint8_t lastCommandCode;   // first byte of the last command
  uint8_t sequence;          // host-PC frame sequence counter
  uint8_t sequenceCopy;      // its value after the last increment

  // Last answer, filled by ReadMessage under the host's answer lock.
  uint8_t answerHeader[4];   // header bytes of the answer frame
  uint8_t answer[kFrameBufferSize];
  int32_t answerLength;

  // Unsolicited messages. The writer (the framing) advances queueWrite and
  // queueCount under the queue lock; GetEcrMessage takes under the same lock.
  QueueSlot queue[kQueueCapacity];
  int32_t queueWrite;
  int32_t queueRead;
  std::atomic<int32_t> queueCount;
  int32_t queueCapacity;     // kQueueCapacity after a reset

  int32_t lastFrameId;       // id of the last accepted frame, -1 after OpenProt

  int32_t tcpMode;           // 1 once connected: DLE (not ENQ) signals a collision
  int32_t noChecksum;        // 1: host-PC frames carry no check byte
  std::atomic<int32_t> onLine;  // effective OnLine: 1 pauses 20 ms after each send
  // {0, LineStatus}: bit 0 of LineStatus always 1, bit 1 while in fault.
  std::atomic<int32_t> lineStatus[2];

  std::atomic<int32_t> bytesSent;      // payload bytes, for GetByteCount
  std::atomic<int32_t> bytesReceived;
};

// The queue slots in use: queueCapacity when it is a valid count, else all
// there are. Every index into the queue wraps at this.
inline int QueueCapacity(const FramingState& s) {
  return (s.queueCapacity > 0 && s.queueCapacity <= kQueueCapacity) ? s.queueCapacity
                                                                    : kQueueCapacity;
}

// Sends size bytes in one call and, while OnLine is 1, pauses 20 ms after
// it, as both wires pace the ECR; returns what Send returned.
inline int SendPaced(LinkIo& io, const FramingState& s, const uint8_t* bytes, int size) {
  constexpr int kOnLinePauseMs = 20;
  int sent = io.Send(bytes, size);
  if (s.onLine.load()) io.SleepMs(kOnLinePauseMs);
  return sent;
}

// Services that the core lends a framing.
class FramingHost {
 public:
  virtual ~FramingHost() = default;
  virtual LinkIo& Io() = 0;
  virtual FramingState& State() = 0;
  // Writes one protocol log entry when the log is open (no-op otherwise).
  virtual void Log(int kind, int flags, int ecrNumber, const char* text, const uint8_t* bytes,
                   unsigned count, int result) = 0;
  virtual void LockQueue() = 0;
  virtual void UnlockQueue() = 0;
  // Held while the answer fields (answerHeader, answer, answerLength) are
  // written: the application copies them out under the same lock.
  virtual void LockAnswer() = 0;
  virtual void UnlockAnswer() = 0;
};

// What one ReadMessage call brought.
struct ReadOutcome {
  int result = kResultNothing;  // 0: a message was read; -1: none; else an error
  bool unsolicited = false;     // false: an answer (in FramingState::answer)
  int code = 0;                 // the message code passed with the notification
};

// One wire framing. All operations but PrepareCommand run on the link
// thread only.
class Framing {
 public:
  virtual ~Framing() = default;

  // Fills state.command/commandLength/lastCommandCode from a caller's
  // command, advancing the sequence counter. Runs on the application's
  // thread (SendCommand), and only while the link thread holds no command.
  // Returns false when the command is empty or its frame does not fit the
  // command buffer; WriteCommand then refuses what was prepared.
  virtual bool PrepareCommand(const uint8_t* bytes, int length) = 0;
  // Writes the prepared command: 0, or a link result (15 collision, ...).
  virtual int WriteCommand() = 0;
  // Reads one message; onlyIfAvailable returns -1 at once when nothing is
  // pending. leadIn is a byte the caller already read (-1 for none).
  virtual ReadOutcome ReadMessage(bool onlyIfAvailable, int leadIn) = 0;
  // The link thread's "required read": leadIn -1 lets the framing start the
  // read its own way; a collision passes the collision byte it saw.
  virtual ReadOutcome RequiredRead(int leadIn) = 0;
  // Plain status read: 0 with *status set, or a link result.
  virtual int ReadStatus(uint8_t* status) = 0;
  // Extended status read into block[kFrameBufferSize]: 0 with *length set,
  // or a link result.
  virtual int ReadStatusEx(uint8_t* block, int* length) = 0;
  // False when the plain status read exchanges nothing with the ECR, so
  // its status byte tells nothing about the ECR.
  virtual bool ReadsPlainStatus() const { return true; }
  // True when the extended status block is stored for SendStExRq.
  virtual bool StoresExtendedStatus() const = 0;
  // The result that WriteCommand and the status reads give on a collision.
  int CollisionResult(const FramingState& s) const {
    return s.tcpMode ? kResultCollision : kResultEnqCollision;
  }
};

// Each framing file defines this; a DLL links exactly one of them.
std::unique_ptr<Framing> CreateFraming(FramingHost& host);

}  // namespace linkdrv
