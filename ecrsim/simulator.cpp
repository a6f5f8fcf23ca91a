// The simulator's thread, sockets, script and record: the layer shared by
// both wire framings.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "ecr_commands.h"
#include "ecr_framing.h"
#include "virtual_printer.h"

namespace ecrsim {

// --- Replies and records ---

Reply Reply::Answer(Bytes message, int delayMs) {
  Reply r;
  r.messages.push_back(std::move(message));
  r.delayMs = delayMs;
  return r;
}

Reply Reply::Error(uint8_t errorCode, int delayMs) {
  return Answer({'E', errorCode}, delayMs);
}

Reply Reply::NoAnswer() {
  return Reply{};
}

Reply Reply::Echo() {
  Reply r;
  r.echo = true;
  return r;
}

std::vector<Bytes> Record::Messages() const {
  std::vector<Bytes> out;
  for (const Event& e : events) {
    if (e.kind == EventKind::kMessage && !e.duplicate) out.push_back(e.message);
  }
  return out;
}

std::vector<Event> Record::Of(EventKind kind) const {
  std::vector<Event> out;
  for (const Event& e : events) {
    if (e.kind == kind) out.push_back(e);
  }
  return out;
}

std::vector<Clock::time_point> Record::StatusRequestTimes() const {
  std::vector<Clock::time_point> out;
  for (const Event& e : events) {
    if (e.kind == EventKind::kPlainStatusRequest || e.kind == EventKind::kExtStatusRequest) {
      out.push_back(e.at);
    }
  }
  return out;
}

// --- Wire helpers ---

Bytes Simulator::EncodeHexLine(const Bytes& message, const FrameStyle& style) {
  static const char kUpper[] = "0123456789ABCDEF";
  static const char kLower[] = "0123456789abcdef";
  const char* digits = style.lowerCaseHex ? kLower : kUpper;
  Bytes out{'@'};
  if (!message.empty()) out.push_back(message[0]);
  for (size_t i = 1; i < message.size(); ++i) {
    out.push_back(digits[message[i] >> 4]);
    out.push_back(digits[message[i] & 0x0F]);
  }
  if (style.loneDigit) out.push_back('7');
  if (!style.noTerminator) out.push_back(0x0D);
  return out;
}

uint8_t Simulator::HostPcCheck(uint8_t sequence, const uint8_t header[3], const Bytes& message) {
  uint8_t sum = sequence ^ header[0] ^ header[1] ^ header[2] ^ kETX;
  for (uint8_t b : message) sum ^= b;
  return sum;
}

Bytes Simulator::EncodeHostPc(uint8_t sequence, const Bytes& message, const FrameStyle& style) {
  Bytes out{kDLE, kSTX};
  auto put = [&out](uint8_t b) {
    out.push_back(b);
    if (b == kDLE) out.push_back(kDLE);
  };
  put(sequence);
  for (uint8_t h : style.header) put(h);
  for (uint8_t b : message) put(b);
  out.push_back(kDLE);
  out.push_back(kETX);
  if (!style.noCheck) out.push_back(HostPcCheck(sequence, style.header, message));
  return out;
}

Bytes Simulator::WrapInI(const Bytes& inner, const uint8_t innerHeader[4]) {
  Bytes out{'I'};
  if (innerHeader) {
    out.insert(out.end(), innerHeader, innerHeader + 4);
  } else {
    out.insert(out.end(), {0, 0, 0, 0});
  }
  out.insert(out.end(), inner.begin(), inner.end());
  return out;
}

Bytes Simulator::OverlongHexLine(size_t digits) {
  Bytes out{'@', 'A'};
  for (size_t i = 0; i < digits; ++i) out.push_back("0123456789ABCDEF"[i % 16]);
  return out;
}

// --- The simulator ---

namespace {

// Appends to a byte history, dropping its oldest bytes beyond twice what
// is kept (so that most appends move nothing).
void Keep(Bytes* history, const uint8_t* bytes, size_t count) {
  history->insert(history->end(), bytes, bytes + count);
  if (history->size() >= 2 * Record::kBytesKept) {
    history->erase(history->begin(), history->end() - Record::kBytesKept);
  }
}

// The answers spoiled as a hostile printer would: see Spoil.
void SpoilAnswer(const Spoil& spoil, std::vector<Bytes>* messages) {
  if (spoil.kind == Spoil::kTwice && !messages->empty()) {
    messages->push_back(messages->front());
    return;
  }
  for (Bytes& m : *messages) {
    if (m.empty() || m[0] == ecrcmd::kErrorCode) continue;
    if (spoil.kind == Spoil::kOversized && m.size() + 1 < spoil.bytes) {
      m.push_back(ecrcmd::kSeparator);
      m.resize(spoil.bytes, '9');
    } else if (spoil.kind == Spoil::kField && spoil.field >= 0) {
      // The fields start after the code and the command number, if any.
      const std::string answer(m.begin(), m.end());
      size_t body = 1;
      if (answer.size() > 1 && answer[1] == ecrcmd::kNumberMark) {
        body = std::min(answer.find(ecrcmd::kSeparator), answer.size() - 1) + 1;
      }
      std::vector<std::string> parts = ecrcmd::Split(answer.substr(body));
      const size_t at = static_cast<size_t>(spoil.field);
      if (at >= parts.size()) parts.resize(at + 1);
      parts[at] = spoil.text;
      std::string out = answer.substr(0, body);
      for (size_t i = 0; i < parts.size(); ++i) {
        out += (i > 0 ? std::string(1, ecrcmd::kSeparator) : "") + parts[i];
      }
      m.assign(out.begin(), out.end());
    }
  }
}

constexpr int kMaxPollMs = 100;           // longest sleep of the thread: Stop() is seen within it
constexpr int kSendWaitMs = 1000;         // a driver that never reads cannot hold the thread longer
constexpr uint8_t kStatusWorking = 0x20;  // the status bit of an ECR still at a command

void CloseSocket(SOCKET& s) {
  if (s != INVALID_SOCKET) {
    closesocket(s);
    s = INVALID_SOCKET;
  }
}

}  // namespace

struct Simulator::Impl : EcrSession {
  explicit Impl(Wire wire) : wire(wire) {
    framing = wire == Wire::kHexLine ? MakeHexLineFraming(*this) : MakeHostPcFraming(*this);
  }

