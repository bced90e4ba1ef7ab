// The link engine over a wrapped stream whose other end the test holds: the
// test plays the module byte by byte, so synchronisation, heartbeats,
// refused bytes, route requests and write pooling are seen exactly as they
// cross the wire.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/aLink.h"
#include "common/aLinkManagerInternal.h"
#include "common/aLogger.h"
#include "common/aPacketDebug.h"
#include "support/Process.h"

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

namespace {

// What the test sees of the stream: the size of every write, and a gate
// that can hold writes back.
struct PairState {
  std::mutex m;
  std::condition_variable cv;
  std::vector<size_t> writes;
  bool gateClosed = false;
  bool holding = false;  // a write is waiting at the gate
  std::atomic<int> failReads{0};  // reads that fail with aErrIO before any byte is taken
};

struct PairStream {
  int fd = -1;
  std::shared_ptr<PairState> state;
};

aErr pairGet(uint8_t* byte, void* ref) {
  auto* s = static_cast<PairStream*>(ref);
  if (s->state->failReads.load() > 0) {
    s->state->failReads--;
    return aErrIO;
  }
  ssize_t n = recv(s->fd, byte, 1, MSG_DONTWAIT);
  if (n == 1) return aErrNone;
  if (n == 0) return aErrEOF;
  return (errno == EAGAIN || errno == EWOULDBLOCK) ? aErrNotReady : aErrIO;
}

aErr pairWrite(const uint8_t* bytes, uint64_t count, void* ref) {
  auto* s = static_cast<PairStream*>(ref);
  {
    std::unique_lock<std::mutex> lock(s->state->m);
    s->state->holding = s->state->gateClosed;
    s->state->cv.notify_all();
    s->state->cv.wait_for(lock, 5s, [&] { return !s->state->gateClosed; });
    s->state->holding = false;
    s->state->writes.push_back(count);
  }
  while (count) {
    ssize_t n = send(s->fd, bytes, count, MSG_NOSIGNAL);
    if (n <= 0) return aErrIO;
    bytes += n;
    count -= static_cast<uint64_t>(n);
  }
  return aErrNone;
}

aErr pairPut(const uint8_t* byte, void* ref) { return pairWrite(byte, 1, ref); }

aErr pairWait(uint64_t ms, void* ref) {
  auto* s = static_cast<PairStream*>(ref);
  pollfd p{s->fd, POLLIN, 0};
  int n = poll(&p, 1, static_cast<int>(ms));
  return n > 0 ? aErrNone : n == 0 ? aErrTimeout : aErrIO;
}

aErr pairDelete(void* ref) {
  auto* s = static_cast<PairStream*>(ref);
  close(s->fd);
  delete s;
  return aErrNone;
}

// The module's end of the wire.
class FakeModule {
 public:
  FakeModule() : state(std::make_shared<PairState>()) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv);
    fd_ = sv[0];
    hostFd_ = sv[1];
  }
  ~FakeModule() {
    if (fd_ >= 0) close(fd_);
    if (hostFd_ >= 0) close(hostFd_);
  }
  // The host's end as a stream; the link owns it from then on.
  aStreamRef stream() {
    auto* ps = new PairStream{hostFd_, state};
    hostFd_ = -1;
    aStreamRef s = aStream_Create(pairGet, pairPut, pairWrite, pairDelete, ps);
    aStream_SetWaitProc(s, pairWait);
    return s;
  }
  void send(const Bytes& b) { ASSERT_EQ(::send(fd_, b.data(), b.size(), MSG_NOSIGNAL), (ssize_t)b.size()); }
  // Up to n bytes within the time-out; `ended` tells whether the host closed.
  Bytes read(size_t n, std::chrono::milliseconds timeout, bool* ended = nullptr) {
    Bytes out;
    if (ended) *ended = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      uint8_t buf[8192];
      ssize_t got = recv(fd_, buf, std::min(sizeof buf, n - out.size()), 0);
      if (got <= 0) {
        if (ended) *ended = true;
        break;
      }
      out.insert(out.end(), buf, buf + got);
    }
    return out;
  }
  std::shared_ptr<PairState> state;

 private:
  int fd_ = -1;
  int hostFd_ = -1;
};

