#include "winsock_io.h"

#include "settings.h"

#include <windows.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace linkdrv {
namespace {

constexpr int kSliceMs = 100;
constexpr int kSendWaitMs = 5000;  // a send that cannot go out for this long fails

bool WouldBlock() {
  return WSAGetLastError() == WSAEWOULDBLOCK;
}

}  // namespace

SOCKET WinsockIo::Connect(const char* address, const char* port) {
  unsigned short portNumber = 0;
  if (!ParsePort(port, &portNumber)) return INVALID_SOCKET;
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return INVALID_SOCKET;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(portNumber);
  to.sin_addr.s_addr = inet_addr(address);
  SOCKET s = INVALID_SOCKET;
  if (to.sin_addr.s_addr != INADDR_NONE) s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET) {
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      // Non-blocking: WinsockIo makes its own bounded waits (see the header).
      u_long nonBlocking = 1;
      ioctlsocket(s, FIONBIO, &nonBlocking);
      BOOL noDelay = TRUE;  // frames are small and each is one send
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay);
      return s;
    }
    closesocket(s);
  }
  WSACleanup();
  return INVALID_SOCKET;
}

void WinsockIo::Adopt(SOCKET socket) {
  SOCKET old;
  {
    kr::LockGuard<kr::CriticalSection> guard(socketLock_);
    old = socket_.exchange(socket);
    generation_ += 1;
    failed_.store(0);
  }
  if (socket != INVALID_SOCKET && networkEvent_) {
    WSAEventSelect(socket, networkEvent_.get(), FD_READ | FD_WRITE | FD_CLOSE);
  }
  if (old != INVALID_SOCKET) {
    closesocket(old);
    WSACleanup();
  }
  if (networkEvent_) WSASetEvent(networkEvent_.get());  // a wait in progress looks again
}

void WinsockIo::CloseSocket() {
  SOCKET old;
  {
    kr::LockGuard<kr::CriticalSection> guard(socketLock_);
    old = socket_.exchange(INVALID_SOCKET);
    generation_ += 1;
  }
  if (old != INVALID_SOCKET) {
    shutdown(old, SD_BOTH);
    closesocket(old);
    WSACleanup();
  }
  if (networkEvent_) WSASetEvent(networkEvent_.get());
}

void WinsockIo::Interrupt() {
  SOCKET s = socket_.load();
  if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
  if (networkEvent_) WSASetEvent(networkEvent_.get());
}

int WinsockIo::WaitNetworkEvent(int timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (stop_.load() || socket_.load() == INVALID_SOCKET || !networkEvent_) return -1;
    int elapsed = static_cast<int>(GetTickCount() - start);
    int remaining = timeoutMs - elapsed;
    if (remaining < 0) remaining = 0;
    int slice = remaining < kSliceMs ? remaining : kSliceMs;
    DWORD w = WaitForSingleObject(networkEvent_.get(), static_cast<DWORD>(slice));
    if (w == WAIT_OBJECT_0) {
      // Reset before the caller's next receive or send: those re-arm the
      // socket's events, so what happens after them signals again.
      WSAResetEvent(networkEvent_.get());
      return 1;
    }
    if (w != WAIT_TIMEOUT) {
      Fail();
      return -1;
    }
    if (remaining == 0) return 0;
  }
}

int WinsockIo::SocketHeld() {
  kr::LockGuard<kr::CriticalSection> guard(socketLock_);
  u_long count = 0;
  if (ioctlsocket(socket_.load(), FIONREAD, &count) != 0) {
    Fail();
    return -1;
  }
  return count > INT_MAX ? INT_MAX : static_cast<int>(count);
}

int WinsockIo::SendOnce(uint32_t generation, const uint8_t* bytes, int size) {
  kr::LockGuard<kr::CriticalSection> guard(socketLock_);
  if (generation_.load() != generation) return -1;
  int n = send(socket_.load(), reinterpret_cast<const char*>(bytes), size, 0);
  if (n > 0) return n;
  if (n == SOCKET_ERROR && WouldBlock()) return 0;
  Fail();
  return -1;
}

