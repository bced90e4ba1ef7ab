#include "common/packetfifo.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>

namespace {

struct aPacketDeleter {
  void operator()(aPacket* packet) const { aPacket_Destroy(&packet); }
};

using OwnedPacket = std::unique_ptr<aPacket, aPacketDeleter>;

struct SerialPacket {
  int64_t id;
  OwnedPacket packet;
};

struct packetFifo {
  std::deque<SerialPacket> packets;  // oldest first
  std::condition_variable changed;   // packets arrived or the FIFO closed
  std::mutex mutex;                  // guards packets and the fields below
  std::atomic<bool> open{true};
  // Serial id of the oldest queued packet, or nextId when empty: the start of
  // the window a filtered wait has not yet examined.
  std::atomic<int64_t> windowStart{0};
  std::atomic<int64_t> nextId{0};

  // Both with the mutex held.
  void clearAndSyncWindow() {
    packets.clear();
    windowStart = nextId.load();
  }
  void eraseAndSyncWindow(std::deque<SerialPacket>::iterator first,
                          std::deque<SerialPacket>::iterator last) {
    packets.erase(first, last);
    windowStart = packets.empty() ? nextId.load() : packets.front().id;
  }
  // Copies the packet at `position` out and removes it; null (and the packet
  // stays queued) when the copy cannot be made. Mutex held.
  aPacket* takeOut(std::deque<SerialPacket>::iterator position) {
    aPacket* copy = aPacket_Copy(position->packet.get());
    if (copy == nullptr) return nullptr;
    eraseAndSyncWindow(position, std::next(position));
    return copy;
  }
};

using FifoRef = std::shared_ptr<packetFifo>;

// Built at start-up, torn down at exit; function-local statics so that a FIFO
// used from another static initialiser still finds them constructed.
std::map<aPacketFifoId, FifoRef>& sDictionary() {
  static std::map<aPacketFifoId, FifoRef> dictionary;
  return dictionary;
}
std::mutex& sDictionaryMutex() {
  static std::mutex mutex;
  return mutex;
}
std::atomic<uint64_t> gpSequentialId{0};

// The dictionary mutex is released before the FIFO is touched; the shared
// reference keeps a FIFO alive until operations already inside it finish.
FifoRef sLookup(aPacketFifoId id) {
  if (id == 0) return nullptr;
  std::lock_guard<std::mutex> lock(sDictionaryMutex());
  auto it = sDictionary().find(id);
  return it == sDictionary().end() ? nullptr : it->second;
}

// Monotonic deadline `ms` from now; very long time-outs are clamped so that
// the addition cannot overflow.
std::chrono::steady_clock::time_point sDeadline(uint64_t ms) {
  constexpr uint64_t kMaxMs = 100ull * 365 * 24 * 3600 * 1000;  // a century
  if (ms > kMaxMs) ms = kMaxMs;
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

aPacketFifoId aPacketFifo_Create(void) {
  try {
    std::lock_guard<std::mutex> lock(sDictionaryMutex());
    aPacketFifoId id = 0;
    while (id == 0) id = gpSequentialId++;
    sDictionary().emplace(id, std::make_shared<packetFifo>());
    return id;
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Destroy(aPacketFifoId* id) {
  if (id == nullptr) return aErrParam;
  try {
    FifoRef fifo;
    {
      std::lock_guard<std::mutex> lock(sDictionaryMutex());
      auto it = sDictionary().find(*id);
      if (it == sDictionary().end()) return aErrNotFound;
      fifo = std::move(it->second);
      sDictionary().erase(it);
    }
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      fifo->clearAndSyncWindow();
      fifo->open = false;
    }
    fifo->changed.notify_all();
    *id = 0;
    return aErrNone;
  } catch (...) {
    return aErrUnknown;
  }
}

size_t aPacketFifo_GetLength(aPacketFifoId id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    return fifo->packets.size();
  } catch (...) {
    return 0;
  }
}

aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || !aVALIDPACKET(packet)) return aErrParam;
    {
      std::lock_guard<std::mutex> lock(fifo->mutex);
      // A put that raced with destroy must not queue into a dead FIFO.
      if (!fifo->open) return aErrParam;
      int64_t serial = fifo->nextId++;
      OwnedPacket copy(aPacket_Copy(packet));
      if (!copy) return aErrParam;
      fifo->packets.push_back(SerialPacket{serial, std::move(copy)});
      fifo->windowStart = fifo->packets.front().id;
      if (fifo->packets.size() > aPACKETFIFO_CAPACITY) {
        // Nobody reads this FIFO: drop everything rather than grow for ever.
        fifo->clearAndSyncWindow();
        return aErrNone;
      }
    }
    fifo->changed.notify_all();
    return aErrNone;
  } catch (...) {
    return aErrResource;
  }
}

aPacket* aPacketFifo_Get(aPacketFifoId id) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    if (fifo->packets.empty()) return nullptr;
    return fifo->takeOut(fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t ms) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo) return nullptr;
    auto deadline = sDeadline(ms);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    fifo->changed.wait_until(lock, deadline,
                             [&] { return !fifo->packets.empty() || !fifo->open; });
    if (!fifo->open || fifo->packets.empty()) return nullptr;
    return fifo->takeOut(fifo->packets.begin());
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, const void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || filter == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
      if (filter(it->packet.get(), reference)) return fifo->takeOut(it);
    }
    return nullptr;
  } catch (...) {
    return nullptr;
  }
}

aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, const void* reference,
                                uint64_t ms) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || filter == nullptr) return nullptr;
    auto deadline = sDeadline(ms);
    std::unique_lock<std::mutex> lock(fifo->mutex);
    // Everything queued now is still to be examined; afterwards only packets
    // with a later serial id are shown to the filter, each once per call.
    int64_t lastExamined = fifo->windowStart - 1;
    std::deque<SerialPacket>::iterator match;
    bool found = false;
    auto condition = [&] {
      for (auto it = fifo->packets.begin(); it != fifo->packets.end(); ++it) {
        if (it->id - lastExamined <= 0) continue;
        lastExamined = it->id;
        if (filter(it->packet.get(), reference)) {
          match = it;
          found = true;
          return true;
        }
      }
      return !fifo->open;
    };
    fifo->changed.wait_until(lock, deadline, condition);
    if (!found || !fifo->open) return nullptr;
    return fifo->takeOut(match);
  } catch (...) {
    return nullptr;
  }
}

size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, const void* reference) {
  try {
    FifoRef fifo = sLookup(id);
    if (!fifo || filter == nullptr) return 0;
    std::lock_guard<std::mutex> lock(fifo->mutex);
    size_t before = fifo->packets.size();
    auto keep = std::remove_if(fifo->packets.begin(), fifo->packets.end(),
                               [&](const SerialPacket& entry) {
                                 return filter(entry.packet.get(), reference) != 0;
                               });
    fifo->eraseAndSyncWindow(keep, fifo->packets.end());
    return before - fifo->packets.size();
  } catch (...) {
    return 0;
  }
}