const Bytes kRouteOn{0xAF, 0x01, 0x01};
const Bytes kRouteOff{0xAF, 0x01, 0x00};
Bytes syncPackets(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.insert(b.end(), {0xAD, 0x00});
  return b;
}

uint8_t matchAll(const aPacket*, const void*) { return 1; }
uint8_t matchNone(const aPacket*, const void*) { return 0; }

// Waits until the link's inbound FIFO holds n packets.
bool waitQueued(uint32_t ref, size_t n, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (aPacketFifo_GetLength(sGetLink(ref)->inFifo.load()) < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

bool waitStatus(uint32_t ref, uint32_t status, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (aLink_GetStatus(ref) != status) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

// A started link over a fake module, its route request already read.
struct LinkFixture : ::testing::Test {
  void SetUp() override {
    ref = aLink_Create(module.stream());
    ASSERT_NE(ref, 0u);
    ASSERT_EQ(module.read(3, 2s), kRouteOn);
  }
  void TearDown() override {
    if (ref) aLink_Destroy(&ref);
  }
  FakeModule module;
  uint32_t ref = 0;
};

}  // namespace

TEST_F(LinkFixture, StartsRunningAndCarriesPacketsBothWays) {
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  const uint8_t data[] = {0x17, 0x01};
  aPacket* p = aPacket_CreateWithData(0x02, 2, data);
  EXPECT_EQ(aLink_PutPacket(ref, p), aErrNone);
  aPacket_Destroy(&p);
  EXPECT_EQ(module.read(4, 2s), (Bytes{0x02, 0x02, 0x17, 0x01}));
  module.send({0x02, 0x02, 0x17, 0x01, 0x04, 0x00});
  aPacket* in = aLink_AwaitPacket(ref, 2000);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->address, 0x02);
  EXPECT_EQ(in->dataSize, 2);
  EXPECT_EQ(in->data[0], 0x17);
  aPacket_Destroy(&in);
  in = aLink_AwaitPacket(ref, 2000);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->address, 0x04);
  EXPECT_EQ(in->dataSize, 0);
  aPacket_Destroy(&in);
}

TEST_F(LinkFixture, SynchronisesOnlyOnAMatchingPair) {
  struct Case {
    Bytes answer;
    aErr result;
    uint32_t status;
  } cases[] = {
      {{0x04, 0x00, 0x04, 0x00}, aErrNone, aLINK_RUNNING},
      {{0x04, 0x00, 0x06, 0x00}, aErrNotReady, aLINK_SYNCING},
  };
  for (const Case& c : cases) {
    aErr result = aErrUnknown;
    std::thread sync([&] { result = aLink_Sync(ref); });
    EXPECT_EQ(module.read(12, 2s), syncPackets(6));
    module.send(c.answer);
    sync.join();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(aLink_GetStatus(ref), c.status);
    if (c.result == aErrNone) {
      EXPECT_EQ(sGetLink(ref)->syncAddress.load(), 0x04);
      // Nothing left over: Sync empties both FIFOs.
      EXPECT_EQ(aLink_GetPacket(ref), nullptr);
    }
    // Whatever the link sent meanwhile (further rounds) is of no interest.
    module.read(1 << 16, 150ms);
  }
}

TEST_F(LinkFixture, ResendsSyncPacketsOncePerWaitNotInALoop) {
  std::thread sync([&] { EXPECT_EQ(aLink_Sync(ref), aErrNotReady); });
  // A silent module: over one second at most one round per 100 ms.
  Bytes sent = module.read(1 << 16, 1000ms);
  sync.join();
  size_t rounds = sent.size() / 12;
  EXPECT_GE(rounds, 3u);
  EXPECT_LE(rounds, 12u);
}

