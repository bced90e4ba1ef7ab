// The link engine against tessarion-sim, over TCP loopback and over a
// pseudo-terminal as a serial port: the library's and the simulator's sides
// of the wire protocol are written independently and must agree.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "support/TessarionSim.h"

using namespace std::chrono_literals;

namespace {

enum class Transport { Tcp, Serial };

std::string transportName(const ::testing::TestParamInfo<Transport>& info) {
  return info.param == Transport::Tcp ? "Tcp" : "Serial";
}

bool waitStatus(uint32_t ref, uint32_t status, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (aLink_GetStatus(ref) != status) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

uint8_t echoMatch(const aPacket* p, const void* ref) {
  return p->dataSize == 2 && p->data[0] == 0x17 && p->data[1] == *static_cast<const uint8_t*>(ref);
}

// Sends an echo request and waits for its answer.
bool echo(uint32_t ref, uint8_t value, uint64_t ms = 2000) {
  const uint8_t data[2] = {0x17, value};
  aPacket* p = aPacket_CreateWithData(0x02, 2, data);
  aErr put = aLink_PutPacket(ref, p);
  aPacket_Destroy(&p);
  if (put != aErrNone) return false;
  aPacket* answer = aLink_AwaitFirst(ref, echoMatch, &value, ms);
  bool ok = answer != nullptr;
  aPacket_Destroy(&answer);
  return ok;
}

class LinkOverSim : public ::testing::TestWithParam<Transport> {
 protected:
  // Starts the simulator for this transport with the extra arguments.
  void start(std::vector<std::string> args = {"--heartbeat-ms", "0"}) {
    tstest::SimOptions o;
    o.tcp = GetParam() == Transport::Tcp;
    o.pty = GetParam() == Transport::Serial;
    o.args = std::move(args);
    o.args.insert(o.args.end(), {"--model", "9", "--serial", "00C0FFEE"});
    sim = std::make_unique<tstest::TessarionSim>(o);
    ASSERT_TRUE(sim->ready()) << sim->out();
  }
  uint32_t create() {
    if (GetParam() == Transport::Tcp) return aLink_CreateTCPIP(tstest::TessarionSim::loopback(), sim->tcpPort());
    return aLink_CreateSerial(0x00C0FFEE, sim->ptyPath().c_str(), 115200);
  }
  void TearDown() override {
    while (ref && aLink_GetStatus(ref) != aLINK_NOSTREAM) {
      uint32_t r = ref;
      aLink_Destroy(&r);
    }
  }
  const char* kind() const { return GetParam() == Transport::Tcp ? "tcp" : "pty"; }

  std::unique_ptr<tstest::TessarionSim> sim;
  uint32_t ref = 0;
};

}  // namespace

TEST_P(LinkOverSim, SynchronisesAndAnswersQueries) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone) << sim->out();
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  EXPECT_EQ(sLookupEntryByID(ref)->link->syncAddress.load(), 0x02);
  uint8_t address = 0, model = 0;
  EXPECT_EQ(_aLink_GetModuleAddress(ref, &address), aErrNone);
  EXPECT_EQ(address, 0x02);
  EXPECT_EQ(_aLink_GetModel(ref, address, &model), aErrNone);
  EXPECT_EQ(model, 9);
  for (uint8_t i = 0; i < 20; ++i) EXPECT_TRUE(echo(ref, i)) << int(i);
}

TEST_P(LinkOverSim, MismatchedSyncAnswersNeverSynchronise) {
  start({"--sync-mismatch", "--heartbeat-ms", "0"});
  ref = create();
  ASSERT_NE(ref, 0u);
  EXPECT_EQ(aLink_Sync(ref), aErrNotReady);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_SYNCING);
  // Once the module answers properly, the link comes back by itself.
  EXPECT_EQ(sim->control("mismatch off"), "ok");
  EXPECT_TRUE(waitStatus(ref, aLINK_RUNNING, 2s));
  EXPECT_TRUE(echo(ref, 1));
}

