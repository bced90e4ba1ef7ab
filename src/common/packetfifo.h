#pragma once
// Thread-safe packet queues named by a 64-bit id. Every operation looks the id
// up in a process-wide dictionary; an unknown id (0, or a destroyed FIFO)
// gives null, 0 or aErrParam. Packets handed out are copies owned by the
// caller (release with aPacket_Destroy); Put stores its own copy.
//
// Waits are bounded by a time-out in milliseconds measured on the monotonic
// clock. A FIFO holds at most aPACKETFIFO_CAPACITY packets: a put that would
// exceed it discards the whole queue, so a FIFO nobody reads never grows
// without bound.
#include <cstddef>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"

#define aPACKETFIFO_CAPACITY 1000

typedef uint64_t aPacketFifoId;  // 0 never names a FIFO

// A new FIFO id (never 0, never reused), or 0 on failure.
aPacketFifoId aPacketFifo_Create(void);
// Removes the FIFO, discards its packets and wakes every waiter (they return
// null) and clears the caller's id. aErrParam for a null address;
// aErrNotFound for an unknown id, which is left as it was.
aErr aPacketFifo_Destroy(aPacketFifoId* id);

// Number of queued packets; 0 for an unknown id.
size_t aPacketFifo_GetLength(aPacketFifoId id);
// Queues a copy of a valid packet. aErrParam for an unknown id, an invalid
// packet or no memory for the copy.
aErr aPacketFifo_Put(aPacketFifoId id, const aPacket* packet);

// The oldest packet, removed, or null at once.
aPacket* aPacketFifo_Get(aPacketFifoId id);
// The oldest packet, removed, waiting up to `ms` (0 = no waiting); null on
// time-out or when the FIFO is destroyed meanwhile.
aPacket* aPacketFifo_Await(aPacketFifoId id, uint64_t ms);
// The oldest packet the filter selects, removed, or null at once. The filter
// runs with the FIFO locked and must not call back into the same FIFO.
aPacket* aPacketFifo_GetFirst(aPacketFifoId id, aPacketFilter filter, const void* reference);
// As GetFirst, waiting up to `ms` for a selected packet. Within one call each
// packet is shown to the filter at most once, however often the waiter wakes.
aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, aPacketFilter filter, const void* reference,
                                uint64_t ms);
// Removes and destroys every packet the filter selects; returns how many.
size_t aPacketFifo_DrainPackets(aPacketFifoId id, aPacketFilter filter, const void* reference);

// The searching operations with a predicate that is not an aPacketFilter
// (a lambda answering bool, for instance).
template <aPacketPredicate F>
inline aPacket* aPacketFifo_GetFirst(aPacketFifoId id, F&& predicate, const void* reference) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aPacketFifo_GetFirst(id, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b);
}
template <aPacketPredicate F>
inline aPacket* aPacketFifo_AwaitFirst(aPacketFifoId id, F&& predicate, const void* reference, uint64_t ms) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aPacketFifo_AwaitFirst(id, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b, ms);
}
template <aPacketPredicate F>
inline size_t aPacketFifo_DrainPackets(aPacketFifoId id, F&& predicate, const void* reference) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aPacketFifo_DrainPackets(id, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b);
}