  Wire wire;
  std::unique_ptr<EcrFraming> framing;
  bool wsaStarted = false;
  std::thread thread;
  std::atomic<bool> stop{false};
  SOCKET listener = INVALID_SOCKET;
  // Signalled by the sockets' network events and by Wake(); the thread waits
  // on it. (A select would do, but under Wine one now and then takes several
  // milliseconds to see bytes that have arrived, which the round trips that
  // the benchmark measures would count as the ECR's.)
  HANDLE netEvent = nullptr;
  uint16_t port = 0;

  // Owned by the thread.
  SOCKET conn = INVALID_SOCKET;
  std::multimap<Clock::time_point, std::function<void()>> timers;
  std::deque<OutItem> outbound;
  bool transmitting = false;
  int currentGapMs = 0;           // pause after the job being transmitted
  Clock::time_point holdUntil{};  // no job starts before this

  // Shared with the test thread, under mu.
  mutable std::mutex mu;
  mutable std::condition_variable cv;
  Record record;
  std::map<uint8_t, Reply> rules;
  std::map<uint8_t, std::deque<Reply>> onceRules;
  Reply defaultReply = Reply::Echo();
  std::shared_ptr<VirtualPrinter> printer;
  std::deque<LinkReply> linkReplies;
  bool dropDuplicates = true;
  uint8_t statusByte = 0;
  std::deque<uint8_t> statusBytes;
  std::deque<StatusReply> plainReplies, extReplies;
  int lastAccepted = 0;
  uint8_t outSequence = 0;
  int replyTimeoutMs = 1000;
  int transmissionLimit = 3;
  int canRetryDelayMs = 0, canRetryTries = 0;
  std::atomic<bool> mute{false};
  bool poweredOff = false;
  int loseNext = 0;  // 1: the next answer is lost, 2: and the connection dropped
  int workNextMs = 0;
  Clock::time_point workingUntil{};
  std::map<uint8_t, Spoil> spoils;
  std::deque<std::function<void()>> actions;
  uint64_t actionsQueued = 0, actionsDone = 0;
  bool connected = false;

