// The Winsock transport under the framings: bytes come out in order however
// they are read (one at a time, or more than were sent in one piece), the
// end of the connection comes after the bytes sent before it, every wait
// ends (on time, on the stop flag, when the socket is closed or the link is
// interrupted), sends are whole or bounded, and a new connection does not
// hand out bytes left over from the old one.
#include <winsock2.h>
// After winsock2.h:
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "winsock_io.h"

namespace linkdrv_test {
namespace {

using linkdrv::WinsockIo;

DWORD ElapsedMs(DWORD start) {
  return GetTickCount() - start;
}

// A listening socket on 127.0.0.1 and the peer end of one connection to it.
class Peer {
 public:
  Peer() {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(listener_, 1);
    int len = sizeof a;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = std::to_string(ntohs(a.sin_port));
  }
  ~Peer() {
    Close();
    closesocket(listener_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Connects a new WinsockIo socket to this peer; the peer accepts it.
  SOCKET ConnectTo() {
    SOCKET s = WinsockIo::Connect("127.0.0.1", port_.c_str());
    if (s != INVALID_SOCKET) conn_ = accept(listener_, nullptr, nullptr);
    return s;
  }
  void Send(const std::string& bytes) {
    send(conn_, bytes.data(), static_cast<int>(bytes.size()), 0);
  }
  std::string Receive(int size) {
    std::string out(size, '\0');
    int got = 0;
    while (got < size) {
      int n = recv(conn_, &out[got], size - got, 0);
      if (n <= 0) break;
      got += n;
    }
    out.resize(got);
    return out;
  }
  // A graceful close (the other side reads the end after the bytes).
  void Close() {
    if (conn_ == INVALID_SOCKET) return;
    shutdown(conn_, SD_SEND);
    closesocket(conn_);
    conn_ = INVALID_SOCKET;
  }
  // Bytes that have reached this end and wait to be read.
  int Available() {
    u_long count = 0;
    return ioctlsocket(conn_, FIONREAD, &count) == 0 ? static_cast<int>(count) : -1;
  }
  void SetReceiveBuffer(int bytes) {
    setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes),
               sizeof bytes);
  }

 private:
  SOCKET listener_ = INVALID_SOCKET;
  SOCKET conn_ = INVALID_SOCKET;
  std::string port_;
};

class WinsockIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  }
  void TearDown() override { WSACleanup(); }

  // Adopts a connection to peer into io; false when it could not be made.
  bool Link(WinsockIo& io, Peer& peer) {
    SOCKET s = peer.ConnectTo();
    if (s == INVALID_SOCKET) return false;
    io.Adopt(s);
    return true;
  }

  // Waits (bounded) until io reports at least count bytes pending.
  static int PendingAtLeast(WinsockIo& io, int count) {
    int p = 0;
    for (DWORD start = GetTickCount(); ElapsedMs(start) < 2000; Sleep(5)) {
      p = io.Pending();
      if (p < 0 || p >= count) break;
    }
    return p;
  }

  static std::string Take(WinsockIo& io, int size) {
    std::vector<uint8_t> b(size);
    int n = io.Receive(b.data(), size);
    return n > 0 ? std::string(b.begin(), b.begin() + n) : std::string();
  }

  std::atomic<int32_t> stop{0};
};