TEST_P(LinkOverSim, SyncAnswersThatDoNotPairUpKeepTheLinkSynchronising) {
  struct Case {
    const char* fault;  // how the module answers the sync packets
    const char* off;
  } cases[] = {
      {"--sync-mismatch", "mismatch off"},   // A 00 from alternating addresses
      {"--odd-address", "odd-address off"},  // an odd address byte
  };
  for (const Case& c : cases) {
    start({c.fault, "--heartbeat-ms", "0"});
    ref = create();
    ASSERT_NE(ref, 0u) << c.fault;
    // A byte out of step makes the running link synchronise.
    EXPECT_EQ(sim->control("odd"), "ok");
    ASSERT_TRUE(waitStatus(ref, aLINK_SYNCING, 2s)) << c.fault;
    size_t before = sim->count("sync query");
    // Round after round is answered, and none completes.
    ASSERT_TRUE(sim->waitForCount("sync query", before + 12, 2s)) << c.fault << "\n" << sim->out();
    EXPECT_EQ(aLink_GetStatus(ref), aLINK_SYNCING) << c.fault;
    EXPECT_EQ(sim->control(c.off), "ok");
    EXPECT_TRUE(waitStatus(ref, aLINK_RUNNING, 2s)) << c.fault;
    EXPECT_TRUE(echo(ref, 1)) << c.fault;
    EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
    sim.reset();
  }
}

TEST_P(LinkOverSim, ResynchronisesAfterGarbage) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  size_t before = sim->count("sync query");
  for (const char* fault : {"garbage 5", "odd"}) {
    EXPECT_EQ(sim->control(fault), "ok");
    ASSERT_TRUE(sim->waitForCount("sync query", before + 6, 2s)) << fault << "\n" << sim->out();
    before = sim->count("sync query");
    EXPECT_TRUE(waitStatus(ref, aLINK_RUNNING, 2s)) << fault;
    // Late sync answers are ordinary packets; they do not disturb requests.
    EXPECT_TRUE(echo(ref, 7)) << fault;
  }
}

TEST_P(LinkOverSim, AnswersHeartbeatsWithoutQueueingThem) {
  start({"--heartbeat-ms", "40"});
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  ASSERT_TRUE(sim->waitForCount("heartbeat answer ok", 3, 3s)) << sim->out();
  EXPECT_EQ(sim->count("heartbeat answer bad"), 0u);
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
}

namespace {
std::atomic<int> gSeen{0};
uint8_t consumeEverything(const aPacket*, const void*) {
  ++gSeen;
  return 1;
}
}  // namespace

TEST_P(LinkOverSim, UserFilterConsumingEverythingStarvesHeartbeats) {
  start({"--heartbeat-ms", "40"});
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  gSeen = 0;
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, consumeEverything, nullptr), aErrNone);
  size_t missed = sim->count("heartbeat missed");
  EXPECT_FALSE(echo(ref, 3, 300));
  EXPECT_TRUE(sim->waitForCount("heartbeat missed", missed + 2, 3s)) << sim->out();
  EXPECT_GE(gSeen.load(), 3);
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, nullptr, nullptr), aErrNone);
  EXPECT_TRUE(echo(ref, 4));
}

TEST_P(LinkOverSim, StartRequestsTheRouteAndStopReleasesIt) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_TRUE(sim->waitForCount("route 1", 1, 2s)) << sim->out();
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  ASSERT_TRUE(sim->waitForCount("route 0", 1, 2s)) << sim->out();
  if (GetParam() == Transport::Tcp) {
    // The release arrives before the connection closes.
    ASSERT_TRUE(sim->waitForCount("disconnected tcp", 1, 2s)) << sim->out();
    EXPECT_LT(sim->lineOf("route 0"), sim->lineOf("disconnected tcp"));
    EXPECT_EQ(sim->count("route dropped"), 0u);
  }
}

TEST_P(LinkOverSim, SharedLinkNeedsTwoDestroys) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  uint32_t second = create();
  EXPECT_EQ(second, ref);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(second, 0u);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  EXPECT_TRUE(echo(ref, 5));
  EXPECT_EQ(sim->count("route 0"), 0u);
  uint32_t last = ref;
  EXPECT_EQ(aLink_Destroy(&last), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_NOSTREAM);
  EXPECT_TRUE(sim->waitForCount("route 0", 1, 2s));
  ref = 0;
}

TEST_P(LinkOverSim, ResetReachesARestartedModule) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  ASSERT_TRUE(echo(ref, 1));
  EXPECT_EQ(sim->control("restart 500"), "ok");
  std::string connected = std::string("connected ") + kind();
  auto t0 = std::chrono::steady_clock::now();
  if (GetParam() == Transport::Tcp) {
    // A new connection once the module listens again.
    EXPECT_EQ(aLink_Reset(ref), aErrNone) << sim->out();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 3s);
  } else {
    // A serial line is not reopened: the reset is refused at once and the
    // link runs on over the same line, which the module finds again.
    EXPECT_EQ(aLink_Reset(ref), aErrParam);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
    ASSERT_TRUE(sim->waitForCount(connected, 2, 3s)) << sim->out();
  }
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  EXPECT_EQ(aLink_Sync(ref), aErrNone) << sim->out();
  EXPECT_TRUE(echo(ref, 2)) << sim->out();
  EXPECT_GE(sim->count(connected), 2u);
}