  // --- Test thread side ---

  void Post(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mu);
      actions.push_back(std::move(fn));
      ++actionsQueued;
    }
    Wake();
  }

  void Wake() {
    if (netEvent) WSASetEvent(netEvent);
  }

  // --- EcrSession ---

  void Write(const Bytes& bytes) override {
    if (bytes.empty() || conn == INVALID_SOCKET || mute) return;
    // The socket is non-blocking: wait (bounded) while the driver's side is full.
    const int size = static_cast<int>(bytes.size());
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSendWaitMs);
    int sent = 0;
    bool waited = false;
    while (sent < size) {
      int n = send(conn, reinterpret_cast<const char*>(bytes.data()) + sent, size - sent, 0);
      if (n > 0) {
        sent += n;
        continue;
      }
      if (n == 0 || WSAGetLastError() != WSAEWOULDBLOCK || Clock::now() >= deadline || stop) break;
      WaitForSingleObject(netEvent, 10);
      WSAResetEvent(netEvent);
      waited = true;
    }
    if (waited) Wake();  // what the wait took from the event is looked at again
    if (sent <= 0) return;
    std::lock_guard<std::mutex> lock(mu);
    Keep(&record.sent, bytes.data(), static_cast<size_t>(sent));
    cv.notify_all();
  }

  void WriteFrame(const Bytes& frame, const FrameStyle& style, bool firstTransmission) override {
    if (firstTransmission) Write(style.before);
    if (style.cutAfter >= 0 && static_cast<size_t>(style.cutAfter) < frame.size()) {
      Write(Bytes(frame.begin(), frame.begin() + style.cutAfter));
      mute = true;
      return;
    }
    Write(frame);
  }

  void Emit(Event event) override {
    std::lock_guard<std::mutex> lock(mu);
    Counters& c = record.counters;
    switch (event.kind) {
      case EventKind::kConnected:
        ++c.connections;
        break;
      case EventKind::kMessage:
        ++c.messages;
        if (event.duplicate) ++c.duplicates;
        break;
      case EventKind::kPlainStatusRequest:
        ++c.plainStatusRequests;
        break;
      case EventKind::kExtStatusRequest:
        ++c.extStatusRequests;
        break;
      case EventKind::kLinkReply:
        switch (event.byte) {
          case kACK:
            ++c.acks;
            break;
          case kNAK:
            ++c.naks;
            break;
          case kCAN:
            ++c.cans;
            break;
          case kBEL:
            ++c.bels;
            break;
          default:
            ++c.otherReplies;
            break;
        }
        break;
      case EventKind::kNoReply:
        ++c.noReplies;
        break;
      case EventKind::kBadFrame:
        if (event.note.rfind("rejected", 0) != 0) ++c.badFrames;
        break;
      case EventKind::kFrameSent:
        ++c.framesSent;
        break;
      default:
        break;
    }
    record.events.push_back(std::move(event));
    if (record.events.size() >= 2 * Record::kEventsKept) {
      const size_t drop = record.events.size() - Record::kEventsKept;
      record.events.erase(record.events.begin(), record.events.begin() + drop);
      record.eventsDropped += drop;
    }
    cv.notify_all();
  }

  void Count(int Counters::*counter) override {
    std::lock_guard<std::mutex> lock(mu);
    ++(record.counters.*counter);
    cv.notify_all();
  }

  void Execute(const Bytes& message) override {
    Reply reply;
    Spoil spoil;
    std::shared_ptr<VirtualPrinter> executor;
    int lose = 0, workMs = 0;
    {
      std::lock_guard<std::mutex> lock(mu);
      if (poweredOff) return;  // the connection is being cut
      lose = std::exchange(loseNext, 0);
      workMs = std::exchange(workNextMs, 0);
      if (workMs > 0) workingUntil = Clock::now() + std::chrono::milliseconds(workMs);
      uint8_t code = message.empty() ? 0 : message[0];
      auto spoiled = spoils.find(code);
      if (spoiled != spoils.end()) spoil = spoiled->second;
      auto once = onceRules.find(code);
      if (once != onceRules.end() && !once->second.empty()) {
        reply = once->second.front();
        once->second.pop_front();
      } else if (rules.count(code)) {
        reply = rules[code];
      } else if (printer) {
        executor = printer;
      } else {
        reply = defaultReply;
      }
    }
    if (executor) {
      std::string answer = executor->Execute(std::string(message.begin(), message.end()));
      {
        std::lock_guard<std::mutex> lock(mu);  // what it printed may be what a waiter waits for
        cv.notify_all();
      }
      if (answer.empty()) return;  // its power was cut
      reply = Reply::Answer(Bytes(answer.begin(), answer.end()));
    }
    if (reply.echo) reply.messages.assign(1, message);
    SpoilAnswer(spoil, &reply.messages);
    if (lose == 2) Post([this] { EndConnection(false); });  // after the framing is done with it
    if (lose > 0 || reply.messages.empty()) return;
    reply.delayMs = std::max(reply.delayMs, workMs);
    OutItem item{reply.messages, reply.style, reply.together, 0};
    if (reply.delayMs > 0) {
      After(reply.delayMs, [this, item] { Enqueue(item); });
    } else {
      Enqueue(item);
    }
  }

  StatusAnswer Status(bool extended) override {
    std::lock_guard<std::mutex> lock(mu);
    StatusAnswer a;
    std::deque<StatusReply>& q = extended ? extReplies : plainReplies;
    if (!q.empty()) {
      a.reply = q.front();
      q.pop_front();
    }
    a.status = statusByte;
    if (!statusBytes.empty()) {
      a.status = statusBytes.front();
      statusBytes.pop_front();
    }
    if (Clock::now() < workingUntil) a.status |= kStatusWorking;
    if (extended) {
      a.block = a.reply.block.empty() ? Bytes{static_cast<uint8_t>(lastAccepted), 0, 0, a.status, 0}
                                      : a.reply.block;
    }
    return a;
  }

  void After(int ms, std::function<void()> fn) override {
    timers.emplace(Clock::now() + std::chrono::milliseconds(ms), std::move(fn));
  }

  void TransmitDone() override {
    transmitting = false;
    holdUntil = Clock::now() + std::chrono::milliseconds(currentGapMs);
  }

  LinkReply NextLinkReply() override {
    std::lock_guard<std::mutex> lock(mu);
    if (linkReplies.empty()) return LinkReply::Ack();
    LinkReply r = linkReplies.front();
    linkReplies.pop_front();
    return r;
  }
  bool DropDuplicates() override {
    std::lock_guard<std::mutex> lock(mu);
    return dropDuplicates;
  }
  int ReplyTimeoutMs() override {
    std::lock_guard<std::mutex> lock(mu);
    return replyTimeoutMs;
  }
  int TransmissionLimit() override {
    std::lock_guard<std::mutex> lock(mu);
    return transmissionLimit;
  }
  void CanRetry(int* delayMs, int* tries) override {
    std::lock_guard<std::mutex> lock(mu);
    *delayMs = canRetryDelayMs;
    *tries = canRetryTries;
  }
  int LastAcceptedSequence() override {
    std::lock_guard<std::mutex> lock(mu);
    return lastAccepted;
  }
  void SetLastAcceptedSequence(int sequence) override {
    std::lock_guard<std::mutex> lock(mu);
    lastAccepted = sequence;
  }
  uint8_t NextOutSequence() override {
    std::lock_guard<std::mutex> lock(mu);
    return ++outSequence;
  }

  // --- Thread side ---

  void Enqueue(OutItem item) {
    outbound.push_back(std::move(item));
    Pump();
  }

  // Transmits queued jobs while the framing is free.
  void Pump() {
    while (!transmitting && !outbound.empty() && Clock::now() >= holdUntil) {
      OutItem item = std::move(outbound.front());
      outbound.pop_front();
      transmitting = true;
      currentGapMs = item.gapAfterMs;  // counted from the end of the exchange
      framing->Transmit(item);
    }
  }

  void EndConnection(bool reset) {
    if (conn == INVALID_SOCKET) return;
    if (reset) {
      linger l{1, 0};
      setsockopt(conn, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    } else {
      shutdown(conn, SD_SEND);
    }
    CloseSocket(conn);
    ForgetConnection();
  }

  void ForgetConnection() {
    timers.clear();
    outbound.clear();
    transmitting = false;
    holdUntil = {};
    framing->Reset();
    Event e(EventKind::kDisconnected);
    Emit(e);
    std::lock_guard<std::mutex> lock(mu);
    connected = false;
    cv.notify_all();
  }

  void Accept() {
    SOCKET s = accept(listener, nullptr, nullptr);
    if (s == INVALID_SOCKET) return;
    if (conn != INVALID_SOCKET) EndConnection(false);
    conn = s;
    WSAEventSelect(conn, netEvent, FD_READ | FD_WRITE | FD_CLOSE);  // and non-blocking
    BOOL noDelay = TRUE;
    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    framing->Reset();
    {
      std::lock_guard<std::mutex> lock(mu);
      connected = true;
    }
    Emit(Event(EventKind::kConnected));
  }

  void Receive() {
    uint8_t buffer[4096];
    int n = recv(conn, reinterpret_cast<char*>(buffer), sizeof buffer, 0);
    if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return;
    if (n <= 0) {
      CloseSocket(conn);
      ForgetConnection();
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mu);
      Keep(&record.received, buffer, static_cast<size_t>(n));
      cv.notify_all();
    }
    framing->OnBytes(buffer, static_cast<size_t>(n));
  }

  // Listens on 127.0.0.1:port (0: any free port) and keeps the port; false
  // when it cannot. The same port is taken again after a power cut.
  bool Listen(uint16_t wanted) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(wanted);
    listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    BOOL reuse = TRUE;
    int len = sizeof address;
    if (listener == INVALID_SOCKET ||
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse),
                   sizeof reuse) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &len) != 0 ||
        WSAEventSelect(listener, netEvent, FD_ACCEPT) != 0) {
      CloseSocket(listener);
      return false;
    }
    port = ntohs(address.sin_port);
    return true;
  }

  void RunTimers() {
    for (;;) {
      auto it = timers.begin();
      if (it == timers.end() || it->first > Clock::now()) return;
      std::function<void()> fn = std::move(it->second);
      timers.erase(it);
      fn();
    }
  }

  void RunActions() {
    for (;;) {
      std::function<void()> fn;
      {
        std::lock_guard<std::mutex> lock(mu);
        if (actions.empty()) return;
        fn = std::move(actions.front());
        actions.pop_front();
      }
      fn();
      std::lock_guard<std::mutex> lock(mu);
      ++actionsDone;
      cv.notify_all();
    }
  }

  // Microseconds until the next timer or held job is due, at most kMaxPollMs.
  long NextWaitUs() const {
    auto now = Clock::now();
    auto until = now + std::chrono::milliseconds(kMaxPollMs);
    if (!timers.empty()) until = std::min(until, timers.begin()->first);
    if (!outbound.empty() && !transmitting) until = std::min(until, holdUntil);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
    return us < 0 ? 0 : static_cast<long>(us);
  }

  void Run() {
    while (!stop) {
      // Reset first: the accept and receive below re-arm the sockets'
      // events, so anything that happens after them signals again.
      WSAResetEvent(netEvent);
      Accept();  // non-blocking: nothing when no driver is connecting
      if (conn != INVALID_SOCKET) Receive();
      RunTimers();
      RunActions();
      Pump();
      if (stop) break;
      long us = NextWaitUs();
      WaitForSingleObject(netEvent, static_cast<DWORD>((us + 999) / 1000));
    }
    EndConnection(false);
  }
};

