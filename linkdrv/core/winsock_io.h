// LinkIo over a blocking Winsock TCP socket. Every wait is a select with a
// bounded slice that also watches the link's stop flag, so no call blocks
// once the link is stopping, the socket was closed, or the ECR closed the
// connection.
#pragma once

#include <winsock2.h>

#include <atomic>

#include "framing.h"

namespace linkdrv {

class WinsockIo final : public LinkIo {
 public:
  explicit WinsockIo(const std::atomic<int32_t>& stop) : stop_(stop) {}
  ~WinsockIo() override { CloseSocket(); }
  WinsockIo(const WinsockIo&) = delete;
  WinsockIo& operator=(const WinsockIo&) = delete;

  // Makes a TCP connection to address:port (Winsock started for it);
  // returns the connected socket, or INVALID_SOCKET.
  static SOCKET Connect(const char* address, const char* port);
  // Takes a connected socket (from Connect); the previous one is closed.
  void Adopt(SOCKET socket);
  // Closes the socket; later calls fail at once.
  void CloseSocket();
  // Breaks a read in progress on another thread (the socket stays valid).
  void Interrupt();
  bool HasSocket() const { return socket_.load() != INVALID_SOCKET; }
  // True once a receive or send failed, or the ECR closed the connection.
  bool Failed() const { return failed_.load() != 0; }

  int Pending() override;
  int WaitReadable(int timeoutMs) override;
  // Waits (in bounded slices) until readable, then receives once.
  int Receive(uint8_t* buffer, int size) override;
  int Send(const uint8_t* buffer, int size) override;
  void SleepMs(int ms) override;

 private:
  // select on one socket for readability or writability, in slices of at
  // most 100 ms so that the stop flag is seen: 1 ready, 0 timed out, -1 failed.
  int WaitFor(bool write, int timeoutMs);
  void Fail() { failed_.store(1); }

  const std::atomic<int32_t>& stop_;
  std::atomic<SOCKET> socket_{INVALID_SOCKET};
  std::atomic<int32_t> failed_{0};
};

}  // namespace linkdrv