TEST_F(LinkFixture, RefusedByteStartsResynchronisation) {
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"odd address", {0x03}},
      {"zero address", {0x00}},
      {"length above 28", {0x02, 29}},
  };
  for (const Case& c : cases) {
    module.send(c.bytes);
    EXPECT_EQ(module.read(12, 2s), syncPackets(6)) << c.what;
    EXPECT_EQ(aLink_GetStatus(ref), aLINK_SYNCING) << c.what;
    module.send({0x02, 0x00, 0x02, 0x00});
    EXPECT_TRUE(waitStatus(ref, aLINK_RUNNING, 2s)) << c.what;
    // Packets flow again after resynchronisation.
    module.send({0x02, 0x01, 0x55});
    aPacket* in = aLink_AwaitPacket(ref, 2000);
    ASSERT_NE(in, nullptr) << c.what;
    EXPECT_EQ(in->data[0], 0x55);
    aPacket_Destroy(&in);
    module.read(1 << 16, 150ms);
  }
}

TEST_F(LinkFixture, AnswersHeartbeatsWithoutQueueingThem) {
  module.send({0x08, 0x02, 0x00, 0x01});
  EXPECT_EQ(module.read(4, 2s), (Bytes{0x08, 0x02, 0x00, 0x03}));
  module.send({0x08, 0x02, 0x00, 0xFF});
  EXPECT_EQ(module.read(4, 2s), (Bytes{0x08, 0x02, 0x00, 0x01}));
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
  // Not a heartbeat: its first data byte is not 0.
  module.send({0x08, 0x02, 0x05, 0x01});
  aPacket* in = aLink_AwaitPacket(ref, 2000);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->data[0], 0x05);
  aPacket_Destroy(&in);
  EXPECT_TRUE(module.read(1, 200ms).empty());
}

TEST_F(LinkFixture, ReadErrorsMarkTheLinkUntilItSynchronisesAgain) {
  module.state->failReads = 1;
  module.send({0x02, 0x01, 0x11});
  ASSERT_TRUE(waitStatus(ref, aLINK_STREAMERROR, 2s));
  // Bytes are still read and packets still queued in status 6...
  ASSERT_TRUE(waitQueued(ref, 1, 2s));
  module.send({0x02, 0x01, 0x12});
  ASSERT_TRUE(waitQueued(ref, 2, 2s));
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_STREAMERROR);
  // ...but an await for a selected packet gives up at once.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_AwaitFirst(ref, matchAll, nullptr, 1000), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  aPacket* in = aLink_GetPacket(ref);
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->data[0], 0x11);
  aPacket_Destroy(&in);
  // Only a completed synchronisation brings status 2 back.
  aErr result = aErrUnknown;
  std::thread sync([&] { result = aLink_Sync(ref); });
  EXPECT_EQ(module.read(12, 2s), syncPackets(6));
  module.send({0x02, 0x00, 0x02, 0x00});
  sync.join();
  EXPECT_EQ(result, aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
}

TEST_F(LinkFixture, AwaitFirstWithNoTimeLooksOnce) {
  module.send({0x02, 0x01, 0x21});
  ASSERT_TRUE(waitQueued(ref, 1, 2s));
  EXPECT_EQ(aLink_AwaitFirst(ref, matchNone, nullptr, 0), nullptr);
  aPacket* p = aLink_AwaitFirst(ref, matchAll, nullptr, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x21);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_AwaitFirst(ref, matchAll, nullptr, 0), nullptr);

  // Predicates answering bool are taken too, with the reference passed on.
  module.send({0x02, 0x01, 0x31, 0x02, 0x01, 0x32, 0x02, 0x01, 0x33});
  ASSERT_TRUE(waitQueued(ref, 3, 2s));
  const uint8_t wanted = 0x32;
  auto dataIs = [](const aPacket* packet, const void* r) { return packet->data[0] == *static_cast<const uint8_t*>(r); };
  p = aLink_AwaitFirst(ref, dataIs, &wanted, 100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->data[0], 0x32);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_GetFirst(ref, dataIs, &wanted), nullptr);
  EXPECT_EQ(aLink_DrainPackets(ref, [](const aPacket*, const void*) { return true; }, nullptr), 2u);
}