Simulator::Simulator(Wire wire) : wire_(wire), impl_(std::make_unique<Impl>(wire)) {}

Simulator::~Simulator() {
  Stop();
}

uint16_t Simulator::Start(uint16_t port) {
  Impl& s = *impl_;
  if (s.thread.joinable()) return s.port;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return 0;
  s.wsaStarted = true;
  if (!s.netEvent) s.netEvent = WSACreateEvent();
  if (s.netEvent == WSA_INVALID_EVENT || !s.Listen(port)) {
    Stop();
    return 0;
  }
  s.stop = false;
  s.thread = std::thread([&s] { s.Run(); });
  return s.port;
}

void Simulator::Stop() {
  Impl& s = *impl_;
  s.stop = true;
  s.Wake();
  if (s.thread.joinable()) s.thread.join();
  CloseSocket(s.conn);
  CloseSocket(s.listener);
  if (s.netEvent && s.netEvent != WSA_INVALID_EVENT) WSACloseEvent(s.netEvent);
  s.netEvent = nullptr;
  if (s.wsaStarted) {
    WSACleanup();
    s.wsaStarted = false;
  }
  std::lock_guard<std::mutex> lock(s.mu);
  s.connected = false;
  s.cv.notify_all();
}

uint16_t Simulator::Port() const {
  return impl_->port;
}

