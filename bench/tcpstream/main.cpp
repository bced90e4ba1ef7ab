// TCP stream throughput against a loopback peer: a stream of packets read
// the way the link engine reads (one byte per aStream_Read, waiting with
// aStream_Wait when nothing is there), the same in the write direction, and
// packet round trips. Prints bytes per second and system calls per byte
// (counted by the stream: receive, send and poll calls).
//
// Usage: bench_tcpstream [megabytes]   (default 32)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "common/aStreamsocket.h"

namespace {

using Clock = std::chrono::steady_clock;

double sSeconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int sListen(uint16_t* port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 4) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
    return -1;
  *port = ntohs(a.sin_port);
  return fd;
}

int sAccept(int listener) {
  pollfd p = {listener, POLLIN, 0};
  if (poll(&p, 1, 5000) <= 0) return -1;
  int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  int on = 1;
  if (c >= 0) setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return c;
}

// A packet stream: address 4, 28 data bytes, repeated.
std::vector<uint8_t> sPackets(size_t bytes) {
  std::vector<uint8_t> out(bytes);
  for (size_t i = 0; i < bytes; i++) {
    size_t k = i % 30;
    out[i] = k == 0 ? 4 : k == 1 ? 28 : static_cast<uint8_t>(i);
  }
  return out;
}

uint64_t sSyscalls(aStreamRef s) {
  aStreamSocketCounters c{};
  aStreamSocket_GetCounters(s, &c);
  return c.receiveCalls + c.sendCalls + c.pollCalls;
}

bool sSendAll(int fd, const uint8_t* data, size_t n) {
  size_t off = 0;
  while (off < n) {
    ssize_t m = send(fd, data + off, n - off, MSG_NOSIGNAL);
    if (m <= 0) return false;
    off += static_cast<size_t>(m);
  }
  return true;
}

// The peer sends `bytes` of packets as fast as it can; the stream reads them
// one byte at a time, waiting when nothing is there.
void sReadDirection(aStreamRef s, int peer, size_t bytes) {
  std::vector<uint8_t> data = sPackets(bytes);
  uint64_t before = sSyscalls(s);
  auto start = Clock::now();
  std::thread sender([&] { sSendAll(peer, data.data(), data.size()); });
  size_t got = 0, wrong = 0;
  while (got < bytes) {
    uint8_t b;
    aErr err = aStream_Read(s, &b, 1);
    if (err == aErrNotReady) {
      aStream_Wait(s, 1000);
      continue;
    }
    if (err != aErrNone) {
      std::fprintf(stderr, "read failed: %s\n", aError_GetErrorText(err));
      break;
    }
    if (b != data[got]) wrong++;
    got++;
  }
  double secs = sSeconds(start);
  sender.join();
  uint64_t calls = sSyscalls(s) - before;
  std::printf("read, byte by byte:   %10.1f MB/s  %.5f system calls/byte  (%zu bytes, %zu wrong)\n",
              got / secs / 1e6, static_cast<double>(calls) / got, got, wrong);
}

// The stream writes 30-byte packets, one aStream_Write each; the peer reads.
void sWriteDirection(aStreamRef s, int peer, size_t bytes) {
  std::vector<uint8_t> data = sPackets(bytes);
  std::atomic<size_t> received{0};
  std::thread reader([&] {
    std::vector<uint8_t> buf(1 << 16);
    while (received < bytes) {
      ssize_t n = recv(peer, buf.data(), buf.size(), 0);
      if (n <= 0) break;
      received += static_cast<size_t>(n);
    }
  });
  uint64_t before = sSyscalls(s);
  auto start = Clock::now();
  size_t failures = 0;
  for (size_t off = 0; off + 30 <= bytes; off += 30)
    if (aStream_Write(s, data.data() + off, 30) != aErrNone) failures++;
  reader.join();
  double secs = sSeconds(start);
  uint64_t calls = sSyscalls(s) - before;
  std::printf("write, 30-byte packets: %8.1f MB/s  %.5f system calls/byte  (%zu failed writes)\n",
              received / secs / 1e6, static_cast<double>(calls) / received, failures);
}

// One packet out, its echo back, `n` times.
void sRoundTrips(aStreamRef s, int peer, int n) {
  std::thread echo([&] {
    uint8_t buf[30];
    for (int i = 0; i < n; i++) {
      size_t got = 0;
      while (got < 30) {
        ssize_t m = recv(peer, buf + got, 30 - got, 0);
        if (m <= 0) return;
        got += static_cast<size_t>(m);
      }
      if (!sSendAll(peer, buf, 30)) return;
    }
  });
  std::vector<uint8_t> packet = sPackets(30);
  uint64_t before = sSyscalls(s);
  auto start = Clock::now();
  int done = 0;
  for (; done < n; done++) {
    if (aStream_Write(s, packet.data(), 30) != aErrNone) break;
    uint8_t back[30];
    aErr err;
    while ((err = aStream_Read(s, back, 30)) == aErrNotReady) aStream_Wait(s, 1000);
    if (err != aErrNone) break;
  }
  double secs = sSeconds(start);
  echo.join();
  uint64_t calls = sSyscalls(s) - before;
  std::printf("round trips, 30 bytes: %9.0f per s     %.2f system calls/round trip\n",
              done / secs, static_cast<double>(calls) / done);
}

}  // namespace

int main(int argc, char** argv) {
  long mb = argc > 1 ? std::atol(argv[1]) : 32;
  if (mb <= 0) {
    std::fprintf(stderr, "usage: bench_tcpstream [megabytes]\n");
    return 2;
  }
  size_t bytes = static_cast<size_t>(mb) * 1000000 / 30 * 30;
  uint16_t port = 0;
  int listener = sListen(&port);
  if (listener < 0) {
    std::perror("listen");
    return 1;
  }
  aStreamRef s = nullptr;
  if (aStream_CreateSocket(htonl(INADDR_LOOPBACK), port, &s) != aErrNone) {
    std::fprintf(stderr, "connect failed\n");
    return 1;
  }
  int peer = sAccept(listener);
  if (peer < 0) return 1;
  sReadDirection(s, peer, bytes);
  sWriteDirection(s, peer, bytes);
  sRoundTrips(s, peer, 20000);
  aStream_Destroy(&s);
  close(peer);
  close(listener);
  return 0;
}