namespace {
std::atomic<int> gFiltered{0};
uint8_t consumeAll(const aPacket*, const void* ref) {
  gFiltered++;
  return static_cast<uint8_t>(*static_cast<const int*>(ref));
}
}  // namespace

TEST_F(LinkFixture, UserFilterSeesPacketsFirstAndCanConsumeEverything) {
  static const int one = 1;
  gFiltered = 0;
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, consumeAll, &one), aErrNone);
  module.send({0x08, 0x02, 0x00, 0x01, 0x02, 0x01, 0x17});
  auto deadline = std::chrono::steady_clock::now() + 2s;
  while (gFiltered < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
  EXPECT_EQ(gFiltered.load(), 2);
  EXPECT_TRUE(module.read(1, 200ms).empty()) << "a consumed heartbeat is not answered";
  EXPECT_EQ(aLink_GetPacket(ref), nullptr);
  // Removed again, heartbeats are answered and packets queued.
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, nullptr, nullptr), aErrNone);
  module.send({0x08, 0x02, 0x00, 0x01, 0x02, 0x01, 0x17});
  EXPECT_EQ(module.read(4, 2s), (Bytes{0x08, 0x02, 0x00, 0x03}));
  aPacket* in = aLink_AwaitPacket(ref, 2000);
  EXPECT_NE(in, nullptr);
  aPacket_Destroy(&in);
  EXPECT_EQ(gFiltered.load(), 2);
}

TEST_F(LinkFixture, OnlyAFilterVerdictOf1ConsumesThePacket) {
  struct Case {
    int verdict;
    bool consumed;
  } cases[] = {{0, false}, {1, true}, {2, false}, {255, false}};
  for (const Case& c : cases) {
    gFiltered = 0;
    ASSERT_EQ(aLink_InstallUserPacketFilter(ref, consumeAll, &c.verdict), aErrNone);
    module.send({0x08, 0x02, 0x00, 0x01, 0x02, 0x01, 0x17});
    if (c.consumed) {
      auto deadline = std::chrono::steady_clock::now() + 2s;
      while (gFiltered < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
      EXPECT_TRUE(module.read(1, 200ms).empty()) << c.verdict;
      EXPECT_EQ(aLink_GetPacket(ref), nullptr) << c.verdict;
    } else {
      EXPECT_EQ(module.read(4, 2s), (Bytes{0x08, 0x02, 0x00, 0x03})) << c.verdict;
      aPacket* in = aLink_AwaitPacket(ref, 2000);
      EXPECT_NE(in, nullptr) << c.verdict;
      aPacket_Destroy(&in);
    }
    EXPECT_EQ(gFiltered.load(), 2) << c.verdict;
  }
  ASSERT_EQ(aLink_InstallUserPacketFilter(ref, nullptr, nullptr), aErrNone);
}

TEST_F(LinkFixture, DestroyReleasesTheRouteBeforeClosingTheStream) {
  // Packets queued before the stop go out too, ahead of the release.
  const uint8_t data[] = {0x17};
  aPacket* p = aPacket_CreateWithData(0x02, 1, data);
  aLink_PutPacket(ref, p);
  aPacket_Destroy(&p);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(ref, 0u);
  bool ended = false;
  Bytes rest = module.read(1 << 10, 2s, &ended);
  EXPECT_TRUE(ended);
  ASSERT_GE(rest.size(), 3u);
  EXPECT_EQ(Bytes(rest.end() - 3, rest.end()), kRouteOff) << ::testing::PrintToString(rest);
  EXPECT_EQ(aLink_GetStatus(1234567), aLINK_NOSTREAM);
}

TEST(LinkEngine, StopOfAStoppedLinkSendsNothing) {
  FakeModule module;
  uint32_t ref = sCreate(0xFFFFFFFF, 0, aLINK_KIND_STREAM);
  sChangeUseCount(sLookupEntryByID(ref), 1);
  ASSERT_EQ(aLink_Init(ref, module.stream()), ref);
  aLinkRecord* link = sGetLink(ref);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_STOPPED);
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  // A link that does not run gives no packets and takes none.
  static const int one = 1;
  EXPECT_EQ(aLink_AwaitFirst(ref, consumeAll, &one, 50), nullptr);
  ASSERT_EQ(aLink_Start(ref), aErrNone);
  EXPECT_EQ(module.read(3, 2s), kRouteOn);
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  EXPECT_EQ(module.read(3, 2s), kRouteOff);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_STOPPED);
  EXPECT_EQ(aLink_Stop(link), aErrNone);
  // A stopped link cannot synchronise: no wait, no sync packets, still stopped.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(aLink_Sync(ref), aErrNotReady);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_STOPPED);
  EXPECT_EQ(aLink_Stop(nullptr), aErrParam);
  // By reference as well as by record.
  EXPECT_EQ(aLink_Stop(ref), aErrNone);
  EXPECT_EQ(aLink_Stop(0xFFFFFF00u), aErrParam);
  EXPECT_TRUE(module.read(1, 200ms).empty());
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
}

