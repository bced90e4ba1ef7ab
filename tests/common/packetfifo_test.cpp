// Packet FIFOs: order, capacity, time-outs, filtered retrieval and waits,
// draining, destruction waking waiters, and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <thread>
#include <vector>

#include "common/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Owns a FIFO id for a test; destroys it unless the test already did.
struct Fifo {
  aPacketFifoId id = aPacketFifo_Create();
  ~Fifo() {
    if (id != 0) aPacketFifo_Destroy(&id);
  }
};

struct Owned {
  aPacket* p;
  explicit Owned(aPacket* packet) : p(packet) {}
  ~Owned() {
    if (p) aPacket_Destroy(&p);
  }
};

// A packet from `address` whose first data byte is `tag`.
Owned sPacket(uint8_t address, uint8_t tag, uint8_t extra = 0) {
  const uint8_t data[3] = {tag, extra, 0};
  return Owned(aPacket_CreateWithData(address, 3, data));
}

void sPut(aPacketFifoId id, uint8_t address, uint8_t tag) {
  Owned p = sPacket(address, tag);
  ASSERT_EQ(aPacketFifo_Put(id, p.p), aErrNone);
}

uint8_t sTagIs(const aPacket* packet, const void* reference) {
  return packet->data[0] == *static_cast<const uint8_t*>(reference);
}
uint8_t sAll(const aPacket*, const void*) { return 1; }

TEST(PacketFifo, IdsAreNonZeroAndNeverReused) {
  std::set<aPacketFifoId> seen;
  for (int i = 0; i < 5; i++) {
    aPacketFifoId id = aPacketFifo_Create();
    ASSERT_NE(id, 0u);
    EXPECT_TRUE(seen.insert(id).second);
    ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
    EXPECT_EQ(id, 0u);
  }
}

TEST(PacketFifo, PutGetKeepsOrderAndCopies) {
  Fifo f;
  Owned a = sPacket(2, 1);
  ASSERT_EQ(aPacketFifo_Put(f.id, a.p), aErrNone);
  sPut(f.id, 2, 2);
  EXPECT_TRUE(aVALIDPACKET(a.p));  // the caller keeps its packet
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 2u);
  Owned first(aPacketFifo_Get(f.id));
  ASSERT_NE(first.p, nullptr);
  EXPECT_NE(first.p, a.p);
  EXPECT_EQ(first.p->data[0], 1);
  Owned second(aPacketFifo_Get(f.id));
  ASSERT_NE(second.p, nullptr);
  EXPECT_EQ(second.p->data[0], 2);
  EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

TEST(PacketFifo, RefusesUnknownIdsAndInvalidPackets) {
  Fifo f;
  Owned p = sPacket(2, 1);
  EXPECT_EQ(aPacketFifo_Put(0, p.p), aErrParam);
  EXPECT_EQ(aPacketFifo_Put(f.id, nullptr), aErrParam);
  aPacket dead = *p.p;
  dead.check = 0;
  EXPECT_EQ(aPacketFifo_Put(f.id, &dead), aErrParam);

  aPacketFifoId gone = aPacketFifo_Create();
  aPacketFifoId copy = gone;
  sPut(gone, 2, 1);
  ASSERT_EQ(aPacketFifo_Destroy(&gone), aErrNone);
  EXPECT_EQ(gone, 0u);
  EXPECT_EQ(aPacketFifo_Destroy(&gone), aErrNotFound);
  // Another variable still naming the destroyed FIFO: refused, left alone.
  const aPacketFifoId stale = copy;
  EXPECT_EQ(aPacketFifo_Destroy(&copy), aErrNotFound);
  EXPECT_EQ(copy, stale);
  EXPECT_EQ(aPacketFifo_Destroy(nullptr), aErrParam);
  copy = gone = 12345678;  // never handed out
  EXPECT_EQ(aPacketFifo_Put(copy, p.p), aErrParam);
  EXPECT_EQ(aPacketFifo_GetLength(copy), 0u);
  EXPECT_EQ(aPacketFifo_Get(copy), nullptr);
  EXPECT_EQ(aPacketFifo_Await(copy, 10), nullptr);
  uint8_t tag = 1;
  EXPECT_EQ(aPacketFifo_GetFirst(copy, sTagIs, &tag), nullptr);
  EXPECT_EQ(aPacketFifo_AwaitFirst(copy, sTagIs, &tag, 10), nullptr);
  EXPECT_EQ(aPacketFifo_DrainPackets(copy, sAll, nullptr), 0u);
}

TEST(PacketFifo, CapacityOverflowDiscardsTheQueue) {
  Fifo f;
  for (int i = 0; i < aPACKETFIFO_CAPACITY; i++) sPut(f.id, 2, static_cast<uint8_t>(i));
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 1000u);
  sPut(f.id, 2, 0xEE);  // the 1001st
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
  EXPECT_EQ(aPacketFifo_Get(f.id), nullptr);
  sPut(f.id, 2, 0x11);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 1u);
  Owned p(aPacketFifo_Get(f.id));
  ASSERT_NE(p.p, nullptr);
  EXPECT_EQ(p.p->data[0], 0x11);
}