bool Simulator::Connected() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->connected;
}

std::string Simulator::InlineSettings(const std::string& extra) const {
  std::string s = "@ECRIP='127.0.0.1',ECRPortNumber=" + std::to_string(impl_->port);
  if (!extra.empty()) s += "," + extra;
  return s;
}

void Simulator::OnCommand(uint8_t code, Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->rules[code] = std::move(reply);
}

void Simulator::OnceOnCommand(uint8_t code, Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->onceRules[code].push_back(std::move(reply));
}

void Simulator::SetDefaultReply(Reply reply) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->defaultReply = std::move(reply);
}

void Simulator::AttachPrinter(std::shared_ptr<VirtualPrinter> printer) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->printer = std::move(printer);
}

void Simulator::QueueLinkReplies(std::vector<LinkReply> replies) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  for (LinkReply& r : replies) impl_->linkReplies.push_back(std::move(r));
}

void Simulator::SetDropDuplicates(bool drop) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->dropDuplicates = drop;
}

void Simulator::SetStatusByte(uint8_t status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->statusByte = status;
}

void Simulator::QueueStatusBytes(Bytes statuses) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->statusBytes.insert(impl_->statusBytes.end(), statuses.begin(), statuses.end());
}

void Simulator::QueuePlainStatusReplies(std::vector<StatusReply> replies) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->plainReplies.insert(impl_->plainReplies.end(), replies.begin(), replies.end());
}