TEST(LinkEngine, PooledPacketsGoOutInWritesOfAbout4KB) {
  FakeModule module;
  {
    std::lock_guard<std::mutex> lock(module.state->m);
    module.state->gateClosed = true;
  }
  uint32_t ref = 0;
  std::thread create([&] { ref = aLink_Create(module.stream()); });
  {
    // The route request is held at the gate while the packets pile up.
    std::unique_lock<std::mutex> lock(module.state->m);
    ASSERT_TRUE(module.state->cv.wait_for(lock, 5s, [&] { return module.state->holding; }));
  }
  create.join();
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(aLink_EnablePooledPackets(ref, true), aErrNone);
  // Logged from here on: every packet of a pool gets its own record.
  ASSERT_EQ(aLink_PacketDebug_Enable(ref), aErrNone);
  uint8_t data[28];
  for (int i = 0; i < 28; ++i) data[i] = static_cast<uint8_t>(i);
  aPacket* p = aPacket_CreateWithData(0x02, 28, data);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(aLink_PutPacket(ref, p), aErrNone);
  aPacket_Destroy(&p);
  {
    std::lock_guard<std::mutex> lock(module.state->m);
    module.state->gateClosed = false;
    module.state->cv.notify_all();
  }
  Bytes all = module.read(3 + 200 * 30, 5s);
  ASSERT_EQ(all.size(), 3u + 200 * 30);
  EXPECT_EQ(Bytes(all.begin(), all.begin() + 3), kRouteOn);
  EXPECT_EQ(Bytes(all.begin() + 3, all.begin() + 33),
            (Bytes{0x02, 28, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                   24, 25, 26, 27}));
  {
    std::lock_guard<std::mutex> lock(module.state->m);
    ASSERT_EQ(module.state->writes.size(), 3u);
    EXPECT_EQ(module.state->writes[0], 3u);
    EXPECT_EQ(module.state->writes[1], 136u * 30);
    EXPECT_EQ(module.state->writes[2], 64u * 30);
  }
  int records = 0;
  uint8_t type = 0, rec[64];
  uint32_t length = sizeof rec;
  while (aLink_PacketDebug_Read(ref, &type, &length, rec) == aErrNone) {
    EXPECT_EQ(type, aPACKETLOG_OUT);
    EXPECT_EQ(length, 30u);
    EXPECT_EQ(rec[0], 0x02);
    EXPECT_EQ(rec[29], 27);
    ++records;
    length = sizeof rec;
  }
  EXPECT_EQ(records, 200);
  aLink_Destroy(&ref);
}

