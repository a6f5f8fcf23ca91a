// An ECR on 127.0.0.1 for tests, benchmarks and manual trials.
//
// A Simulator listens on an ephemeral port, accepts the link driver's
// connection and plays the ECR's side of one wire framing (hex-text lines,
// or host-PC frames with acknowledgements). It runs on a thread of its own;
// every wait in it is bounded and Stop() ends it at any time.
//
// What it does is scripted from the test thread:
//   - how it answers a command, chosen by the command's code (Reply: answer
//     messages, "E" error answers, a delay, no answer, wire faults),
//   - how it acknowledges the driver's frames (host-PC: LinkReply queue),
//   - what its status requests return (status bytes, busy-then-idle runs,
//     extended status blocks, broken blocks),
//   - faults and messages sent on demand (Send, SendRaw, SendTogether,
//     SendBurst, SendCollision, Close, Reset, SetMute).
// Everything the driver sent is recorded (Record): decoded messages, raw
// bytes, link replies, status requests with their arrival times, counters.
// WaitFor() waits for a condition on the record with a time limit.
//
// Usage from a test:
//   ecrsim::Simulator ecr(ecrsim::Wire::kHexLine);
//   uint16_t port = ecr.Start();
//   ecr.OnCommand('A', ecrsim::Reply::Answer({'A', 1, 2}));
//   ... OpenProt("@ECRIP='127.0.0.1',ECRPortNumber=<port>") ...
//   ASSERT_TRUE(ecr.WaitForMessages(1, 2000));
//   EXPECT_EQ(ecr.Messages()[0], (ecrsim::Bytes{'A', 7}));
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ecrsim {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

enum class Wire {
  kHexLine,  // '@', code, upper-case hex pairs, carriage return
  kHostPc,   // DLE STX, sequence, three header bytes, code, data, DLE ETX, check
};

// Bytes of the host-PC link.
enum : uint8_t {
  kSTX = 0x02,
  kETX = 0x03,
  kEOT = 0x04,
  kENQ = 0x05,
  kACK = 0x06,
  kBEL = 0x07,
  kDLE = 0x10,
  kNAK = 0x15,
  kCAN = 0x18,
  kPlainStatusRequest = 0x1E,
  kExtStatusRequest = 0x1F,
};

// How the ECR puts one message on the wire. Each wire ignores the fields
// that do not apply to it.
struct FrameStyle {
  Bytes before;                 // raw bytes sent just before the frame (noise, stray CRs)
  bool collisionFirst = false;  // hex-line: the collision frame first, then the frame
  int collisionGapMs = 0;       // pause between the collision frame and the frame
  int cutAfter = -1;            // send only this many bytes of the frame, then go mute
                                // (SetMute(false) makes the ECR speak again)
  // Hex-line.
  bool lowerCaseHex = false;  // digits in lower case
  bool loneDigit = false;     // one more hex digit ('7') just before the carriage return
  bool noTerminator = false;  // no carriage return
  // Host-PC.
  int sequence = -1;              // sequence number; -1: the ECR's next one
  uint8_t header[3] = {0, 0, 0};  // the three header bytes after the sequence number
  int badCheck = 0;               // the first N transmissions carry a wrong check byte
  int repeat = 0;                 // after the acknowledgement, send the same frame N more times
  bool noCheck = false;           // no check byte after DLE ETX
};

// What the ECR does with one command.
struct Reply {
  std::vector<Bytes> messages;  // answer messages (code byte first); empty: no answer
  int delayMs = 0;              // pause between the command and the answer
  FrameStyle style;
  bool together = false;  // all messages in one send call (hex-line: two frames at once)
  bool echo = false;      // answer with the command's own bytes (messages unused)

  static Reply Answer(Bytes message, int delayMs = 0);
  static Reply Error(uint8_t errorCode, int delayMs = 0);  // "E" and the error byte
  static Reply NoAnswer();
  static Reply Echo();  // the command's own bytes (the default for every code)
};

// Host-PC: how the ECR replies to one frame of the driver.
struct LinkReply {
  enum Kind {
    kAck,      // accepted (then executed unless it repeats the last sequence number)
    kNak,      // rejected: the driver sends it again
    kCan,      // refused
    kBel,      // BEL
    kSilence,  // no reply byte at all (the frame is not executed)
    kByte,     // the raw byte `byte`
    kCollide,  // the ECR starts sending `message` instead of replying (its DLE is the reply)
  };
  Kind kind = kAck;
  uint8_t byte = 0;
  Bytes message;

  static LinkReply Ack() { return {kAck, 0, {}}; }
  static LinkReply Nak() { return {kNak, 0, {}}; }
  static LinkReply Can() { return {kCan, 0, {}}; }
  static LinkReply Bel() { return {kBel, 0, {}}; }
  static LinkReply Silence() { return {kSilence, 0, {}}; }
  static LinkReply Raw(uint8_t b) { return {kByte, b, {}}; }
  static LinkReply Collide(Bytes message) { return {kCollide, 0, std::move(message)}; }
};

// How the ECR answers one status request. Default-constructed: normally.
//   Hex-line: the "S" control frame; the answer is the message "S" followed
//   by the extended block (below). Host-PC: 0x1E gets the status byte, 0x1F
//   gets the length byte L and an L-byte block whose last byte is the xor of
//   L and the first L-1 bytes.
struct StatusReply {
  bool silent = false;    // no reply at all
  bool bare = false;      // hex-line: "S" alone, a frame that carries no message
  int replyByte = -1;     // host-PC: this raw byte instead of the reply
  Bytes collide;          // host-PC: the ECR starts sending this message instead (its DLE
                          // is the reply the driver reads as a collision)
  Bytes block;            // extended: the L-1 data bytes; empty: the ECR's own block
  int length = -1;        // extended: announced length L; -1: block size + 1
  int sendBytes = -1;     // extended: send only this many of the L bytes (short block)
  bool badCheck = false;  // extended: wrong last byte
  int delayMs = 0;        // pause before replying
};

// A hostile printer: what the ECR does to its answers to the commands with
// one code (its error answers are left alone).
struct Spoil {
  enum Kind {
    kNone,       // answers as they are
    kField,      // field `field` (0: the status flags) becomes `text` (added when missing)
    kTwice,      // each answer sent twice, each copy in a frame of its own
    kOversized,  // each answer padded with a field of '9's to `bytes` bytes
  };
  Kind kind = kNone;
  int field = 0;
  std::string text;
  size_t bytes = 0;
};

// One thing seen or done on the connection.
enum class EventKind {
  kConnected,
  kDisconnected,        // the driver closed the connection or it failed
  kMessage,             // a frame from the driver, decoded (a command)
  kPlainStatusRequest,  // host-PC 0x1E
  kExtStatusRequest,    // host-PC 0x1F, or the hex-line "S" control frame
  kLinkReply,           // host-PC: the driver's reply byte to an ECR frame
  kNoReply,             // host-PC: no reply byte to an ECR frame in time
  kBadFrame,            // a driver frame not used: bad check, broken, or rejected by script
  kStray,               // a byte outside any frame that nothing expected
  kFrameSent,           // the ECR sent a frame (message and wire bytes)
};

struct Event {
  explicit Event(EventKind kind = EventKind::kStray) : kind(kind), at(Clock::now()) {}
  EventKind kind;
  Clock::time_point at;
  Bytes message;                  // kMessage, kFrameSent: the message (code byte first)
  Bytes raw;                      // kMessage, kBadFrame, kFrameSent: wire bytes of the frame
  int sequence = -1;              // host-PC: the frame's sequence number
  uint8_t header[3] = {0, 0, 0};  // host-PC: the frame's three header bytes
  uint8_t byte = 0;               // kLinkReply, kStray: the byte; status requests: the request byte
  bool duplicate = false;         // kMessage (host-PC): same sequence as the last one, not executed
  bool wellFormed = true;         // kMessage (hex-line): upper-case hex, an even number of digits
  std::string note;               // kBadFrame: why
};

struct Counters {
  int connections = 0;
  int messages = 0;    // driver frames accepted as commands (host-PC: including duplicates)
  int duplicates = 0;  // host-PC
  int badFrames = 0;   // driver frames not usable (host-PC: NAKed for a bad check byte)
  int plainStatusRequests = 0;
  int extStatusRequests = 0;
  int acks = 0, naks = 0, cans = 0, bels = 0, otherReplies = 0;  // driver's replies (host-PC)
  int noReplies = 0;        // host-PC: ECR frames left without a reply
  int framesSent = 0;       // ECR frames, every transmission counted
  int retransmissions = 0;  // host-PC: ECR frames sent again after NAK
  int refused = 0;          // host-PC: ECR frames dropped after CAN or too many NAKs
  int rejected = 0;         // host-PC: good driver frames not acknowledged, by script
};

// Everything recorded since Start() or the last ClearRecord().
// The history is bounded, so that a simulator that runs for days stays the
// same size: it holds at least the last kEventsKept events and the last
// kBytesKept bytes each way (the counters count everything).
struct Record {
  static constexpr size_t kEventsKept = 4096;
  static constexpr size_t kBytesKept = 64 * 1024;
  std::vector<Event> events;
  uint64_t eventsDropped = 0;  // events recorded before events[0]
  Counters counters;
  Bytes received;  // the bytes the driver sent, in order
  Bytes sent;      // the bytes the ECR sent, in order

  std::vector<Bytes> Messages() const;  // kMessage events' messages, duplicates excluded
  std::vector<Event> Of(EventKind kind) const;
  std::vector<Clock::time_point> StatusRequestTimes() const;  // plain and extended
};

// ECR side of one wire framing: turns the driver's bytes into events and
// the ECR's messages into bytes. Implemented per wire in the simulator;
// the script, fault and record layer above is shared.
class EcrFraming;
class VirtualPrinter;

class Simulator {
 public:
  explicit Simulator(Wire wire);
  ~Simulator();  // Stop()
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Listens on 127.0.0.1 (port 0: an ephemeral one) and starts the thread.
  // Returns the port, or 0 when the listener could not be made.
  uint16_t Start(uint16_t port = 0);
  // Closes the connection and the listener and ends the thread; returns
  // within about a second whatever the simulator is doing.
  void Stop();
  uint16_t Port() const;
  Wire GetWire() const { return wire_; }
  bool Connected() const;
  // Inline settings for OpenProt: "@ECRIP='127.0.0.1',ECRPortNumber=<port>,<extra>".
  std::string InlineSettings(const std::string& extra = "OnLine=1") const;

  // --- Script (may be changed at any time) ---
  // The standing reply for commands with this code.
  void OnCommand(uint8_t code, Reply reply);
  // A reply used once, by the next command with this code (before the standing one).
  void OnceOnCommand(uint8_t code, Reply reply);
  // The reply for codes that have no rule (initially Reply::Echo()).
  void SetDefaultReply(Reply reply);
  // A virtual fiscal printer answers the commands that no rule answers (in
  // place of the default reply); nullptr detaches it.
  void AttachPrinter(std::shared_ptr<VirtualPrinter> printer);
  // Host-PC: replies to the driver's next frames, one each, then ACK again.
  void QueueLinkReplies(std::vector<LinkReply> replies);
  // Host-PC: a frame with the last accepted sequence number is acknowledged
  // and not executed (default true).
  void SetDropDuplicates(bool drop);
  // The status byte (plain reply, extended block byte 3). Default 0.
  void SetStatusByte(uint8_t status);
  // Status bytes used by the next status reads, one each (e.g. {4, 4, 0}:
  // busy for two reads, then idle); then SetStatusByte's value again.
  void QueueStatusBytes(Bytes statuses);
  // Replies to the next plain / extended status requests, one each.
  void QueuePlainStatusReplies(std::vector<StatusReply> replies);
  void QueueExtStatusReplies(std::vector<StatusReply> replies);
  // The ECR's sequence number: extended block byte 0, and the number
  // of the last frame the ECR accepted (host-PC). Default 0.
  void SetEcrSequence(uint8_t sequence);
  // Host-PC: how long to wait for the driver's reply to an ECR frame (default
  // 1000 ms), how many transmissions a NAKed frame gets (default 3), and
  // whether a CAN-refused frame is sent again after delayMs (up to tries more
  // times; default 0: dropped).
  void SetReplyTimeout(int ms);
  void SetTransmissionLimit(int transmissions);
  void SetCanRetry(int delayMs, int tries);
  // Mute: the ECR keeps reading and recording but never writes a byte.
  void SetMute(bool mute);

  // --- Faults of the ECR itself ---
  // The next command is executed and its answer lost; with drop the
  // connection is closed right after, before the answer could go out.
  void LoseNextAnswer(bool drop);
  // The next command is executed at once and answered after ms; meanwhile
  // the status byte reports the ECR at work (0x20).
  void WorkOnNext(int ms);
  // Off: the connection is cut (reset), nobody listens on the port and the
  // printer is let go, with whatever it had not yet stored. On: the port
  // listens again, with `printer` behind it (the one rebuilt from its
  // memory; none for a bare link).
  void PowerOff();
  void PowerOn(std::shared_ptr<VirtualPrinter> printer);
  // From now on the answers to commands with this code are spoiled so
  // (Spoil{} answers them as they are again).
  void SpoilAnswers(uint8_t code, Spoil spoil);
  std::shared_ptr<VirtualPrinter> Printer() const;

  // --- Actions (carried out by the simulator's thread, in order) ---
  void Send(Bytes message, FrameStyle style = {});
  void SendRaw(Bytes bytes);
  // All frames in one send call (two frames at once).
  void SendTogether(std::vector<Bytes> messages, FrameStyle style = {});
  // Messages one after the other, gapMs apart (host-PC: each one after
  // the reply to the one before).
  void SendBurst(std::vector<Bytes> messages, int gapMs = 0);
  // The collision signal alone (hex-line: the one-byte message 0x10 as a
  // four-byte frame the driver decodes; host-PC: a lone DLE).
  void SendCollision();
  // Ends the connection: a graceful close, or a reset (RST).
  void Close();
  void Reset();
  // Waits until the simulator's thread has carried out every action queued
  // so far (true), or until the time limit (false).
  bool Flush(int timeoutMs = 2000);

  // --- Record ---
  Record Snapshot() const;
  // The events recorded since *next (a count of all events recorded, 0 at
  // first) that the record still holds; *next moves past them. Copies only
  // those, so watching a simulator costs the same on its first day and on
  // its hundredth.
  std::vector<Event> EventsSince(uint64_t* next) const;
  void ClearRecord();
  std::vector<Bytes> Messages() const;
  Counters GetCounters() const;
  // Waits until pred(record) holds (true) or timeoutMs passes (false).
  bool WaitFor(const std::function<bool(const Record&)>& pred, int timeoutMs) const;
  bool WaitForMessages(size_t count, int timeoutMs) const;
  bool WaitForConnection(int timeoutMs) const;

  // --- Wire helpers (for expected bytes in tests) ---
  Bytes Encode(const Bytes& message, const FrameStyle& style = {}) const;
  static Bytes EncodeHexLine(const Bytes& message, const FrameStyle& style = {});
  // A host-PC frame with the given sequence number and header bytes.
  static Bytes EncodeHostPc(uint8_t sequence, const Bytes& message, const FrameStyle& style = {});
  // Host-PC check byte: xor of the five header bytes, the data bytes and ETX.
  static uint8_t HostPcCheck(uint8_t sequence, const uint8_t header[3], const Bytes& message);
  // An "I" answer that carries `inner` (code byte first) after the inner
  // header {h0, 0, h2, h3}.
  static Bytes WrapInI(const Bytes& inner, const uint8_t innerHeader[4] = nullptr);
  // '@' followed by `digits` hex digits and no carriage return.
  static Bytes OverlongHexLine(size_t digits);

 private:
  struct Impl;
  Wire wire_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ecrsim
