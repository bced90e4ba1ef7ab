// Packet FIFO throughput: put-then-get on one thread, a producer and a
// consumer on two, and a filtered wait that wakes for every arrival (with
// the number of filter calls per packet, which must be one).
//
// Usage: bench_fifo [packets]   (default 200000)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "common/packetfifo.h"

namespace {

using Clock = std::chrono::steady_clock;

double sSeconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

aPacket* sPacket(uint8_t tag) {
  const uint8_t data[28] = {tag, 0x48, 0x20};
  return aPacket_CreateWithData(4, 28, data);
}

// One thread: put a packet, get it back.
double sPutThenGet(long n) {
  aPacketFifoId id = aPacketFifo_Create();
  aPacket* p = sPacket(1);
  auto start = Clock::now();
  for (long i = 0; i < n; i++) {
    aPacketFifo_Put(id, p);
    aPacket* got = aPacketFifo_Get(id);
    aPacket_Destroy(&got);
  }
  double rate = n / sSeconds(start);
  aPacket_Destroy(&p);
  aPacketFifo_Destroy(&id);
  return rate;
}

// Two threads: a producer that keeps at most `window` packets in flight and
// a consumer in Await.
double sProducerConsumer(long n, long window) {
  aPacketFifoId id = aPacketFifo_Create();
  std::atomic<long> consumed{0};
  auto start = Clock::now();
  std::thread consumer([&] {
    while (consumed.load() < n) {
      aPacket* got = aPacketFifo_Await(id, 1000);
      if (got == nullptr) continue;
      aPacket_Destroy(&got);
      consumed++;
      consumed.notify_one();
    }
  });
  aPacket* p = sPacket(1);
  for (long i = 0; i < n; i++) {
    long c = consumed.load();
    while (i - c >= window) {
      consumed.wait(c);
      c = consumed.load();
    }
    aPacketFifo_Put(id, p);
  }
  consumer.join();
  double rate = n / sSeconds(start);
  aPacket_Destroy(&p);
  aPacketFifo_Destroy(&id);
  return rate;
}

struct FilterState {
  std::atomic<long> calls{0};
  uint8_t wanted = 0xFF;
};

uint8_t sCountingFilter(const aPacket* packet, const void* reference) {
  auto* state = static_cast<FilterState*>(const_cast<void*>(reference));
  state->calls++;
  state->calls.notify_one();
  return packet->data[0] == state->wanted;
}

uint8_t sAll(const aPacket*, const void*) { return 1; }

// A consumer waits in AwaitFirst for one matching packet while the producer
// puts `n` packets that do not match, each only after the filter has seen
// the previous one, so the waiter wakes once per arrival; then the match.
// Returns packets per second; *callsPerPacket gets filter calls / packets.
double sFilteredWaitPerArrival(long n, double* callsPerPacket) {
  aPacketFifoId id = aPacketFifo_Create();
  FilterState state;
  std::atomic<bool> done{false};
  auto start = Clock::now();
  std::thread consumer([&] {
    aPacket* got = aPacketFifo_AwaitFirst(id, sCountingFilter, &state, 60000);
    if (got == nullptr) std::fprintf(stderr, "filtered wait timed out\n");
    aPacket_Destroy(&got);
    done = true;
  });
  aPacket* other = sPacket(1);
  for (long i = 0; i < n; i++) {
    aPacketFifo_Put(id, other);
    long c;
    while ((c = state.calls.load()) < i + 1) state.calls.wait(c);
    // Keep the queue under the capacity: the examined packets are not
    // wanted, take them out behind the waiter's back.
    if (aPacketFifo_GetLength(id) > 500) aPacketFifo_DrainPackets(id, sAll, nullptr);
  }
  aPacket* match = sPacket(0xFF);
  aPacketFifo_Put(id, match);
  consumer.join();
  double rate = (n + 1) / sSeconds(start);
  *callsPerPacket = static_cast<double>(state.calls.load()) / (n + 1);
  aPacket_Destroy(&other);
  aPacket_Destroy(&match);
  aPacketFifo_Destroy(&id);
  return rate;
}

// The same wait with 900 non-matching packets put in one burst.
double sFilteredWaitBurst(double* callsPerPacket) {
  constexpr long kBurst = 900;
  aPacketFifoId id = aPacketFifo_Create();
  FilterState state;
  std::thread consumer([&] {
    aPacket* got = aPacketFifo_AwaitFirst(id, sCountingFilter, &state, 60000);
    aPacket_Destroy(&got);
  });
  aPacket* other = sPacket(1);
  auto start = Clock::now();
  for (long i = 0; i < kBurst; i++) aPacketFifo_Put(id, other);
  aPacket* match = sPacket(0xFF);
  aPacketFifo_Put(id, match);
  consumer.join();
  double rate = (kBurst + 1) / sSeconds(start);
  *callsPerPacket = static_cast<double>(state.calls.load()) / (kBurst + 1);
  aPacket_Destroy(&other);
  aPacket_Destroy(&match);
  aPacketFifo_Destroy(&id);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  long n = argc > 1 ? std::atol(argv[1]) : 200000;
  if (n <= 0) {
    std::fprintf(stderr, "usage: bench_fifo [packets]\n");
    return 2;
  }
  double calls = 0, burstCalls = 0;
  std::printf("put-then-get, one thread:             %12.0f packets/s\n", sPutThenGet(n));
  std::printf("producer/consumer, two threads:       %12.0f packets/s\n",
              sProducerConsumer(n, 256));
  double perArrival = sFilteredWaitPerArrival(n / 10, &calls);
  std::printf("filtered await, wake per arrival:     %12.0f packets/s  %.3f filter calls/packet\n",
              perArrival, calls);
  double burst = sFilteredWaitBurst(&burstCalls);
  std::printf("filtered await, burst of 900:         %12.0f packets/s  %.3f filter calls/packet\n",
              burst, burstCalls);
  return (calls == 1.0 && burstCalls == 1.0) ? 0 : 1;
}
