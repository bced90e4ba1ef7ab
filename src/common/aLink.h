#pragma once
// The link engine: a link is the live connection to one module over one
// stream. Each link runs two threads: the in-pipe reads the stream, assembles
// packets, answers heartbeats, offers packets to an optional user filter and
// queues the rest in the inbound FIFO; the out-pipe writes the packets of the
// outbound FIFO to the stream. Links are named by a link reference (a
// positive number, never reused; 0 means none) handed out by the link table,
// which shares a link among the holders that ask for the same module.
//
// Packets returned by the get and await operations belong to the caller, who
// releases them with aPacket_Destroy.
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/aStream.h"

// Link status values (aLink_GetStatus).
#define aLINK_STOPPED 0u
#define aLINK_STARTING 1u
#define aLINK_RUNNING 2u
#define aLINK_STOPPING 3u
#define aLINK_SYNCING 4u
#define aLINK_NOSTREAM 5u       // also the answer for an unknown reference
#define aLINK_STREAMERROR 6u
#define aLINK_PACKETERROR 8u

// Reserved packets.
#define aLINK_SYNC_ADDRESS ((uint8_t)0xAD)   // length 0: synchronisation and address query
#define aLINK_ROUTE_ADDRESS ((uint8_t)0xAF)  // length 1: route request (cmdFORCEROUTE)
#define cmdFORCEROUTE aLINK_ROUTE_ADDRESS

// Prepares the table entry's link record for a stream (null: no stream).
// Returns the reference, or 0 when the reference has no entry.
uint32_t aLink_Init(uint32_t linkRef, aStreamRef stream);
// Starts both pipes and sends the route request. aErrParam (unknown link),
// aErrResource (no thread), aErrIndexRange (pipes did not come up in 2 s).
aErr aLink_Start(uint32_t linkRef);
// Synchronises with the module: aErrNone once it answered two sync packets
// from the same address, aErrNotReady when it did not within 2 s. Either way
// both FIFOs are emptied afterwards.
aErr aLink_Sync(uint32_t linkRef);
// Queues a route request (value 1 or 0). aErrNotFound (unknown link).
aErr aLink_ForceRoute(uint32_t linkRef, uint8_t value);
// Status of the link; aLINK_NOSTREAM for an unknown reference.
uint32_t aLink_GetStatus(uint32_t linkRef);

// Stops the link of a reference (see aLink_Stop of the link record);
// aErrParam for an unknown reference.
aErr aLink_Stop(uint32_t linkRef);

// Queues a copy of the packet for sending.
aErr aLink_PutPacket(uint32_t linkRef, const aPacket* packet);
aPacket* aLink_GetPacket(uint32_t linkRef);
aPacket* aLink_AwaitPacket(uint32_t linkRef, uint64_t ms);
aPacket* aLink_GetFirst(uint32_t linkRef, aPacketFilter predicate, const void* reference);
// Waits for the first inbound packet the predicate selects, while the link
// runs (status 2); null at once for a link that does not run or is in
// another status. With 0 ms it looks once, without waiting.
aPacket* aLink_AwaitFirst(uint32_t linkRef, aPacketFilter predicate, const void* reference, uint64_t ms);
// Discards the inbound packets the predicate selects; returns how many.
uint32_t aLink_DrainPackets(uint32_t linkRef, aPacketFilter predicate, const void* reference);
// Installs (or with null removes) a filter that sees every received packet
// before anything else; a verdict of 1 (and only 1) consumes the packet,
// heartbeats included. It runs on the in-pipe and must not install or remove filters.
aErr aLink_InstallUserPacketFilter(uint32_t linkRef, aPacketFilter filter, const void* reference);
// With pooled packets on, the out-pipe writes up to about 4 KB of queued
// packets in one stream write.
aErr aLink_EnablePooledPackets(uint32_t linkRef, bool enable);

// The searches with a predicate that is not an aPacketFilter (a lambda
// answering bool, for instance).
template <aPacketPredicate F>
inline aPacket* aLink_GetFirst(uint32_t linkRef, F&& predicate, const void* reference) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aLink_GetFirst(linkRef, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b);
}
template <aPacketPredicate F>
inline aPacket* aLink_AwaitFirst(uint32_t linkRef, F&& predicate, const void* reference, uint64_t ms) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aLink_AwaitFirst(linkRef, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b, ms);
}
template <aPacketPredicate F>
inline uint32_t aLink_DrainPackets(uint32_t linkRef, F&& predicate, const void* reference) {
  const aPacketPredicateBinding<std::remove_reference_t<F>> b{predicate, reference};
  return aLink_DrainPackets(linkRef, aPacketPredicateTrampoline<std::remove_reference_t<F>>, &b);
}

// Creators; each returns a link reference or 0.
// Wraps a stream made by the caller; the link owns it from then on (also
// when the creation fails).
uint32_t aLink_Create(aStreamRef stream);
// TCP: IPv4 address in network byte order, port in host order. A second
// request for the same address and port shares the link.
uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port);
// Serial port at one of 2400, 4800, 9600, 19200, 38400, 57600, 115200 or
// 230400 baud. Any link already open to the same serial number (serial or
// USB) is shared instead.
uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// With an existing link reference, shares that link (0 when unknown).
// A new client link needs the ZeroMQ client transport, not yet in this
// build: until then it fails (0).
uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLinkRef);

// Stops the link, makes a new stream of its kind (TCP, client: up to 20
// tries, 100 ms apart) and starts it again; the start's result. aErrParam for
// an unknown link or another kind (serial, wrapped stream): then nothing is
// touched. When no stream comes, the last stream error, and the link stays
// stopped (status 0) until a later reset succeeds.
aErr aLink_Reset(uint32_t linkRef);
// Drops one holder; the last one stops and frees the link. Clears *linkRef.
aErr aLink_Destroy(uint32_t* linkRef);

// Asks the module for its address (a sync packet) and takes the next inbound
// packet: aErrTimeout after 1 s without one, aErrIO for any other packet.
aErr _aLink_GetModuleAddress(uint32_t linkRef, uint8_t* moduleAddress);
// Asks the module at `moduleAddress` for its model code (system entity,
// option 8): aErrTimeout, aErrIO as above.
aErr _aLink_GetModel(uint32_t linkRef, uint8_t moduleAddress, uint8_t* model);
