#include "winsock_io.h"

#include <windows.h>

#include <climits>
#include <cstdlib>

namespace linkdrv {
namespace {

constexpr int kSliceMs = 100;
constexpr int kSendWaitMs = 5000;  // a send that cannot go out for this long fails

}  // namespace

SOCKET WinsockIo::Connect(const char* address, const char* port) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return INVALID_SOCKET;
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<u_short>(std::atoi(port)));
  to.sin_addr.s_addr = inet_addr(address);
  SOCKET s = INVALID_SOCKET;
  if (to.sin_addr.s_addr != INADDR_NONE) s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s != INVALID_SOCKET) {
    if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      u_long blocking = 0;
      ioctlsocket(s, FIONBIO, &blocking);
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
  SOCKET old = socket_.exchange(socket);
  failed_.store(0);
  if (old != INVALID_SOCKET) {
    closesocket(old);
    WSACleanup();
  }
}

void WinsockIo::CloseSocket() {
  SOCKET old = socket_.exchange(INVALID_SOCKET);
  if (old != INVALID_SOCKET) {
    shutdown(old, SD_BOTH);
    closesocket(old);
    WSACleanup();
  }
}

void WinsockIo::Interrupt() {
  SOCKET s = socket_.load();
  if (s != INVALID_SOCKET) shutdown(s, SD_BOTH);
}

int WinsockIo::WaitFor(bool write, int timeoutMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (stop_.load()) return -1;
    SOCKET s = socket_.load();
    if (s == INVALID_SOCKET) return -1;
    int elapsed = static_cast<int>(GetTickCount() - start);
    int remaining = timeoutMs - elapsed;
    if (remaining < 0) remaining = 0;
    int slice = remaining < kSliceMs ? remaining : kSliceMs;
    fd_set ready, broken;
    FD_ZERO(&ready);
    FD_ZERO(&broken);
    FD_SET(s, &ready);
    FD_SET(s, &broken);
    timeval tv = {slice / 1000, (slice % 1000) * 1000};
    int r = select(0, write ? nullptr : &ready, write ? &ready : nullptr, &broken, &tv);
    if (r == SOCKET_ERROR) {
      Fail();
      return -1;
    }
    if (r > 0) {
      if (FD_ISSET(s, &broken)) {
        Fail();
        return -1;
      }
      return 1;
    }
    if (remaining == 0) return 0;
  }
}

int WinsockIo::Pending() {
  SOCKET s = socket_.load();
  if (s == INVALID_SOCKET || Failed()) return -1;
  u_long count = 0;
  if (ioctlsocket(s, FIONREAD, &count) != 0) {
    Fail();
    return -1;
  }
  if (count > 0) return count > INT_MAX ? INT_MAX : static_cast<int>(count);
  // Nothing to read: a readable socket now means the ECR closed or reset it.
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(s, &ready);
  timeval none = {0, 0};
  int r = select(0, &ready, nullptr, nullptr, &none);
  if (r == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  if (r == 0) return 0;
  char peek;
  int n = recv(s, &peek, 1, MSG_PEEK);
  if (n <= 0) {
    Fail();
    return -1;
  }
  return n;
}

int WinsockIo::WaitReadable(int timeoutMs) {
  return WaitFor(false, timeoutMs);
}

int WinsockIo::Receive(uint8_t* buffer, int size) {
  if (size <= 0) return -1;
  for (;;) {
    int w = WaitFor(false, kSliceMs);
    if (w < 0) return -1;
    if (w > 0) break;
  }
  int n = recv(socket_.load(), reinterpret_cast<char*>(buffer), size, 0);
  if (n <= 0) Fail();
  return n < 0 ? -1 : n;
}

int WinsockIo::Send(const uint8_t* buffer, int size) {
  if (size <= 0) return 0;
  if (WaitFor(true, kSendWaitMs) <= 0) return -1;
  int n = send(socket_.load(), reinterpret_cast<const char*>(buffer), size, 0);
  if (n == SOCKET_ERROR) {
    Fail();
    return -1;
  }
  return n;
}

void WinsockIo::SleepMs(int ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace linkdrv