TEST(LinkEngine, AddressAndModelQueries) {
  FakeModule module;
  uint32_t ref = aLink_Create(module.stream());
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(module.read(3, 2s), kRouteOn);
  struct Case {
    Bytes reply;
    aErr result;
    uint8_t address;
  } addressCases[] = {
      {{0x06, 0x00}, aErrNone, 0x06},
      {{0x06, 0x01, 0x17}, aErrIO, 0},
      {{}, aErrTimeout, 0},
  };
  for (const Case& c : addressCases) {
    uint8_t address = 0;
    aErr result = aErrUnknown;
    std::thread q([&] { result = _aLink_GetModuleAddress(ref, &address); });
    EXPECT_EQ(module.read(2, 2s), (Bytes{0xAD, 0x00}));
    if (!c.reply.empty()) module.send(c.reply);
    q.join();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(address, c.address);
  }
  Case modelCases[] = {
      {{0x02, 0x04, 0x03, 0x08, 0x00, 0x07}, aErrNone, 7},
      {{0x04, 0x04, 0x03, 0x08, 0x00, 0x07}, aErrIO, 0},  // another module
      {{0x02, 0x03, 0x03, 0x08, 0x00}, aErrIO, 0},        // too short
  };
  for (const Case& c : modelCases) {
    uint8_t model = 0;
    aErr result = aErrUnknown;
    std::thread q([&] { result = _aLink_GetModel(ref, 0x02, &model); });
    EXPECT_EQ(module.read(5, 2s), (Bytes{0x02, 0x03, 0x03, 0x48, 0x20}));
    module.send(c.reply);
    q.join();
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(model, c.address);
  }
  EXPECT_EQ(_aLink_GetModuleAddress(ref, nullptr), aErrParam);
  EXPECT_EQ(_aLink_GetModuleAddress(987654, nullptr), aErrParam);
  aLink_Destroy(&ref);
}

TEST(LinkEngine, PacketLogRecordsBothDirectionsAndTheLoggerWritesThem) {
  FakeModule module;
  uint32_t ref = aLink_Create(module.stream());
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(module.read(3, 2s), kRouteOn);
  EXPECT_EQ(aLink_PacketDebug_Read(ref, nullptr, nullptr, nullptr), aErrNotReady);
  ASSERT_EQ(aLink_PacketDebug_Enable(ref), aErrNone);
  EXPECT_EQ(aLink_PacketDebug_SetLogSize(ref, 1024), aErrBusy);
  ASSERT_EQ(aLink_PacketDebug_Write(ref, aPACKETLOG_TEXT, 5, reinterpret_cast<const uint8_t*>("START")), aErrNone);
  const uint8_t data[] = {0x17, 0x09};
  aPacket* p = aPacket_CreateWithData(0x02, 2, data);
  aLink_PutPacket(ref, p);
  aPacket_Destroy(&p);
  ASSERT_EQ(module.read(4, 2s), (Bytes{0x02, 0x02, 0x17, 0x09}));
  module.send({0x02, 0x02, 0x17, 0x09});
  aPacket* in = aLink_AwaitPacket(ref, 2000);
  ASSERT_NE(in, nullptr);
  aPacket_Destroy(&in);

  tstest::TempDir dir;
  std::string path = dir.file("packets.log");
  aLoggerRef logger = aLogger_Create(ref, aPacketDebug_FormatRecord, path.c_str());
  ASSERT_NE(logger, nullptr);
  ASSERT_EQ(aLogger_Enable(logger), aErrNone);
  EXPECT_EQ(aLogger_Enable(logger), aErrNone);
  const std::string expected = "5 < START\r\n4 > 0x2 0x2 0x17 0x9 \r\n4 < 0x2 0x2 0x17 0x9 \r\n";
  auto deadline = std::chrono::steady_clock::now() + 3s;
  while (tstest::readFile(path).size() < expected.size() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Disable(logger), aErrNone);
  EXPECT_EQ(aLogger_Destroy(&logger), aErrNone);
  EXPECT_EQ(logger, nullptr);
  EXPECT_EQ(tstest::readFile(path), expected);

  // Disabled, the pipes leave the log alone.
  ASSERT_EQ(aLink_PacketDebug_Disable(ref), aErrNone);
  module.send({0x02, 0x01, 0x33});
  in = aLink_AwaitPacket(ref, 2000);
  aPacket_Destroy(&in);
  uint8_t type = 0, buf[64];
  uint32_t length = sizeof buf;
  EXPECT_EQ(aLink_PacketDebug_Read(ref, &type, &length, buf), aErrNotFound);
  aLink_Destroy(&ref);
}

