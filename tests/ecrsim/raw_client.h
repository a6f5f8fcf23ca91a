// A bare Winsock client that plays the driver's side byte for byte, so the
// simulator's tests see exactly what it puts on the wire.
#pragma once

#include <winsock2.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "ecrsim.h"

namespace ecrsim_test {

using ecrsim::Bytes;

class RawClient {
 public:
  RawClient() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
  ~RawClient() {
    Close();
    WSACleanup();
  }

  bool Connect(uint16_t port) {
    Close();
    s_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    BOOL noDelay = TRUE;
    setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
               sizeof noDelay);
    return connect(s_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }

  void Close() {
    if (s_ != INVALID_SOCKET) closesocket(s_);
    s_ = INVALID_SOCKET;
  }

  bool Send(const Bytes& bytes) {
    int n =
        send(s_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
    lastError_ = n < 0 ? WSAGetLastError() : 0;
    return n == static_cast<int>(bytes.size());
  }

  // Reads until `count` bytes arrived or timeoutMs passed; returns what came.
  Bytes Read(size_t count, int timeoutMs = 2000) {
    Bytes out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (out.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                      end - std::chrono::steady_clock::now())
                      .count();
      if (left <= 0) break;
      fd_set r;
      FD_ZERO(&r);
      FD_SET(s_, &r);
      timeval tv{static_cast<long>(left / 1000000), static_cast<long>(left % 1000000)};
      if (select(0, &r, nullptr, nullptr, &tv) <= 0) break;
      uint8_t b[512];
      size_t want = count - out.size();
      int n = recv(s_, reinterpret_cast<char*>(b),
                   static_cast<int>(want < sizeof b ? want : sizeof b), 0);
      lastRecv_ = n;
      if (n <= 0) {
        lastError_ = n < 0 ? WSAGetLastError() : 0;
        break;
      }
      out.insert(out.end(), b, b + n);
    }
    return out;
  }

  // Everything that arrives within ms.
  Bytes ReadFor(int ms) { return Read(1 << 20, ms); }

  // Result of the last receive (0: closed by the peer, <0: failed), and the
  // error of the last failed receive or send.
  int LastRecv() const { return lastRecv_; }
  int LastError() const { return lastError_; }

 private:
  SOCKET s_ = INVALID_SOCKET;
  int lastRecv_ = 1;
  int lastError_ = 0;
};

inline Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes Text(const char* s) {
  return Bytes(s, s + std::char_traits<char>::length(s));
}

}  // namespace ecrsim_test