void Simulator::QueueExtStatusReplies(std::vector<StatusReply> replies) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->extReplies.insert(impl_->extReplies.end(), replies.begin(), replies.end());
}

void Simulator::SetEcrSequence(uint8_t sequence) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->lastAccepted = sequence;
}

void Simulator::SetReplyTimeout(int ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replyTimeoutMs = std::max(1, ms);
}

void Simulator::SetTransmissionLimit(int transmissions) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->transmissionLimit = std::max(1, transmissions);
}

void Simulator::SetCanRetry(int delayMs, int tries) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->canRetryDelayMs = std::max(0, delayMs);
  impl_->canRetryTries = std::max(0, tries);
}

void Simulator::SetMute(bool mute) {
  impl_->mute = mute;
}

void Simulator::LoseNextAnswer(bool drop) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->loseNext = drop ? 2 : 1;
}

void Simulator::WorkOnNext(int ms) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->workNextMs = std::max(0, ms);
}

void Simulator::SpoilAnswers(uint8_t code, Spoil spoil) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (spoil.kind == Spoil::kNone) {
    impl_->spoils.erase(code);
  } else {
    impl_->spoils[code] = std::move(spoil);
  }
}

void Simulator::PowerOff() {
  Impl* s = impl_.get();
  std::shared_ptr<VirtualPrinter> printer;
  {
    std::lock_guard<std::mutex> lock(s->mu);
    s->poweredOff = true;  // from now on nothing is executed
    printer = std::move(s->printer);
    s->loseNext = 0;
    s->workingUntil = {};
  }
  // A command it is at finishes; nothing after it is stored or answered.
  if (printer) printer->PowerCut();
  s->Post([s] {
    s->EndConnection(true);
    CloseSocket(s->listener);
  });
  Flush();
}

