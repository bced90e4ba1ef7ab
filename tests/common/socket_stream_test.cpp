// The TCP socket stream against a loopback listener: refused connects,
// reads with nothing waiting, waiting for input, peer resets and
// reconnection, writes to a closed peer, a send buffer that stays full,
// and one reader beside one writer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/aStreamsocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

// A listening socket on 127.0.0.1 and an ephemeral port.
class Listener {
 public:
  explicit Listener(int receiveBuffer = 0) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
      setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = kLoopback;
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && listen(fd_, 8) == 0 &&
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
      port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    for (int c : accepted_) close(c);
    if (fd_ >= 0) close(fd_);
  }
  uint16_t port() const { return port_; }
  // The next connection, or -1 when none comes within the time-out.
  int accept(int timeoutMs = 5000) {
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return -1;
    int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) accepted_.push_back(c);
    return c;
  }
  // Closes an accepted connection with a reset instead of an orderly close.
  void reset(int connection) {
    linger lg = {1, 0};
    setsockopt(connection, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(connection);
    std::erase(accepted_, connection);
  }
  // Closes an accepted connection in an orderly way.
  void closeConnection(int connection) {
    close(connection);
    std::erase(accepted_, connection);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::vector<int> accepted_;
};

// Reads exactly n bytes from a peer connection within the time-out.
std::string sPeerRead(int fd, size_t n, int timeoutMs = 5000) {
  std::string out;
  auto deadline = Clock::now() + milliseconds(timeoutMs);
  while (out.size() < n && Clock::now() < deadline) {
    pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t got = recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (got <= 0) break;
    out.append(buf, static_cast<size_t>(got));
  }
  return out;
}

// Reads `count` bytes from the stream, waiting for input between attempts.
aErr sReadWaiting(aStreamRef s, uint8_t* out, uint64_t count, int timeoutMs = 5000) {
  auto deadline = Clock::now() + milliseconds(timeoutMs);
  aErr err = aErrNotReady;
  while ((err = aStream_Read(s, out, count)) == aErrNotReady && Clock::now() < deadline)
    aStream_Wait(s, 100);
  return err;
}

struct StreamHolder {
  aStreamRef s = nullptr;
  ~StreamHolder() {
    if (s) aStream_Destroy(&s);
  }
};

TEST(SocketStream, RefusedConnectGivesNoStream) {
  uint16_t port;
  {
    Listener l;
    port = l.port();
  }  // closed: nothing listens there now
  aStreamRef s = reinterpret_cast<aStreamRef>(0x1);
  EXPECT_EQ(aStream_CreateSocket(kLoopback, port, &s), aErrResource);
  EXPECT_EQ(s, nullptr);
  Listener l;
  EXPECT_EQ(aStream_CreateSocket(kLoopback, l.port(), nullptr), aErrResource);
}

TEST(SocketStream, ReadsWithNothingWaitingAndWaitingForInput) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int peer = l.accept();
  ASSERT_GE(peer, 0);

  uint8_t byte = 0;
  auto start = Clock::now();
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrNotReady);
  EXPECT_LT(Clock::now() - start, milliseconds(50));
  start = Clock::now();
  EXPECT_EQ(aStream_Wait(h.s, 80), aErrTimeout);
  EXPECT_GE(Clock::now() - start, milliseconds(75));

  // A burst is taken from the socket in one call and handed out by byte.
  const std::string burst = "\x04\x03\x01\x02\x03\x06\x00";
  ASSERT_EQ(send(peer, burst.data(), burst.size(), 0), static_cast<ssize_t>(burst.size()));
  ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);
  aStreamSocketCounters before{}, after{};
  ASSERT_EQ(aStreamSocket_GetCounters(h.s, &before), aErrNone);
  std::string got;
  for (size_t i = 0; i < burst.size(); i++) {
    ASSERT_EQ(aStream_Read(h.s, &byte, 1), aErrNone);
    got.push_back(static_cast<char>(byte));
  }
  EXPECT_EQ(got, burst);
  ASSERT_EQ(aStreamSocket_GetCounters(h.s, &after), aErrNone);
  EXPECT_EQ(after.receiveCalls - before.receiveCalls, 1u);
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrNotReady);

  // A partial read is put back whole.
  ASSERT_EQ(send(peer, "ab", 2, 0), 2);
  uint8_t four[4] = {};
  ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);
  EXPECT_EQ(aStream_Read(h.s, four, 4), aErrNotReady);
  ASSERT_EQ(send(peer, "cd", 2, 0), 2);
  ASSERT_EQ(sReadWaiting(h.s, four, 4), aErrNone);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(four), 4), "abcd");
}