TEST(PacketFifo, AwaitTimesOutOnEmptyFifo) {
  Fifo f;
  auto start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(f.id, 0), nullptr);
  EXPECT_LT(Clock::now() - start, milliseconds(50));

  start = Clock::now();
  EXPECT_EQ(aPacketFifo_Await(f.id, 60), nullptr);
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, milliseconds(60));
  EXPECT_LT(waited, milliseconds(2000));

  uint8_t tag = 7;
  sPut(f.id, 2, 1);
  start = Clock::now();
  EXPECT_EQ(aPacketFifo_AwaitFirst(f.id, sTagIs, &tag, 60), nullptr);
  EXPECT_GE(Clock::now() - start, milliseconds(60));
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 1u);  // the non-matching packet stays
}

TEST(PacketFifo, AwaitWakesForAPut) {
  Fifo f;
  auto waiter = std::async(std::launch::async, [&] { return aPacketFifo_Await(f.id, 10000); });
  sPut(f.id, 4, 9);
  Owned got(waiter.get());
  ASSERT_NE(got.p, nullptr);
  EXPECT_EQ(got.p->address, 4);
  EXPECT_EQ(got.p->data[0], 9);
}

TEST(PacketFifo, GetFirstTakesTheMatchAndLeavesTheRest) {
  Fifo f;
  sPut(f.id, 2, 0xA);
  sPut(f.id, 2, 0xB);
  uint8_t tag = 0xB;
  Owned b(aPacketFifo_GetFirst(f.id, sTagIs, &tag));
  ASSERT_NE(b.p, nullptr);
  EXPECT_EQ(b.p->data[0], 0xB);
  tag = 0xC;
  EXPECT_EQ(aPacketFifo_GetFirst(f.id, sTagIs, &tag), nullptr);
  Owned a(aPacketFifo_Get(f.id));
  ASSERT_NE(a.p, nullptr);
  EXPECT_EQ(a.p->data[0], 0xA);
}

// Counts filter calls per packet tag; selects `wanted`.
struct CountingFilter {
  uint8_t wanted;
  std::atomic<int> calls{0};
  std::atomic<int> perTag[256] = {};
  static uint8_t fn(const aPacket* packet, const void* reference) {
    auto* self = static_cast<CountingFilter*>(const_cast<void*>(reference));
    self->calls++;
    self->perTag[packet->data[0]]++;
    return packet->data[0] == self->wanted;
  }
};

TEST(PacketFifo, AwaitFirstShowsEachPacketToTheFilterOnce) {
  Fifo f;
  // Two packets queued before the wait begins are examined too.
  sPut(f.id, 2, 1);
  sPut(f.id, 2, 2);
  CountingFilter filter;
  filter.wanted = 200;
  auto waiter = std::async(std::launch::async, [&] {
    return aPacketFifo_AwaitFirst(f.id, CountingFilter::fn, &filter, 10000);
  });
  // Each put wakes the waiter; it must examine only the new packet each time.
  for (uint8_t tag = 3; tag < 100; tag++) {
    sPut(f.id, 2, tag);
    if (tag % 8 == 0) std::this_thread::yield();
  }
  sPut(f.id, 2, 200);
  Owned got(waiter.get());
  ASSERT_NE(got.p, nullptr);
  EXPECT_EQ(got.p->data[0], 200);
  EXPECT_EQ(filter.calls.load(), 100);
  for (int tag = 1; tag < 100; tag++) EXPECT_EQ(filter.perTag[tag].load(), 1) << tag;
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 99u);  // the rest stay queued, in order
  Owned first(aPacketFifo_Get(f.id));
  EXPECT_EQ(first.p->data[0], 1);
}