TEST_F(WinsockIoTest, BytesComeOutInOrderHoweverTheyAreRead) {
  Peer peer;
  WinsockIo io(stop);
  ASSERT_TRUE(Link(io, peer));
  EXPECT_EQ(io.Pending(), 0);

  // One frame in one piece, read a byte at a time and then in one go.
  peer.Send("@A0102\r");
  EXPECT_EQ(PendingAtLeast(io, 7), 7);
  EXPECT_EQ(io.WaitReadable(0), 1);
  EXPECT_EQ(Take(io, 1), "@");
  EXPECT_EQ(Take(io, 1), "A");
  EXPECT_EQ(io.Pending(), 5);
  EXPECT_EQ(Take(io, 256), "0102\r");
  EXPECT_EQ(io.Pending(), 0);
  EXPECT_EQ(io.WaitReadable(0), 0);

  // Bytes that come while some are still unread top up a larger read,
  // and count as pending with them.
  peer.Send("xyz");
  EXPECT_EQ(PendingAtLeast(io, 3), 3);
  EXPECT_EQ(Take(io, 1), "x");
  peer.Send("123");
  EXPECT_EQ(PendingAtLeast(io, 5), 5);
  EXPECT_EQ(Take(io, 10), "yz123");

  // More than the buffer holds, in several pieces, read in mixed sizes.
  std::string big;
  for (int i = 0; i < 10000; ++i) big.push_back(static_cast<char>('a' + i % 26));
  peer.Send(big.substr(0, 6000));
  peer.Send(big.substr(6000));
  std::string got;
  for (int size = 1; got.size() < big.size() && io.WaitReadable(1000) == 1; size = size % 700 + 1) {
    got += Take(io, size);
  }
  EXPECT_EQ(got, big);
  EXPECT_FALSE(io.Failed());

  // What is sent goes out whole.
  EXPECT_EQ(io.Send(reinterpret_cast<const uint8_t*>("@I\r"), 3), 3);
  EXPECT_EQ(peer.Receive(3), "@I\r");
}

TEST_F(WinsockIoTest, TheEndOfTheConnectionComesAfterTheBytesBeforeIt) {
  Peer peer;
  WinsockIo io(stop);
  ASSERT_TRUE(Link(io, peer));
  peer.Send("abc");
  EXPECT_EQ(PendingAtLeast(io, 3), 3);
  peer.Close();
  Sleep(100);

  EXPECT_EQ(Take(io, 1), "a");
  EXPECT_EQ(io.Pending(), 2);  // the bytes first, not the failure
  EXPECT_FALSE(io.Failed());
  EXPECT_EQ(Take(io, 5), "bc");

  // Then the end: readable at once, a receive of nothing, and a failed link.
  DWORD start = GetTickCount();
  EXPECT_EQ(io.WaitReadable(5000), 1);
  EXPECT_LT(ElapsedMs(start), 1000u);
  uint8_t b = 0;
  EXPECT_EQ(io.Receive(&b, 1), 0);
  EXPECT_EQ(io.Pending(), -1);
  EXPECT_TRUE(io.Failed());
}

TEST_F(WinsockIoTest, EveryWaitEnds) {
  Peer peer;
  WinsockIo io(stop);
  ASSERT_TRUE(Link(io, peer));
  uint8_t b = 0;

  // A silent ECR: the wait times out, not earlier and not much later.
  DWORD start = GetTickCount();
  EXPECT_EQ(io.WaitReadable(300), 0);
  EXPECT_GE(ElapsedMs(start), 250u);
  EXPECT_LT(ElapsedMs(start), 1500u);

  // Bytes that come during a wait end it.
  std::thread sender([&peer] {
    Sleep(100);
    peer.Send("Q");
  });
  start = GetTickCount();
  EXPECT_EQ(io.WaitReadable(5000), 1);
  EXPECT_LT(ElapsedMs(start), 1500u);
  sender.join();
  EXPECT_EQ(Take(io, 1), "Q");

  // Interrupting the link ends a receive that waits for bytes.
  std::thread interrupter([&io] {
    Sleep(100);
    io.Interrupt();
  });
  start = GetTickCount();
  EXPECT_LE(io.Receive(&b, 1), 0);
  EXPECT_LT(ElapsedMs(start), 1500u);
  interrupter.join();

  // On a new connection: the stop flag ends a wait and a receive.
  Peer second;
  ASSERT_TRUE(Link(io, second));
  std::thread stopper([this] {
    Sleep(100);
    stop.store(1);
  });
  start = GetTickCount();
  EXPECT_EQ(io.WaitReadable(5000), -1);
  EXPECT_LT(ElapsedMs(start), 1500u);
  EXPECT_EQ(io.Receive(&b, 1), -1);
  stopper.join();
  stop.store(0);

  // Closing the socket ends a receive in progress; later calls fail at once.
  std::thread closer([&io] {
    Sleep(100);
    io.CloseSocket();
  });
  start = GetTickCount();
  EXPECT_EQ(io.Receive(&b, 1), -1);
  EXPECT_LT(ElapsedMs(start), 1500u);
  closer.join();
  EXPECT_EQ(io.Pending(), -1);
  EXPECT_EQ(io.WaitReadable(1000), -1);
  EXPECT_EQ(io.Send(&b, 1), -1);
}