TEST(SocketStream, WritesArriveWhole) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int peer = l.accept();
  ASSERT_GE(peer, 0);
  const uint8_t packet[] = {0xAD, 0x00, 0x08, 0x02, 0x00, 0x03};
  ASSERT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrNone);
  ASSERT_EQ(aStream_Write(h.s, packet, 1), aErrNone);
  EXPECT_EQ(sPeerRead(peer, 7), std::string("\xAD\x00\x08\x02\x00\x03\xAD", 7));
}

TEST(SocketStream, PeerResetReconnectsOnRead) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int first = l.accept();
  ASSERT_GE(first, 0);
  l.reset(first);
  ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);  // the reset is seen
  uint8_t byte = 0;
  // The read reconnects; nothing has been sent on the new connection yet.
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrNotReady);
  int second = l.accept();
  ASSERT_GE(second, 0);
  ASSERT_EQ(send(second, "Z", 1, 0), 1);
  ASSERT_EQ(sReadWaiting(h.s, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'Z');
  aStreamSocketCounters c{};
  ASSERT_EQ(aStreamSocket_GetCounters(h.s, &c), aErrNone);
  EXPECT_EQ(c.connects, 2u);
}

TEST(SocketStream, FailedReconnectIsReported) {
  auto l = std::make_unique<Listener>();
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l->port(), &h.s), aErrNone);
  int peer = l->accept();
  ASSERT_GE(peer, 0);
  l->reset(peer);
  l.reset();  // nobody listens any more
  ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrConnection);
  EXPECT_EQ(aStream_Write(h.s, &byte, 1), aErrConnection);
  // Waiting does not hide the failure from the reader.
  EXPECT_EQ(aStream_Wait(h.s, 1000), aErrNone);
}

// A write that finds the connection reset reconnects and sends the whole
// packet on the new connection; when nobody accepts any more, the write
// reports the failed reconnect and the stream stays disconnected.
TEST(SocketStream, WriteAfterAResetReconnectsOrReportsIt) {
  for (bool listening : {true, false}) {
    SCOPED_TRACE(listening ? "listening" : "gone");
    auto l = std::make_unique<Listener>();
    StreamHolder h;
    ASSERT_EQ(aStream_CreateSocket(kLoopback, l->port(), &h.s), aErrNone);
    int first = l->accept();
    ASSERT_GE(first, 0);
    l->reset(first);
    if (!listening) l.reset();
    ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);  // the reset has arrived
    const uint8_t packet[] = {0x04, 0x02, 0xC1, 0xC2};
    if (listening) {
      ASSERT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrNone);
      int second = l->accept();
      ASSERT_GE(second, 0);
      EXPECT_EQ(sPeerRead(second, 4), std::string("\x04\x02\xC1\xC2", 4));
    } else {
      EXPECT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrConnection);
      uint8_t byte = 0;
      EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrConnection);
      EXPECT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrConnection);
    }
  }
}

int gSigpipes = 0;
void sCountSigpipe(int) { gSigpipes++; }

TEST(SocketStream, WritingToAClosedPeerReconnectsWithoutSignal) {
  struct sigaction counting {}, previous{};
  counting.sa_handler = sCountSigpipe;
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &counting, &previous), 0);
  gSigpipes = 0;

  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int first = l.accept();
  ASSERT_GE(first, 0);
  l.closeConnection(first);  // an orderly close; the stream has no reader running

  // The first write after the close may still be accepted by the kernel
  // (TCP learns of the close from the reply); the broken pipe is found by a
  // following one, which reconnects and sends its bytes whole.
  int second = -1;
  for (int i = 0; i < 20 && second < 0; i++) {
    const uint8_t packet[] = {0x04, 0x01, static_cast<uint8_t>(i)};
    ASSERT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrNone);
    second = l.accept(50);
  }
  ASSERT_GE(second, 0);
  std::string got = sPeerRead(second, 3);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got.substr(0, 2), std::string("\x04\x01", 2));
  EXPECT_EQ(gSigpipes, 0);
  sigaction(SIGPIPE, &previous, nullptr);
}

TEST(SocketStream, ReaderThatSawTheCloseIsWokenByTheReconnect) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int first = l.accept();
  ASSERT_GE(first, 0);
  l.closeConnection(first);
  ASSERT_EQ(aStream_Wait(h.s, 5000), aErrNone);
  uint8_t byte = 0;
  EXPECT_EQ(aStream_Read(h.s, &byte, 1), aErrNotReady);  // the close is not an error
  // A closed connection keeps nothing to read: waiting sleeps, it does not spin.
  auto start = Clock::now();
  EXPECT_EQ(aStream_Wait(h.s, 100), aErrTimeout);
  EXPECT_GE(Clock::now() - start, milliseconds(95));

  auto waiter = std::async(std::launch::async, [&] { return aStream_Wait(h.s, 20000); });
  // The write knows the peer has closed: it reconnects before sending, so
  // not even its first bytes are lost.
  const uint8_t packet[] = {0x06, 0x00};
  ASSERT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrNone);
  int second = l.accept();
  ASSERT_GE(second, 0);
  EXPECT_EQ(sPeerRead(second, 2), std::string("\x06\x00", 2));
  ASSERT_EQ(waiter.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(waiter.get(), aErrNone);
  ASSERT_EQ(send(second, "Q", 1, 0), 1);
  ASSERT_EQ(sReadWaiting(h.s, &byte, 1), aErrNone);
  EXPECT_EQ(byte, 'Q');
}