TEST_P(LinkOverSim, CarriesOnAfterTheModuleDropsTheConnection) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  ASSERT_TRUE(echo(ref, 1));
  EXPECT_EQ(sim->control("drop"), "ok");
  // The stream finds its way back by itself (TCP reconnects; a serial line
  // stays open); a request or two may be lost on the way.
  bool back = false;
  for (int i = 0; i < 10 && !back; ++i) {
    if (aLink_GetStatus(ref) != aLINK_RUNNING) aLink_Sync(ref);
    back = echo(ref, static_cast<uint8_t>(10 + i), 250);
  }
  EXPECT_TRUE(back) << sim->out();
}

TEST_P(LinkOverSim, PooledPacketsReachTheModule) {
  start();
  ref = create();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  ASSERT_EQ(aLink_EnablePooledPackets(ref, true), aErrNone);
  for (uint8_t i = 0; i < 100; ++i) {
    const uint8_t data[2] = {0x17, i};
    aPacket* p = aPacket_CreateWithData(0x02, 2, data);
    aLink_PutPacket(ref, p);
    aPacket_Destroy(&p);
  }
  for (uint8_t i = 0; i < 100; ++i) {
    aPacket* answer = aLink_AwaitFirst(ref, echoMatch, &i, 2000);
    ASSERT_NE(answer, nullptr) << int(i);
    aPacket_Destroy(&answer);
  }
}

INSTANTIATE_TEST_SUITE_P(Transports, LinkOverSim, ::testing::Values(Transport::Tcp, Transport::Serial),
                         transportName);

TEST(LinkCreators, RefuseWhatCannotBeOpened) {
  tstest::TempDir dir;
  EXPECT_EQ(aLink_CreateSerial(1, dir.file("no-such-port").c_str(), 115200), 0u);
  EXPECT_EQ(aLink_CreateSerial(1, "/dev/null", 12345), 0u);
  EXPECT_EQ(aLink_CreateSerial(1, nullptr, 115200), 0u);
  // Nothing listens on a port just released.
  tstest::SimOptions o;
  tstest::TessarionSim sim(o);
  ASSERT_TRUE(sim.ready());
  uint16_t port = sim.tcpPort();
  sim.process().stop();
  EXPECT_EQ(aLink_CreateTCPIP(tstest::TessarionSim::loopback(), port), 0u);
}

TEST(LinkCreators, TcpLinksAreSharedOnlyForTheSameAddressAndPort) {
  tstest::TessarionSim a, b;
  ASSERT_TRUE(a.ready() && b.ready());
  uint32_t ra = aLink_CreateTCPIP(tstest::TessarionSim::loopback(), a.tcpPort());
  uint32_t rb = aLink_CreateTCPIP(tstest::TessarionSim::loopback(), b.tcpPort());
  ASSERT_NE(ra, 0u);
  ASSERT_NE(rb, 0u);
  EXPECT_NE(ra, rb);
  EXPECT_TRUE(a.waitForCount("route 1", 1, 2s));
  EXPECT_TRUE(b.waitForCount("route 1", 1, 2s));
  aLink_Destroy(&ra);
  aLink_Destroy(&rb);
}

TEST(LinkReset, AModuleThatStaysAwayLeavesTheLinkStoppedUntilALaterReset) {
  tstest::SimOptions o;
  o.args = {"--heartbeat-ms", "0"};
  tstest::TessarionSim sim(o);
  ASSERT_TRUE(sim.ready()) << sim.out();
  uint32_t ref = aLink_CreateTCPIP(tstest::TessarionSim::loopback(), sim.tcpPort());
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_Sync(ref), aErrNone);
  // Away for longer than the 20 tries, 100 ms apart, of a reset.
  EXPECT_EQ(sim.control("restart 3200"), "ok");
  EXPECT_NE(aLink_Reset(ref), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_STOPPED);
  EXPECT_EQ(aLink_Start(ref), aErrParam) << "no stream to start on";
  EXPECT_EQ(aLink_AwaitPacket(ref, 0), nullptr);
  ASSERT_TRUE(sim.waitForCount("listening again", 1, 3s)) << sim.out();
  EXPECT_EQ(aLink_Reset(ref), aErrNone) << sim.out();
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  EXPECT_EQ(aLink_Sync(ref), aErrNone);
  EXPECT_TRUE(echo(ref, 9));
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}