TEST_F(WinsockIoTest, AnEcrThatTakesNothingCannotHoldASendPastTheStopFlag) {
  Peer peer;
  peer.SetReceiveBuffer(4096);
  WinsockIo io(stop);
  SOCKET s = peer.ConnectTo();
  ASSERT_NE(s, INVALID_SOCKET);
  int small = 4096;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
  io.Adopt(s);

  std::thread stopper([this] {
    Sleep(300);
    stop.store(1);
  });
  std::vector<uint8_t> chunk(65536, 0x55);
  DWORD start = GetTickCount();
  int last = 0;
  for (int i = 0; i < 4000; ++i) {  // far more than any socket buffers
    last = io.Send(chunk.data(), static_cast<int>(chunk.size()));
    if (last != static_cast<int>(chunk.size())) break;
  }
  DWORD took = ElapsedMs(start);
  stopper.join();
  EXPECT_NE(last, static_cast<int>(chunk.size()));  // cut short: a part, or nothing
  EXPECT_LT(took, 2000u);
}

// A command held up by an ECR that takes nothing, when the caller connects
// again (control code -110): its send ends, none of its bytes go out on the
// new connection, and its failure does not count against the new one.
TEST_F(WinsockIoTest, ASendHeldOnTheOldConnectionStaysOffTheNewOne) {
  Peer first, second;
  first.SetReceiveBuffer(4096);
  WinsockIo io(stop);
  SOCKET s = first.ConnectTo();
  ASSERT_NE(s, INVALID_SOCKET);
  int small = 4096;
  setsockopt(s, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
  io.Adopt(s);

  std::atomic<int> last{0};
  std::atomic<DWORD> ended{0};
  std::thread sender([&io, &last, &ended] {
    std::vector<uint8_t> chunk(65536, 0x55);
    for (int i = 0; i < 4000; ++i) {  // far more than any socket buffers
      last = io.Send(chunk.data(), static_cast<int>(chunk.size()));
      if (last != static_cast<int>(chunk.size())) break;
    }
    ended = GetTickCount();
  });
  Sleep(300);  // the send now waits for room that never comes
  DWORD adopted = GetTickCount();
  ASSERT_TRUE(Link(io, second));
  sender.join();
  EXPECT_NE(last.load(), 65536);
  EXPECT_LT(ended.load() - adopted, 1500u);

  Sleep(200);
  EXPECT_EQ(second.Available(), 0);  // nothing of the old command
  EXPECT_FALSE(io.Failed());
  EXPECT_EQ(io.Pending(), 0);
  EXPECT_EQ(io.Send(reinterpret_cast<const uint8_t*>("@I\r"), 3), 3);
  EXPECT_EQ(second.Receive(3), "@I\r");
}

TEST_F(WinsockIoTest, ANewConnectionDropsWhatTheOldOneLeftUnread) {
  Peer first, second;
  WinsockIo io(stop);
  ASSERT_TRUE(Link(io, first));
  first.Send("old");
  EXPECT_EQ(PendingAtLeast(io, 3), 3);
  EXPECT_EQ(Take(io, 1), "o");

  ASSERT_TRUE(Link(io, second));
  second.Send("new");
  EXPECT_EQ(PendingAtLeast(io, 3), 3);
  EXPECT_EQ(Take(io, 10), "new");
  EXPECT_FALSE(io.Failed());
}

}  // namespace
}  // namespace linkdrv_test