int WinsockIo::Buffered() {
  uint32_t generation = generation_.load();
  if (generation != bufferGeneration_) {
    bufferGeneration_ = generation;
    bufferStart_ = 0;
    bufferCount_ = 0;
    peerClosed_ = false;
  }
  return bufferCount_;
}

int WinsockIo::Refill() {
  kr::LockGuard<kr::CriticalSection> guard(socketLock_);
  Buffered();
  if (peerClosed_) return -1;
  if (bufferStart_ > 0) {
    std::memmove(buffer_, buffer_ + bufferStart_, bufferCount_);
    bufferStart_ = 0;
  }
  if (bufferCount_ == kBufferSize) return 0;  // full: nothing more fits now
  int n = recv(socket_.load(), reinterpret_cast<char*>(buffer_ + bufferCount_),
               kBufferSize - bufferCount_, 0);
  if (n == SOCKET_ERROR && WouldBlock()) return 0;
  if (n <= 0) {
    peerClosed_ = n == 0;
    Fail();
    return -1;
  }
  bufferCount_ += n;
  return n;
}

int WinsockIo::Pending() {
  if (socket_.load() == INVALID_SOCKET || Failed()) return -1;
  // An empty buffer is refilled: the receive that finds nothing is also
  // what tells that the ECR closed or reset the connection.
  if (Buffered() == 0 && Refill() < 0) return -1;
  int held = SocketHeld();
  if (held < 0) return -1;
  return held > INT_MAX - bufferCount_ ? INT_MAX : bufferCount_ + held;
}

int WinsockIo::WaitReadable(int timeoutMs) {
  if (Buffered() > 0) return 1;
  if (peerClosed_) return 1;  // the end of the connection: Receive gives 0
  if (socket_.load() == INVALID_SOCKET || stop_.load()) return -1;
  int n = Refill();
  if (n > 0) return 1;
  if (n < 0) return peerClosed_ ? 1 : -1;
  // Woken by any event of the socket: readable only once bytes (or the end)
  // can be received, so a wake for room to send waits on.
  DWORD start = GetTickCount();
  for (;;) {
    int remaining = timeoutMs - static_cast<int>(GetTickCount() - start);
    int w = WaitNetworkEvent(remaining > 0 ? remaining : 0);
    if (w <= 0) return w;
    n = Refill();
    if (n > 0) return 1;
    if (n < 0) return peerClosed_ ? 1 : -1;
  }
}

int WinsockIo::Receive(uint8_t* buffer, int size) {
  if (size <= 0) return -1;
  if (Buffered() == 0) {
    for (;;) {
      if (peerClosed_) return 0;
      int n = Refill();
      if (n > 0) break;
      if (n < 0) return peerClosed_ ? 0 : -1;
      if (WaitNetworkEvent(kSliceMs) < 0) return -1;
    }
  } else if (bufferCount_ < size) {
    // What has come since tops up a larger read, as one recv would.
    if (socket_.load() != INVALID_SOCKET && SocketHeld() > 0) Refill();
  }
  int n = std::min(size, bufferCount_);
  std::memcpy(buffer, buffer_ + bufferStart_, n);
  bufferStart_ += n;
  bufferCount_ -= n;
  if (bufferCount_ == 0) bufferStart_ = 0;
  return n;
}

int WinsockIo::Send(const uint8_t* buffer, int size) {
  if (size <= 0) return 0;
  // The socket this send began on: once it is replaced, the rest of the
  // bytes are not the new connection's to carry.
  const uint32_t generation = generation_.load();
  DWORD start = GetTickCount();
  int sent = 0;
  while (sent < size) {
    int n = SendOnce(generation, buffer + sent, size - sent);
    if (n > 0) {
      sent += n;
      continue;
    }
    if (n < 0) break;
    int remaining = kSendWaitMs - static_cast<int>(GetTickCount() - start);
    if (remaining <= 0 || WaitNetworkEvent(remaining) <= 0) {
      break;  // the ECR takes nothing for too long, or the link is stopping
    }
  }
  return sent > 0 ? sent : -1;
}

void WinsockIo::SleepMs(int ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace linkdrv
