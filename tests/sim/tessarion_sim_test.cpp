// tessarion-sim on its own, spoken to byte by byte over raw sockets and the
// pseudo-terminal, so that its side of the wire protocol is checked
// independently of the library's link engine.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/Process.h"
#include "support/TessarionSim.h"

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

namespace {

// One end of a byte channel to the simulator: a TCP connection or the
// pseudo-terminal.
class Raw {
 public:
  static Raw tcp(std::uint16_t port) {
    Raw r;
    r.fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(r.fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(r.fd_);
      r.fd_ = -1;
    }
    return r;
  }
  static Raw tty(const std::string& path) {
    Raw r;
    r.fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t{};
    if (r.fd_ >= 0 && tcgetattr(r.fd_, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(r.fd_, TCSANOW, &t);
    }
    return r;
  }
  Raw() = default;
  Raw(Raw&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  ~Raw() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), static_cast<ssize_t>(b.size())); }
  // Reads until n bytes came or the time-out passed. `closed` tells whether
  // the peer ended or reset the connection.
  Bytes read(std::size_t n, std::chrono::milliseconds timeout, bool* closed = nullptr) {
    Bytes out;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    if (closed) *closed = false;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      std::uint8_t buf[256];
      ssize_t got = ::read(fd_, buf, std::min(sizeof buf, n - out.size()));
      if (got <= 0) {
        if (closed) *closed = true;
        break;
      }
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  int fd_ = -1;
};

tstest::TessarionSim startSim(std::vector<std::string> args, bool pty = false) {
  tstest::SimOptions o;
  o.args = std::move(args);
  o.pty = pty;
  return tstest::TessarionSim(o);
}

}  // namespace