TEST(SocketStream, FullSendBufferGivesUpAfterItsRetries) {
  Listener l(4096);
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int peer = l.accept();
  ASSERT_GE(peer, 0);  // accepted, never read
  std::vector<uint8_t> big(64u << 20, 0x55);
  auto start = Clock::now();
  EXPECT_EQ(aStream_Write(h.s, big.data(), big.size()), aErrWrite);
  auto took = Clock::now() - start;
  // Nine waits of 60 ms after the last progress at least.
  EXPECT_GE(took, milliseconds(9 * aSOCKET_RETRY_DELAY_MS - 20));
  EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(SocketStream, OneReaderBesideOneWriter) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  int peer = l.accept();
  ASSERT_GE(peer, 0);
  // The peer echoes everything back.
  std::atomic<bool> stop{false};
  std::thread echo([&] {
    char buf[4096];
    while (!stop) {
      pollfd p = {peer, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0) continue;
      ssize_t n = recv(peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      for (ssize_t off = 0; off < n;) {
        ssize_t m = send(peer, buf + off, static_cast<size_t>(n - off), MSG_NOSIGNAL);
        if (m <= 0) break;
        off += m;
      }
    }
  });
  constexpr int kPackets = 500;
  std::thread writer([&] {
    for (int i = 0; i < kPackets; i++) {
      const uint8_t packet[] = {0x02, 0x02, static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)};
      EXPECT_EQ(aStream_Write(h.s, packet, sizeof packet), aErrNone);
    }
  });
  int bad = 0;
  for (int i = 0; i < kPackets; i++) {
    uint8_t packet[4] = {};
    ASSERT_EQ(sReadWaiting(h.s, packet, 4), aErrNone) << i;
    if (packet[0] != 2 || packet[1] != 2 || (packet[2] | (packet[3] << 8)) != i) bad++;
  }
  EXPECT_EQ(bad, 0);
  writer.join();
  stop = true;
  echo.join();
}

// The peer resets every connection soon after it starts, while one thread
// writes and another reads: either side may find the loss and reconnect,
// under the other's feet. No write may fail or be lost for it.
TEST(SocketStream, ResetsUnderAReaderAndAWriter) {
  Listener l;
  StreamHolder h;
  ASSERT_EQ(aStream_CreateSocket(kLoopback, l.port(), &h.s), aErrNone);
  std::atomic<bool> stop{false};
  std::atomic<int> connections{0};
  std::thread peer([&] {
    while (!stop) {
      int c = l.accept(50);
      if (c < 0) continue;
      connections++;
      // Take a little, then reset.
      char buf[64];
      pollfd p = {c, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) (void)!recv(c, buf, sizeof buf, 0);
      l.reset(c);
    }
  });
  std::atomic<bool> writing{true};
  std::thread reader([&] {
    uint8_t byte = 0;
    while (writing) {
      aStream_Wait(h.s, 10);
      aErr err = aStream_Read(h.s, &byte, 1);
      EXPECT_TRUE(err == aErrNotReady || err == aErrNone) << aError_GetErrorText(err);
    }
  });
  int failed = 0;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < 300 && Clock::now() < deadline; i++) {
    const uint8_t packet[] = {0x02, 0x01, static_cast<uint8_t>(i)};
    aErr err = aStream_Write(h.s, packet, sizeof packet);
    if (err != aErrNone) {
      failed++;
      ADD_FAILURE() << "write " << i << ": " << aError_GetErrorText(err);
    }
    if (i % 10 == 0) std::this_thread::sleep_for(milliseconds(2));
  }
  writing = false;
  reader.join();
  stop = true;
  peer.join();
  EXPECT_EQ(failed, 0);
  EXPECT_GT(connections.load(), 1);
}

TEST(SocketStream, CountersOnlyForSocketStreams) {
  aStreamSocketCounters c{};
  EXPECT_EQ(aStreamSocket_GetCounters(nullptr, &c), aErrParam);
  aStreamRef other = aStream_Create(nullptr, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(aStreamSocket_GetCounters(other, &c), aErrParam);
  aStream_Destroy(&other);
}

}  // namespace