TEST(PacketFifo, DestroyWakesBlockedWaiters) {
  aPacketFifoId id = aPacketFifo_Create();
  sPut(id, 2, 1);
  std::promise<void> inside;
  struct Ref {
    std::promise<void>* inside;
    bool told = false;
  } ref{&inside};
  auto filter = [](const aPacket*, const void* r) -> uint8_t {
    auto* self = static_cast<Ref*>(const_cast<void*>(r));
    if (!self->told) {
      self->told = true;
      self->inside->set_value();
    }
    return 0;
  };
  auto start = Clock::now();
  // Ids by value: Destroy clears the caller's variable while they wait.
  auto filtered = std::async(std::launch::async, [id, filter, &ref] {
    return aPacketFifo_AwaitFirst(id, filter, &ref, 20000);
  });
  // The plain waiter uses an empty FIFO of its own so that it cannot take the
  // packet the filtered waiter is looking at.
  aPacketFifoId emptyId = aPacketFifo_Create();
  auto plain =
      std::async(std::launch::async, [emptyId] { return aPacketFifo_Await(emptyId, 20000); });
  ASSERT_EQ(inside.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
  ASSERT_EQ(aPacketFifo_Destroy(&id), aErrNone);
  ASSERT_EQ(aPacketFifo_Destroy(&emptyId), aErrNone);
  EXPECT_EQ(filtered.get(), nullptr);
  EXPECT_EQ(plain.get(), nullptr);
  EXPECT_LT(Clock::now() - start, milliseconds(5000));
}

TEST(PacketFifo, DrainRemovesMatchesAndKeepsOrder) {
  Fifo f;
  for (uint8_t tag : {1, 2, 1, 3, 1}) sPut(f.id, 2, tag);
  uint8_t tag = 1;
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, sTagIs, &tag), 3u);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 2u);
  Owned a(aPacketFifo_Get(f.id));
  Owned b(aPacketFifo_Get(f.id));
  EXPECT_EQ(a.p->data[0], 2);
  EXPECT_EQ(b.p->data[0], 3);

  for (uint8_t t : {4, 5, 6}) sPut(f.id, 2, t);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, sAll, nullptr), 3u);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
  // A filtered wait after draining still sees the next packet.
  sPut(f.id, 2, 7);
  tag = 7;
  Owned c(aPacketFifo_AwaitFirst(f.id, sTagIs, &tag, 1000));
  ASSERT_NE(c.p, nullptr);
}

TEST(PacketFifo, ConcurrentProducersAndConsumers) {
  Fifo f;
  constexpr int kProducers = 4;
  constexpr int kPerProducer = 240;  // all in flight at once stays under capacity
  std::atomic<int> received{0};
  std::vector<std::vector<std::pair<int, int>>> seen(3);
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  auto consume = [&](int index) {
    while (received.load() < kProducers * kPerProducer && Clock::now() < deadline) {
      aPacket* p = nullptr;
      if (index == 2) {
        // A filtered consumer takes only producer 0's packets.
        uint8_t producer = 0;
        p = aPacketFifo_AwaitFirst(f.id, sTagIs, &producer, 20);
      } else {
        p = aPacketFifo_Await(f.id, 20);
      }
      if (p == nullptr) continue;
      seen[index].emplace_back(p->data[0], p->data[1] | (p->data[2] << 8));
      received++;
      aPacket_Destroy(&p);
    }
  };
  std::vector<std::thread> threads;
  for (int c = 0; c < 3; c++) threads.emplace_back(consume, c);
  for (int pr = 0; pr < kProducers; pr++) {
    threads.emplace_back([&, pr] {
      for (int i = 0; i < kPerProducer; i++) {
        const uint8_t data[3] = {static_cast<uint8_t>(pr), static_cast<uint8_t>(i & 0xFF),
                                 static_cast<uint8_t>(i >> 8)};
        Owned p(aPacket_CreateWithData(2, 3, data));
        EXPECT_EQ(aPacketFifo_Put(f.id, p.p), aErrNone);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::pair<int, int>> all;
  for (const auto& list : seen) {
    int last[kProducers] = {-1, -1, -1, -1};
    for (auto [producer, serial] : list) {
      ASSERT_LT(producer, kProducers);
      EXPECT_GT(serial, last[producer]) << "out of order";
      last[producer] = serial;
      EXPECT_TRUE(all.insert({producer, serial}).second) << "duplicate";
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kProducers * kPerProducer));
  for (auto [producer, serial] : seen[2]) EXPECT_EQ(producer, 0);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 0u);
}

}  // namespace

namespace {

TEST(PacketFifo, PredicatesAnsweringBoolOrCapturingWork) {
  Fifo f;
  for (uint8_t tag : {1, 2, 3, 2, 4}) sPut(f.id, 2, tag);
  uint8_t wanted = 2;
  // A plain lambda answering bool, with the reference passed through.
  auto tagIs = [](const aPacket* p, const void* ref) { return p->data[0] == *static_cast<const uint8_t*>(ref); };
  Owned first(aPacketFifo_GetFirst(f.id, tagIs, &wanted));
  ASSERT_NE(first.p, nullptr);
  EXPECT_EQ(first.p->data[0], 2);
  // A capturing one: each packet is still shown once per call.
  int calls = 0;
  auto countingFour = [&calls](const aPacket* p, const void*) {
    ++calls;
    return p->data[0] == 4;
  };
  Owned four(aPacketFifo_AwaitFirst(f.id, countingFour, nullptr, 50));
  ASSERT_NE(four.p, nullptr);
  EXPECT_EQ(four.p->data[0], 4);
  EXPECT_EQ(calls, 4);
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, tagIs, &wanted), 1u);
  EXPECT_EQ(aPacketFifo_GetLength(f.id), 2u);
  // Any non-zero answer of a plain filter is a match.
  EXPECT_EQ(aPacketFifo_DrainPackets(f.id, [](const aPacket*, const void*) -> uint8_t { return 0x80; }, nullptr),
            2u);
}

}  // namespace