void Simulator::PowerOn(std::shared_ptr<VirtualPrinter> printer) {
  Impl* s = impl_.get();
  if (printer) printer->PowerOn();
  s->Post([s, printer] {
    if (s->listener == INVALID_SOCKET) s->Listen(s->port);
    std::lock_guard<std::mutex> lock(s->mu);
    s->printer = printer;
    s->poweredOff = false;
  });
  Flush();
}

std::shared_ptr<VirtualPrinter> Simulator::Printer() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->printer;
}

void Simulator::Send(Bytes message, FrameStyle style) {
  Impl* s = impl_.get();
  s->Post([s, message, style] { s->Enqueue(OutItem{{message}, style, false, 0}); });
}

void Simulator::SendRaw(Bytes bytes) {
  Impl* s = impl_.get();
  s->Post([s, bytes] { s->Write(bytes); });
}

void Simulator::SendTogether(std::vector<Bytes> messages, FrameStyle style) {
  Impl* s = impl_.get();
  s->Post([s, messages, style] { s->Enqueue(OutItem{messages, style, true, 0}); });
}

void Simulator::SendBurst(std::vector<Bytes> messages, int gapMs) {
  Impl* s = impl_.get();
  s->Post([s, messages, gapMs] {
    for (const Bytes& m : messages) s->outbound.push_back(OutItem{{m}, {}, false, gapMs});
    s->Pump();
  });
}

void Simulator::SendCollision() {
  Impl* s = impl_.get();
  s->Post([s] { s->framing->SendCollision(); });
}

void Simulator::Close() {
  Impl* s = impl_.get();
  s->Post([s] { s->EndConnection(false); });
}

void Simulator::Reset() {
  Impl* s = impl_.get();
  s->Post([s] { s->EndConnection(true); });
}

bool Simulator::Flush(int timeoutMs) {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  uint64_t target = s.actionsQueued;
  return s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&s, target] {
    return s.actionsDone >= target || s.stop;
  }) && s.actionsDone >= target;
}

Record Simulator::Snapshot() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->record;
}

void Simulator::ClearRecord() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const uint64_t recorded = impl_->record.eventsDropped + impl_->record.events.size();
  impl_->record = Record{};
  impl_->record.eventsDropped = recorded;  // EventsSince counts on
}

std::vector<Event> Simulator::EventsSince(uint64_t* next) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const Record& r = impl_->record;
  const uint64_t first = std::max(*next, r.eventsDropped);
  const uint64_t end = r.eventsDropped + r.events.size();
  std::vector<Event> out;
  if (first < end) {
    out.assign(r.events.begin() + static_cast<ptrdiff_t>(first - r.eventsDropped), r.events.end());
  }
  *next = std::max(*next, end);
  return out;
}

std::vector<Bytes> Simulator::Messages() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->record.Messages();
}

Counters Simulator::GetCounters() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->record.counters;
}

bool Simulator::WaitFor(const std::function<bool(const Record&)>& pred, int timeoutMs) const {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  return s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(s.record); });
}

bool Simulator::WaitForMessages(size_t count, int timeoutMs) const {
  return WaitFor([count](const Record& r) { return r.Messages().size() >= count; }, timeoutMs);
}

bool Simulator::WaitForConnection(int timeoutMs) const {
  Impl& s = *impl_;
  std::unique_lock<std::mutex> lock(s.mu);
  return s.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&s] { return s.connected; });
}

Bytes Simulator::Encode(const Bytes& message, const FrameStyle& style) const {
  return impl_->framing->Encode(message, style);
}

}  // namespace ecrsim