TEST(LinkEngine, ReferencesCountUpAndAreNeverReused) {
  FakeModule a, b;
  uint32_t first = aLink_Create(a.stream());
  ASSERT_NE(first, 0u);
  const uint32_t firstValue = first;
  uint32_t kept = first;
  EXPECT_EQ(aLink_Destroy(&first), aErrNone);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(aLink_GetStatus(kept), aLINK_NOSTREAM);
  EXPECT_EQ(aLink_Destroy(&kept), aErrParam);
  EXPECT_EQ(kept, 0u);
  uint32_t second = aLink_Create(b.stream());
  EXPECT_GT(second, firstValue);
  // A wrapped stream cannot be opened again: reset refuses and the link runs on.
  EXPECT_EQ(aLink_Reset(second), aErrParam);
  EXPECT_EQ(aLink_GetStatus(second), aLINK_RUNNING);
  EXPECT_EQ(aLink_Destroy(&second), aErrNone);
  EXPECT_EQ(aLink_Destroy(nullptr), aErrParam);
  EXPECT_EQ(aLink_Create(nullptr), 0u);
}

TEST(LinkEngine, ClientCreatorSharesAnExistingLink) {
  FakeModule module;
  uint32_t ref = aLink_Create(module.stream());
  ASSERT_NE(ref, 0u);
  ASSERT_EQ(module.read(3, 2s), kRouteOn);
  uint32_t shared = aLink_CreateClient(0x0100007F, 5000, ref);
  EXPECT_EQ(shared, ref);
  EXPECT_EQ(aLink_Destroy(&shared), aErrNone);
  EXPECT_EQ(aLink_GetStatus(ref), aLINK_RUNNING);
  // Without the client transport a new client link fails and leaves no entry.
  uint32_t entries = sEntryCount();
  EXPECT_EQ(aLink_CreateClient(0x0100007F, 5000, 0), 0u);
  EXPECT_EQ(sEntryCount(), entries);
  EXPECT_EQ(aLink_Destroy(&ref), aErrNone);
  EXPECT_EQ(module.read(3, 2s), kRouteOff);
}

TEST(LinkEngine, SerialCreatorSharesOnlyLinksToTheSameSerialNumber) {
  // A USB link to one module and a TCP link whose address, read as a number,
  // is the other case's serial number. Neither port below exists, so a
  // creator that does not share fails.
  FakeModule usbModule, tcpModule;
  const uint32_t serial = 0x00BEEF02, address = 0x0200A8C0;
  struct Made {
    uint32_t kind, identifier;
    FakeModule* module;
    uint32_t ref = 0;
  } made[] = {{aLINK_KIND_USB, serial, &usbModule}, {aLINK_KIND_TCPIP, address, &tcpModule}};
  for (Made& m : made) {
    m.ref = sCreate(m.identifier, m.kind == aLINK_KIND_TCPIP ? 4000 : 0, m.kind);
    ASSERT_TRUE(sChangeUseCountByID(m.ref, 1, nullptr));
    ASSERT_EQ(aLink_Init(m.ref, m.module->stream()), m.ref);
    ASSERT_EQ(aLink_Start(m.ref), aErrNone);
  }
  struct Case {
    const char* what;
    uint32_t serialNumber;
    uint32_t expected;
  } cases[] = {
      {"the USB link's serial number", serial, made[0].ref},
      {"a number equal to a TCP address", address, 0},
  };
  for (const Case& c : cases) {
    uint32_t r = aLink_CreateSerial(c.serialNumber, "/nonexistent/tty", 115200);
    EXPECT_EQ(r, c.expected) << c.what;
    if (r) {
      EXPECT_EQ(aLink_Destroy(&r), aErrNone);
      EXPECT_EQ(aLink_GetStatus(c.expected), aLINK_RUNNING) << "one holder left";
    }
  }
  for (Made& m : made) EXPECT_EQ(aLink_Destroy(&m.ref), aErrNone);
}
