// LinkIo over a Winsock TCP socket.
//
// The socket is non-blocking underneath (its network events signal one
// event object): every socket call returns at once, and the only waits are
// waits on that event in bounded slices that also watch the link's stop
// flag, so no call blocks once the link is stopping, the socket was closed,
// or the ECR closed the connection. A wait is made only when a call would
// block. No select is used: under Wine a select, even one that finds the
// socket ready, now and then takes several milliseconds after the machine
// has been idle, where a recv, a send or a wait on the event does not.
//
// Received bytes are buffered: one recv takes everything the socket holds
// and the framings' single-byte reads are served from the buffer, so a frame
// costs one receive call instead of one per byte. The bytes on the wire and
// the order in which the framings see them are unchanged.
#pragma once

#include <winsock2.h>

#include <atomic>

#include "framing.h"
#include "win_raii.h"

namespace linkdrv {

class WinsockIo final : public LinkIo {
 public:
  explicit WinsockIo(const std::atomic<int32_t>& stop)
      : stop_(stop), networkEvent_(WSACreateEvent()) {}
  ~WinsockIo() override { CloseSocket(); }
  WinsockIo(const WinsockIo&) = delete;
  WinsockIo& operator=(const WinsockIo&) = delete;

  // Makes a TCP connection to address:port (Winsock started for it);
  // returns the connected socket, or INVALID_SOCKET.
  static SOCKET Connect(const char* address, const char* port);
  // Takes a connected socket (from Connect); the previous one is closed and
  // bytes buffered from it are dropped.
  void Adopt(SOCKET socket);
  // Closes the socket; later calls fail at once.
  void CloseSocket();
  // Breaks a read or send in progress on another thread (the socket stays
  // valid, but no more bytes pass).
  void Interrupt();
  // True once a receive or send failed, or the ECR closed the connection.
  bool Failed() const { return failed_.load() != 0; }

  // Buffered bytes plus those the socket holds; -1 once the connection
  // failed or the ECR closed it (after what it sent has been read).
  int Pending() override;
  int WaitReadable(int timeoutMs) override;
  // Serves buffered bytes; with none, refills the buffer with one receive,
  // waiting (in bounded slices) until there is something to receive.
  int Receive(uint8_t* buffer, int size) override;
  // Sends all size bytes, waiting (bounded) while the socket cannot take
  // them; returns the count sent, or -1 when nothing could be sent.
  int Send(const uint8_t* buffer, int size) override;
  void SleepMs(int ms) override;

 private:
  // Waits up to timeoutMs for a network event of the socket (bytes, room to
  // send, the end of the connection), in slices of at most 100 ms so that
  // the stop flag is seen: 1 something happened (try again), 0 timed out,
  // -1 the link is stopping or has no socket.
  int WaitNetworkEvent(int timeoutMs);
  void Fail() { failed_.store(1); }
  // Bytes the current socket holds (FIONREAD), under the lock; -1 (and the
  // link failed) when the ioctl failed.
  int SocketHeld();
  // One send on the socket of `generation`, under the lock: the count sent,
  // 0 when the socket cannot take more now, -1 when it failed (failed_ set)
  // or was replaced or closed since (the new one is left alone).
  int SendOnce(uint32_t generation, const uint8_t* bytes, int size);
  // Bytes in the receive buffer; drops them when the socket was replaced or
  // closed since they were received.
  int Buffered();
  // One receive appended to the buffer: the count received (> 0), 0 when
  // the socket has nothing now, -1 when the ECR closed the connection
  // (peerClosed_ set) or it failed (both set failed_).
  int Refill();

  static constexpr int kBufferSize = 4096;

  const std::atomic<int32_t>& stop_;
  kr::UniqueHandle networkEvent_;  // manual reset, signalled by the socket's events
  std::atomic<SOCKET> socket_{INVALID_SOCKET};
  std::atomic<int32_t> failed_{0};
  // Bumped with every change of socket_ (Adopt, CloseSocket: application
  // thread); the reader (the link thread) drops what it buffered under an
  // older value. The lock makes a change exclusive with every socket call
  // of the link thread, so the bytes of one receive are always filed under
  // their own socket, a send begun on one socket never goes on on the next,
  // and a failure is only ever charged to the socket that failed.
  std::atomic<uint32_t> generation_{0};
  kr::CriticalSection socketLock_;

  // Touched by the link thread only.
  uint8_t buffer_[kBufferSize];
  int bufferStart_ = 0;
  int bufferCount_ = 0;
  bool peerClosed_ = false;
  uint32_t bufferGeneration_ = 0;
};

}  // namespace linkdrv