TEST(TessarionSimArgs, RefusesUnusableArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{}, "give --tcp"},
      {{"--tcp", "127.0.0.1:0", "--address", "3"}, "must be even"},
      {{"--tcp", "127.0.0.1:notaport"}, "ADDRESS:PORT"},
      {{"--tcp", "127.0.0.1:0", "--serial", "XYZ"}, "hexadecimal"},
      {{"--tcp", "999.1.1.1:0"}, "not an IPv4 address"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{tstest::binPath("tessarion-sim")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    tstest::RunOptions opts;
    opts.timeout = 5000ms;
    tstest::RunResult r = tstest::run(argv, opts);
    EXPECT_NE(r.status, 0) << c.message;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
}

TEST(TessarionSim, AnswersQueriesOverTcp) {
  auto sim = startSim({"--address", "4", "--model", "9", "--build", "16909060", "--heartbeat-ms", "0"});
  ASSERT_TRUE(sim.ready()) << sim.out();
  Raw c = Raw::tcp(sim.tcpPort());
  ASSERT_TRUE(c.ok());
  struct Case {
    const char* what;
    Bytes request;
    Bytes answer;
  } cases[] = {
      {"sync", {0xAD, 0x00}, {0x04, 0x00}},
      {"build", {0x04, 0x02, 0x49, 0xFF}, {0x04, 0x06, 0x49, 0xFF, 0x01, 0x02, 0x03, 0x04}},
      {"has UEI", {0x04, 0x06, 0x49, 0x01, 0x03, 0x48, 0x00, 0x40}, {0x04, 0x06, 0x49, 0x01, 0x03, 0x48, 0x00, 0x00}},
      {"no such UEI", {0x04, 0x06, 0x49, 0x01, 0x09, 0x41, 0x00, 0x40}, {0x04, 0x06, 0x49, 0x01, 0x09, 0x41, 0x00, 28}},
      {"class quantity", {0x04, 0x03, 0x49, 0x04, 0x03}, {0x04, 0x04, 0x49, 0x04, 0x03, 0x01}},
      {"subclass quantity", {0x04, 0x04, 0x49, 0x05, 0x03, 0x00}, {0x04, 0x05, 0x49, 0x05, 0x03, 0x00, 0x01}},
      {"entity group", {0x04, 0x04, 0x49, 0x06, 0x03, 0x00}, {0x04, 0x05, 0x49, 0x06, 0x03, 0x00, 0x00}},
      {"echo", {0x04, 0x04, 0x17, 0x01, 0x02, 0x03}, {0x04, 0x04, 0x17, 0x01, 0x02, 0x03}},
      {"model", {0x04, 0x03, 0x03, 0x48, 0x20}, {0x04, 0x04, 0x03, 0x08, 0x00, 0x09}},
      {"unknown UEI", {0x04, 0x03, 0x07, 0x45, 0x21}, {0x04, 0x04, 0x07, 0x05, 0x81, 21}},
  };
  for (const Case& k : cases) {
    c.send(k.request);
    EXPECT_EQ(c.read(k.answer.size(), 2000ms), k.answer) << k.what;
  }
  // Garbage from the host is skipped; the next packet is understood.
  c.send({0x03, 0x00, 0xFF, 0xAD, 0x00});
  EXPECT_EQ(c.read(2, 2000ms), (Bytes{0x04, 0x00}));
  // Route requests are remembered; packets to other modules get no answer.
  c.send({0xAF, 0x01, 0x01, 0x06, 0x01, 0x17});
  ASSERT_TRUE(sim.waitForCount("ignored", 1, 2000ms)) << sim.out();
  EXPECT_EQ(sim.count("route 1"), 1u);
  EXPECT_NE(sim.control("status").find("route=1"), std::string::npos);
}

TEST(TessarionSim, SendsHeartbeatsAndChecksTheirAnswers) {
  auto sim = startSim({"--heartbeat-ms", "50"});
  ASSERT_TRUE(sim.ready()) << sim.out();
  Raw c = Raw::tcp(sim.tcpPort());
  // No heartbeat before the host has spoken.
  EXPECT_TRUE(c.read(1, 200ms).empty());
  c.send({0xAD, 0x00});
  ASSERT_EQ(c.read(2, 2000ms), (Bytes{0x02, 0x00}));
  Bytes hb = c.read(4, 2000ms);
  ASSERT_EQ(hb.size(), 4u);
  EXPECT_EQ(hb[0], 0x02);
  EXPECT_EQ(hb[1], 0x02);
  EXPECT_EQ(hb[2], 0x00);
  c.send({0x02, 0x02, 0x00, static_cast<std::uint8_t>(hb[3] + 2)});
  EXPECT_TRUE(sim.waitForCount("heartbeat answer ok", 1, 2000ms)) << sim.out();
  hb = c.read(4, 2000ms);
  ASSERT_EQ(hb.size(), 4u);
  c.send({0x02, 0x02, 0x00, static_cast<std::uint8_t>(hb[3] + 1)});
  EXPECT_TRUE(sim.waitForCount("heartbeat answer bad", 1, 2000ms)) << sim.out();
  // Left unanswered, heartbeats are counted as missed.
  EXPECT_TRUE(sim.waitForCount("heartbeat missed", 1, 2000ms)) << sim.out();
}

TEST(TessarionSim, FaultFlagsChangeTheAnswers) {
  {
    auto sim = startSim({"--odd-address", "--heartbeat-ms", "0"});
    Raw c = Raw::tcp(sim.tcpPort());
    c.send({0xAD, 0x00});
    EXPECT_EQ(c.read(2, 2000ms), (Bytes{0x03, 0x00}));
  }
  {
    auto sim = startSim({"--sync-mismatch", "--heartbeat-ms", "0"});
    Raw c = Raw::tcp(sim.tcpPort());
    c.send({0xAD, 0x00, 0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(c.read(6, 2000ms), (Bytes{0x02, 0x00, 0x04, 0x00, 0x02, 0x00}));
  }
  {
    auto sim = startSim({"--silent"});
    Raw c = Raw::tcp(sim.tcpPort());
    c.send({0xAD, 0x00, 0x02, 0x02, 0x17, 0x01});
    EXPECT_TRUE(c.read(1, 300ms).empty());
  }
  {
    auto sim = startSim({"--slow-ms", "300", "--heartbeat-ms", "0"});
    Raw c = Raw::tcp(sim.tcpPort());
    auto t0 = std::chrono::steady_clock::now();
    c.send({0xAD, 0x00});
    EXPECT_EQ(c.read(2, 3000ms), (Bytes{0x02, 0x00}));
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 250ms);
  }
  {
    auto sim = startSim({"--garbage-every", "2", "--heartbeat-ms", "0"});
    Raw c = Raw::tcp(sim.tcpPort());
    c.send({0xAD, 0x00, 0xAD, 0x00});
    EXPECT_EQ(c.read(7, 2000ms), (Bytes{0x02, 0x00, 0x03, 0xFF, 0x41, 0x02, 0x00}));
  }
  {
    auto sim = startSim({"--drop-after", "2", "--heartbeat-ms", "0"});
    Raw c = Raw::tcp(sim.tcpPort());
    c.send({0xAD, 0x00});
    EXPECT_EQ(c.read(2, 2000ms), (Bytes{0x02, 0x00}));
    c.send({0xAD, 0x00});
    bool closed = false;
    EXPECT_TRUE(c.read(1, 2000ms, &closed).empty());
    EXPECT_TRUE(closed);
  }
}

TEST(TessarionSim, ControlCommandsInjectFaultsAtRunTime) {
  auto sim = startSim({"--heartbeat-ms", "0"});
  ASSERT_TRUE(sim.ready()) << sim.out();
  Raw c = Raw::tcp(sim.tcpPort());
  ASSERT_TRUE(sim.waitForCount("connected tcp", 1, 2000ms));
  EXPECT_EQ(sim.control("garbage 2"), "ok");
  EXPECT_EQ(c.read(2, 2000ms), (Bytes{0x03, 0xFF}));
  EXPECT_EQ(sim.control("odd"), "ok");
  EXPECT_EQ(c.read(1, 2000ms), (Bytes{0x03}));
  EXPECT_EQ(sim.control("silence on"), "ok");
  c.send({0xAD, 0x00});
  EXPECT_TRUE(c.read(1, 200ms).empty());
  EXPECT_EQ(sim.control("silence off"), "ok");
  c.send({0xAD, 0x00});
  EXPECT_EQ(c.read(2, 2000ms), (Bytes{0x02, 0x00}));
  EXPECT_EQ(sim.control("frobnicate"), "error unknown command: frobnicate");
  EXPECT_EQ(sim.control("slow -5"), "error usage: slow MS");
  EXPECT_EQ(sim.control("drop"), "ok");
  bool closed = false;
  c.read(1, 2000ms, &closed);
  EXPECT_TRUE(closed);
}

TEST(TessarionSim, RestartResetsTheConnectionAndStaysUnreachable) {
  auto sim = startSim({"--heartbeat-ms", "0"});
  ASSERT_TRUE(sim.ready()) << sim.out();
  Raw c = Raw::tcp(sim.tcpPort());
  c.send({0xAF, 0x01, 0x01, 0xAD, 0x00});
  ASSERT_EQ(c.read(2, 2000ms), (Bytes{0x02, 0x00}));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(sim.control("restart 600"), "ok");
  bool closed = false;
  c.read(1, 2000ms, &closed);
  EXPECT_TRUE(closed);
  // Unreachable while it reboots...
  EXPECT_FALSE(Raw::tcp(sim.tcpPort()).ok());
  // ...then it listens on the same port again, with its route forgotten.
  ASSERT_TRUE(sim.waitForCount("listening again", 1, 3000ms)) << sim.out();
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 550ms);
  Raw again = Raw::tcp(sim.tcpPort());
  ASSERT_TRUE(again.ok());
  again.send({0xAD, 0x00});
  EXPECT_EQ(again.read(2, 2000ms), (Bytes{0x02, 0x00}));
  EXPECT_NE(sim.control("status").find("route=0"), std::string::npos);
}

TEST(TessarionSim, AnswersOverAPseudoTerminal) {
  tstest::SimOptions o;
  o.tcp = false;
  o.pty = true;
  o.args = {"--heartbeat-ms", "0"};
  tstest::TessarionSim sim(o);
  ASSERT_TRUE(sim.ready()) << sim.out();
  Raw line = Raw::tty(sim.ptyPath());
  ASSERT_TRUE(line.ok());
  line.send({0xAD, 0x00, 0x02, 0x03, 0x17, 0xAA, 0x55});
  EXPECT_EQ(line.read(7, 2000ms), (Bytes{0x02, 0x00, 0x02, 0x03, 0x17, 0xAA, 0x55}));
  // A restart on a serial line: silent for the time given, then back.
  EXPECT_EQ(sim.control("restart 300"), "ok");
  line.send({0xAD, 0x00});
  EXPECT_TRUE(line.read(1, 150ms).empty());
  ASSERT_TRUE(sim.waitForCount("connected pty", 2, 2000ms)) << sim.out();
  line.send({0xAD, 0x00});
  EXPECT_EQ(line.read(2, 2000ms), (Bytes{0x02, 0x00})) << sim.out();
}
