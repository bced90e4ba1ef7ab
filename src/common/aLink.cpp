#include "common/aLink.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

#include "common/aDebugging.h"
#include "common/aLinkManagerInternal.h"
#include "common/aPacketDebug.h"
#include "common/aStreamsocket.h"
#include "platform/aStreamSerial.h"
#include "platform/aTime.h"

namespace {

// How long the in-pipe waits for input before it looks at the running flag
// again; also the least time between two rounds of sync packets.
constexpr uint64_t kInPipeWaitMs = 100;
// How long the out-pipe waits for a packet before it looks at the running
// flag again; bounds how long a stop waits for it.
constexpr uint64_t kOutPipeWaitMs = 100;
constexpr uint64_t kStreamErrorSleepMs = 100;
constexpr int kStateChecks = 200;
constexpr uint64_t kStateCheckSleepMs = 10;
constexpr int kSyncPackets = 6;
constexpr size_t kPoolBuffer = 4096;
constexpr size_t kPoolFull = 4066;
constexpr uint64_t kQueryTimeoutMs = 1000;
constexpr int kResetTries = 20;
constexpr uint64_t kResetSleepMs = 100;

enum : uint32_t {
  kSyncStateIdle = 0,
  kSyncStateStart = 1,
  kSyncStateByte1 = 2,
  kSyncStateByte2 = 3,
  kSyncStateByte3 = 4,
  kSyncStateByte4 = 5,
};

// Creators look up and insert table entries in one step each; this keeps two
// creators for the same module from making two links.
std::mutex gCreateMutex;
// Client links made so far; each new client link gets its own entry.
uint32_t _clientCount = 0;

uint8_t sMatchAll(const aPacket*, const void*) { return 1; }

class Lock {
 public:
  explicit Lock(aMutexRef m) : m_(m) {
    if (m_) aMutex_Lock(m_);
  }
  ~Lock() {
    if (m_) aMutex_Unlock(m_);
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  aMutexRef m_;
};

aLinkRecord* sValidLink(uint32_t linkRef) {
  aLinkRecord* link = sGetLink(linkRef);
  return aVALIDLINK(link) ? link : nullptr;
}

// Both pipes append to the log; the log mutex keeps their records whole.
void sLogPacket(aLinkRecord* link, uint8_t type, const aPacket* packet) {
  aPacketLog* log = link->packetLog.load();
  if (!log || !aPacketLog_IsEnabled(log)) return;
  Lock lock(link->packetLogMutex.load());
  aPacketLog_Put(log, type, static_cast<size_t>(packet->dataSize) + 2, &packet->address);
}

void sTracePacket(const char* direction, uint32_t linkRef, const aPacket* p) {
  if (!aDebugging_IsOn(aDEBUG_PACKETS)) return;
  char text[3 * (aPACKETMAXWIRE) + 1];
  size_t at = 0;
  const uint8_t* bytes = &p->address;
  for (int i = 0; i < p->dataSize + 2 && at + 4 <= sizeof text; ++i)
    at += static_cast<size_t>(std::snprintf(text + at, sizeof text - at, " %02X", bytes[i]));
  text[at] = 0;
  aDebugging_Trace(aDEBUG_PACKETS, "link %u %s%s\n", linkRef, direction, text);
}

void sPutSimple(aLinkRecord* link, uint8_t address, uint8_t length, const uint8_t* data, aErr* result) {
  static const uint8_t none = 0;
  aPacket* p = aPacket_CreateWithData(address, length, data ? data : &none);
  if (!p) {
    if (result) *result = aErrMemory;
    return;
  }
  aErr err = aPacketFifo_Put(link->outFifo.load(), p);
  aPacket_Destroy(&p);
  if (result) *result = err;
}

// Begins synchronisation: six sync packets, then the state machine waits
// for two answers from one address. Rounds of sync packets are at least one
// wait period apart, so a module that sends garbage (or a stream that never
// waits) cannot make the link flood it.
void sStartSync(aLinkRecord* link) {
  link->status = aLINK_STATUS_SYNCING;
  link->syncState = kSyncStateStart;
  aPacket_Reset(link->assembly);
  uint64_t now = aTime_GetMSTicks();
  if (link->lastSyncTick != 0 && now - link->lastSyncTick < kInPipeWaitMs) {
    // The last round is still being answered.
    link->syncState = kSyncStateByte1;
    return;
  }
  link->lastSyncTick = now ? now : 1;
  aTRACE(aDEBUG_LINK, "link %u: synchronising\n", link->linkRef);
  aErr err = aErrMemory;
  for (int i = 0; i < kSyncPackets; ++i) sPutSimple(link, aLINK_SYNC_ADDRESS, 0, nullptr, &err);
  if (err == aErrNone) link->syncState = kSyncStateByte1;
}

void sSyncByte(aLinkRecord* link, uint8_t b) {
  switch (link->syncState.load()) {
    case kSyncStateStart:
      sStartSync(link);
      break;
    case kSyncStateByte1:
      if (b != 0 && (b & 1) == 0) {
        link->syncAddress = b;
        link->syncState = kSyncStateByte2;
      } else {
        sStartSync(link);
      }
      break;
    case kSyncStateByte2:
      link->syncState = b == 0 ? kSyncStateByte3 : kSyncStateStart;
      break;
    case kSyncStateByte3:
      link->syncState = b == link->syncAddress.load() ? kSyncStateByte4 : kSyncStateStart;
      break;
    case kSyncStateByte4:
      if (b == 0) {
        link->syncState = kSyncStateIdle;
        link->status = aLINK_STATUS_RUNNING;
        aTRACE(aDEBUG_LINK, "link %u: synchronised with module 0x%02X\n", link->linkRef,
               link->syncAddress.load());
      } else {
        link->syncState = kSyncStateStart;
      }
      break;
    default:
      sStartSync(link);
  }
}

// A complete packet: log, user filter, heartbeat answer, or inbound queue.
aErr sHandlePacket(aLinkRecord* link) {
  aPacket* p = link->assembly;
  if (!aPacket_IsComplete(p)) return aErrNone;
  sLogPacket(link, aPACKETLOG_IN, p);
  sTracePacket("<", link->linkRef, p);
  bool consumed = false;
  {
    Lock lock(link->userFilterMutex);
    // Only a verdict of 1 consumes the packet.
    if (link->userFilter) consumed = link->userFilter(p, link->userFilterRef) == 1;
  }
  aErr err = aErrNone;
  if (!consumed) {
    if (p->dataSize == 2 && p->data[0] == 0x00) {
      const uint8_t answer[2] = {0x00, static_cast<uint8_t>(p->data[1] + 2)};
      sPutSimple(link, p->address, 2, answer, nullptr);
    } else {
      err = aPacketFifo_Put(link->inFifo.load(), p);
    }
  }
  aPacket_Reset(p);
  return err;
}

void* sInPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  link->syncState = kSyncStateIdle;
  link->lastSyncTick = 0;
  link->status = aLINK_STATUS_RUNNING;
  link->inStarted = 1;
  bool canWait = true;
  while (link->running.load()) {
    aErr waited = aErrNone;
    if (canWait) {
      waited = aStream_Wait(link->stream, kInPipeWaitMs);
      if (waited == aErrUnimplemented) canWait = false;
    }
    uint8_t byte = 0;
    aErr err = waited == aErrTimeout ? aErrNotReady : aStream_Read(link->stream, &byte, 1);
    if (err == aErrNotReady) {
      if (link->status.load() == aLINK_STATUS_SYNCING) sStartSync(link);
      // After a wait that timed out, go straight back to waiting. Otherwise
      // the stream has no wait, or said input was there and then gave none
      // (a peer that closed, for one): pause instead of spinning.
      if (waited != aErrTimeout) aTime_MSSleep(canWait ? kInPipeWaitMs : 1);
      continue;
    }
    if (err != aErrNone) {
      if (link->status.load() != aLINK_STATUS_STREAMERROR)
        aTRACE(aDEBUG_LINK, "link %u: stream error %s\n", link->linkRef, aError_GetErrorText(err));
      link->status = aLINK_STATUS_STREAMERROR;
      aTime_MSSleep(kStreamErrorSleepMs);
      continue;
    }
    if (link->status.load() == aLINK_STATUS_SYNCING) {
      sSyncByte(link, byte);
      continue;
    }
    if (aPacket_AddByte(link->assembly, byte) != aErrNone) {
      aTRACE(aDEBUG_LINK, "link %u: byte 0x%02X out of step\n", link->linkRef, byte);
      sStartSync(link);
      continue;
    }
    if (sHandlePacket(link) != aErrNone) link->status = aLINK_STATUS_PACKETERROR;
  }
  return nullptr;
}

void sWritePacket(aLinkRecord* link, aPacket* p) {
  // Logged before it is written, so that the log never shows an answer
  // ahead of the packet that asked for it.
  sLogPacket(link, aPACKETLOG_OUT, p);
  sTracePacket(">", link->linkRef, p);
  aErr err = aStream_Write(link->stream, &p->address, static_cast<uint64_t>(p->dataSize) + 2);
  if (err != aErrNone) aTRACE(aDEBUG_LINK, "link %u: write failed: %s\n", link->linkRef, aError_GetErrorText(err));
}

void* sOutPipeProcess(void* arg) {
  aLinkRecord* link = static_cast<aLinkRecord*>(arg);
  link->outStarted = 1;
  uint8_t pool[kPoolBuffer];
  while (link->running.load()) {
    aPacket* p = aPacketFifo_Await(link->outFifo.load(), kOutPipeWaitMs);
    if (!p) continue;
    if (!link->pooled.load()) {
      sWritePacket(link, p);
      aPacket_Destroy(&p);
      continue;
    }
    size_t used = 0;
    while (p) {
      size_t n = static_cast<size_t>(p->dataSize) + 2;
      std::copy(&p->address, &p->address + n, pool + used);
      used += n;
      sLogPacket(link, aPACKETLOG_OUT, p);
      sTracePacket(">", link->linkRef, p);
      aPacket_Destroy(&p);
      if (used > kPoolFull) break;
      p = aPacketFifo_Get(link->outFifo.load());
    }
    aErr err = aStream_Write(link->stream, pool, used);
    if (err != aErrNone)
      aTRACE(aDEBUG_LINK, "link %u: pooled write failed: %s\n", link->linkRef, aError_GetErrorText(err));
  }
  // Whatever is still queued (the route release among it) goes out before
  // the stream can be closed.
  while (aPacket* p = aPacketFifo_Get(link->outFifo.load())) {
    sWritePacket(link, p);
    aPacket_Destroy(&p);
  }
  return nullptr;
}

uint32_t sBaudIndex(uint32_t baud) {
  static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (uint32_t i = 0; i < sizeof rates / sizeof rates[0]; ++i)
    if (rates[i] == baud) return i;
  return UINT32_MAX;
}

// A new stream for a TCP or client entry, from its identifier and port, as
// its creator made it and as a reset makes it again.
aErr sOpenStream(const aLinkEntry* entry, aStreamRef* stream) {
  *stream = nullptr;
  switch (entry->kind) {
    case aLINK_KIND_TCPIP:
      return aStream_CreateSocket(entry->identifier, static_cast<uint16_t>(entry->port), stream);
    case aLINK_KIND_CLIENT:
      // The ZeroMQ client transport is not part of this build yet.
      return aErrUnimplemented;
    default:
      return aErrParam;
  }
}

// Kinds whose stream a reset can make again from the table entry alone.
// A serial line stays open across a module's restart and is not reopened;
// a wrapped stream belongs to whoever made it. (USB joins these with its
// transport.)
bool sCanReopen(uint32_t kind) { return kind == aLINK_KIND_TCPIP || kind == aLINK_KIND_CLIENT; }

void sReleaseResources(aLinkRecord* link) {
  if (link->assembly) aPacket_Destroy(&link->assembly);
  aPacketLog* log = link->packetLog.exchange(nullptr);
  if (log) aPacketLog_Destroy(&log);
  aMutexRef m = link->packetLogMutex.exchange(nullptr);
  if (m) aMutex_Destroy(&m);
  if (link->userFilterMutex) aMutex_Destroy(&link->userFilterMutex);
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
}

// Initialises and starts a new link over its stream and gives it its first
// holder; on failure the link is destroyed and 0 returned.
uint32_t sFinishCreate(uint32_t ref, aStreamRef stream) {
  sChangeUseCountByID(ref, 1, nullptr);
  if (aLink_Init(ref, stream) != ref) {
    if (stream) aStream_Destroy(&stream);
    aLink_Destroy(&ref);
    return 0;
  }
  aErr err = aLink_Start(ref);
  if (err != aErrNone) {
    aTRACE(aDEBUG_LINK, "link %u: start failed: %s\n", ref, aError_GetErrorText(err));
    aLink_Destroy(&ref);
    return 0;
  }
  return ref;
}

}  // namespace

uint32_t aLink_Init(uint32_t linkRef, aStreamRef stream) {
  aLinkEntry* entry = sLookupEntryByID(linkRef);
  if (!entry || !entry->link) return 0;
  aLinkRecord* link = entry->link;
  link->check = aLINKCHECK;
  link->linkRef = linkRef;
  link->running = 0;
  link->status = stream ? aLINK_STATUS_STOPPED : aLINK_STATUS_NOSTREAM;
  link->stream = stream;
  link->inPipe = nullptr;
  link->outPipe = nullptr;
  link->inStarted = 0;
  link->outStarted = 0;
  link->inFifo = aPacketFifo_Create();
  link->outFifo = aPacketFifo_Create();
  link->assembly = aPacket_Create();
  link->syncState = kSyncStateIdle;
  link->packetLog = nullptr;
  link->packetLogSize = 0;
  link->packetLogMutex = nullptr;
  link->userFilter = nullptr;
  link->userFilterRef = nullptr;
  char name[64];
  std::snprintf(name, sizeof name, "aLink(%p)->userFilterSema", static_cast<void*>(link));
  link->userFilterMutex = aMutex_Create(name);
  link->pooled = 0;
  if (!link->inFifo.load() || !link->outFifo.load() || !link->assembly || !link->userFilterMutex) {
    // Leave nothing half made: the caller destroys the link.
    link->stream = nullptr;
    aPacketFifoId id = link->inFifo.exchange(0);
    aPacketFifo_Destroy(&id);
    id = link->outFifo.exchange(0);
    aPacketFifo_Destroy(&id);
    sReleaseResources(link);
    link->check = 0;
    return 0;
  }
  return linkRef;
}

aErr aLink_Start(uint32_t linkRef) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return aErrParam;
  if (link->running.load()) return aErrNone;
  if (!link->stream) return aErrParam;
  link->running = 1;
  link->status = aLINK_STATUS_STARTING;
  link->inStarted = 0;
  link->outStarted = 0;
  link->inPipe = aThread_Create(sInPipeProcess, link);
  if (!link->inPipe) {
    link->running = 0;
    link->status = aLINK_STATUS_STOPPED;
    return aErrResource;
  }
  link->outPipe = aThread_Create(sOutPipeProcess, link);
  if (!link->outPipe) {
    link->running = 0;
    aThread_Destroy(&link->inPipe);
    link->status = aLINK_STATUS_STOPPED;
    return aErrResource;
  }
  bool up = false;
  for (int i = 0; i < kStateChecks && !up; ++i) {
    up = link->inStarted.load() && link->outStarted.load() && link->status.load() == aLINK_STATUS_RUNNING;
    if (!up) aTime_MSSleep(kStateCheckSleepMs);
  }
  if (!up) return aErrIndexRange;
  aTRACE(aDEBUG_LINK, "link %u: started\n", linkRef);
  return aLink_ForceRoute(linkRef, 1);
}

aErr aLink_Stop(aLinkRecord* link) {
  if (!aVALIDLINK(link)) return aErrParam;
  uint32_t status = link->status.load();
  if (!link->running.load() && (status == aLINK_STATUS_STOPPED || status == aLINK_STATUS_NOSTREAM)) return aErrNone;
  if (status == aLINK_STATUS_STOPPING) return aErrNone;
  link->status = aLINK_STATUS_STOPPING;
  aErr result = aErrNone;
  if (link->inPipe && link->outPipe) {
    // Queued before the pipes are told to stop: the out-pipe writes what is
    // left in its FIFO before it ends, so the module hears the release. Put
    // straight into the link's FIFO: when the link is being destroyed its
    // table entry is already gone, and a lookup by reference would lose it.
    const uint8_t release = 0;
    sPutSimple(link, aLINK_ROUTE_ADDRESS, 1, &release, &result);
  }
  link->running = 0;
  if (link->inPipe && aThread_Destroy(&link->inPipe) != 0) result = aErrUnknown;
  if (link->outPipe && aThread_Destroy(&link->outPipe) != 0) result = aErrUnknown;
  link->inStarted = 0;
  link->outStarted = 0;
  aPacket_Reset(link->assembly);
  link->status = link->stream ? aLINK_STATUS_STOPPED : aLINK_STATUS_NOSTREAM;
  aTRACE(aDEBUG_LINK, "link %u: stopped\n", link->linkRef);
  return result;
}

aErr aLink_Stop(uint32_t linkRef) { return aLink_Stop(sGetLink(linkRef)); }

aErr aLink_Sync(uint32_t linkRef) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return aErrParam;
  if (!link->running.load()) return aErrNotReady;
  link->status = aLINK_STATUS_SYNCING;
  bool synced = false;
  for (int i = 0; i < kStateChecks && !synced; ++i) {
    synced = link->status.load() == aLINK_STATUS_RUNNING;
    if (!synced) aTime_MSSleep(kStateCheckSleepMs);
  }
  // Late answers to the other sync packets are no use to anyone.
  aPacketFifo_DrainPackets(link->outFifo.load(), sMatchAll, nullptr);
  aTime_MSSleep(100);
  aPacketFifo_DrainPackets(link->inFifo.load(), sMatchAll, nullptr);
  return synced ? aErrNone : aErrNotReady;
}

aErr aLink_ForceRoute(uint32_t linkRef, uint8_t value) {
  aLinkEntry* entry = sLookupEntryByID(linkRef);
  if (!entry) return aErrNotFound;
  if (!aVALIDLINK(entry->link)) return aErrParam;
  aErr err = aErrNone;
  sPutSimple(entry->link, aLINK_ROUTE_ADDRESS, 1, &value, &err);
  return err;
}

uint32_t aLink_GetStatus(uint32_t linkRef) {
  aLinkRecord* link = sValidLink(linkRef);
  return link ? link->status.load() : aLINK_STATUS_NOSTREAM;
}

aErr aLink_PutPacket(uint32_t linkRef, const aPacket* packet) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return aErrParam;
  return aPacketFifo_Put(link->outFifo.load(), packet);
}

aPacket* aLink_GetPacket(uint32_t linkRef) {
  aLinkRecord* link = sValidLink(linkRef);
  return link ? aPacketFifo_Get(link->inFifo.load()) : nullptr;
}

aPacket* aLink_AwaitPacket(uint32_t linkRef, uint64_t ms) {
  aLinkRecord* link = sValidLink(linkRef);
  return link ? aPacketFifo_Await(link->inFifo.load(), ms) : nullptr;
}

aPacket* aLink_GetFirst(uint32_t linkRef, aPacketFilter predicate, const void* reference) {
  aLinkRecord* link = sValidLink(linkRef);
  return link ? aPacketFifo_GetFirst(link->inFifo.load(), predicate, reference) : nullptr;
}

aPacket* aLink_AwaitFirst(uint32_t linkRef, aPacketFilter predicate, const void* reference, uint64_t ms) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return nullptr;
  uint64_t start = aTime_GetMSTicks();
  while (link->running.load() && link->status.load() == aLINK_STATUS_RUNNING) {
    uint64_t elapsed = aTime_GetMSTicks() - start;
    if (elapsed >= ms && ms != 0) break;
    aPacketFifoId fifo = link->inFifo.load();
    aPacket* p = aPacketFifo_AwaitFirst(fifo, predicate, reference, ms - (ms ? elapsed : 0));
    if (p) return p;
    // A time-out, or the FIFO went away: only a reset that made a new one
    // is worth waiting on.
    if (ms == 0 || fifo == link->inFifo.load()) break;
  }
  return nullptr;
}

uint32_t aLink_DrainPackets(uint32_t linkRef, aPacketFilter predicate, const void* reference) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return 0;
  return static_cast<uint32_t>(aPacketFifo_DrainPackets(link->inFifo.load(), predicate, reference));
}

aErr aLink_InstallUserPacketFilter(uint32_t linkRef, aPacketFilter filter, const void* reference) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return aErrParam;
  Lock lock(link->userFilterMutex);
  link->userFilter = filter;
  link->userFilterRef = reference;
  return aErrNone;
}

aErr aLink_EnablePooledPackets(uint32_t linkRef, bool enable) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link) return aErrParam;
  link->pooled = enable ? 1 : 0;
  return aErrNone;
}

uint32_t aLink_Create(aStreamRef stream) {
  if (!aVALIDSTREAM(stream)) return 0;
  std::lock_guard<std::mutex> guard(gCreateMutex);
  uint32_t ref = sCreate(0xFFFFFFFF, 0, aLINK_KIND_STREAM);
  if (!ref) {
    aStream_Destroy(&stream);
    return 0;
  }
  return sFinishCreate(ref, stream);
}

uint32_t aLink_CreateTCPIP(uint32_t address, uint16_t port) {
  std::lock_guard<std::mutex> guard(gCreateMutex);
  // Shared only with a link to the same address and port: two modules
  // behind one address (two simulators, a port-forwarding router) are two
  // modules.
  if (uint32_t shared = sShareEntry(address, port, false, aLINK_KINDBIT(aLINK_KIND_TCPIP))) return shared;
  uint32_t ref = sCreate(address, port, aLINK_KIND_TCPIP);
  if (!ref) return 0;
  aLinkEntry* entry = sLookupEntryByID(ref);
  aStreamRef stream = nullptr;
  aErr err = sOpenStream(entry, &stream);
  if (err != aErrNone) {
    aTRACE(aDEBUG_LINK, "link %u: no TCP stream: %s\n", ref, aError_GetErrorText(err));
    aLink_Destroy(&ref);
    return 0;
  }
  return sFinishCreate(ref, stream);
}

uint32_t aLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
  if (!portName || sBaudIndex(baudRate) == UINT32_MAX) return 0;
  std::lock_guard<std::mutex> guard(gCreateMutex);
  // Any link already open to the module with this serial number is shared,
  // over USB or a serial line alike; an identifier of another kind (an IPv4
  // address, the wrapped-stream marker) is not a serial number.
  if (uint32_t shared = sShareEntry(serialNumber, 0, true, aLINK_KINDS_BYSERIAL)) return shared;
  uint32_t ref = sCreate(serialNumber, 0, aLINK_KIND_SERIAL);
  if (!ref) return 0;
  aStreamRef stream = nullptr;
  aErr err = aStream_CreateSerial(portName, static_cast<int32_t>(sBaudIndex(baudRate)), 0, 0, 0, &stream);
  if (err != aErrNone) {
    aTRACE(aDEBUG_LINK, "link %u: no serial stream on %s: %s\n", ref, portName, aError_GetErrorText(err));
    aLink_Destroy(&ref);
    return 0;
  }
  return sFinishCreate(ref, stream);
}

uint32_t aLink_CreateClient(uint32_t address, uint16_t port, uint32_t existingLinkRef) {
  std::lock_guard<std::mutex> guard(gCreateMutex);
  if (existingLinkRef != 0) {
    // One locked step: a last destroy at the same time cannot free it between.
    return sChangeUseCountByID(existingLinkRef, 1, nullptr) ? existingLinkRef : 0;
  }
  // Every new client link has its own entry and stream, told apart from
  // earlier ones to the same address and port by its client index.
  uint32_t ref = sCreate2(address, port, _clientCount, aLINK_KIND_CLIENT);
  if (!ref) return 0;
  ++_clientCount;
  aStreamRef stream = nullptr;
  aErr err = sOpenStream(sLookupEntryByID(ref), &stream);
  if (err != aErrNone) {
    aTRACE(aDEBUG_LINK, "link %u: no client stream to %08X:%u: %s\n", ref, address, port, aError_GetErrorText(err));
    aLink_Destroy(&ref);
    return 0;
  }
  return sFinishCreate(ref, stream);
}

aErr aLink_Reset(uint32_t linkRef) {
  aLinkEntry* entry = sLookupEntryByID(linkRef);
  if (!entry || !aVALIDLINK(entry->link)) return aErrParam;
  // Refused before anything is stopped: a link whose stream cannot be made
  // again would otherwise be left dead.
  if (!sCanReopen(entry->kind)) return aErrParam;
  aLinkRecord* link = entry->link;
  aLink_Stop(link);
  aPacketFifoId id = link->inFifo.exchange(0);
  aPacketFifo_Destroy(&id);
  id = link->outFifo.exchange(0);
  aPacketFifo_Destroy(&id);
  if (link->stream) aStream_Destroy(&link->stream);
  sReleaseResources(link);

  aStreamRef stream = nullptr;
  aErr err = aErrConnection;
  for (int i = 0; i < kResetTries; ++i) {
    err = sOpenStream(entry, &stream);
    if (err == aErrNone) break;
    aTime_MSSleep(kResetSleepMs);
  }
  if (err != aErrNone) {
    // Fresh FIFOs and no stream, so that every operation stays safe; the
    // link stays stopped, and a later reset may still bring it back.
    if (aLink_Init(linkRef, nullptr) == linkRef) link->status = aLINK_STATUS_STOPPED;
    return err;
  }
  if (aLink_Init(linkRef, stream) != linkRef) {
    aStream_Destroy(&stream);
    return aErrResource;
  }
  return aLink_Start(linkRef);
}

aErr aLink_Destroy(uint32_t* linkRef) {
  if (!linkRef) return aErrParam;
  uint32_t ref = *linkRef;
  *linkRef = 0;
  // The count drops and, at 0, the entry leaves the table in one locked step:
  // a creator sharing the link at the same time either gets in before (and
  // the link lives on) or finds no entry.
  aLinkEntry* entry = nullptr;
  if (!sReleaseEntry(ref, &entry)) return aErrParam;
  if (!entry) return aErrNone;
  aErr result = aErrUnknown;
  if (aLinkRecord* link = entry->link) {
    if (aVALIDLINK(link)) {
      Lock lock(link->userFilterMutex);
      link->userFilter = nullptr;
      link->userFilterRef = nullptr;
    }
    aLink_Stop(link);
    // The link server (entry->server) arrives with the server link creator;
    // nothing sets it yet.
    if (entry->peerLink) {
      uint32_t peer = entry->peerLink;
      aLink_Destroy(&peer);
    }
    aPacketFifoId id = link->inFifo.exchange(0);
    aPacketFifo_Destroy(&id);
    id = link->outFifo.exchange(0);
    result = aPacketFifo_Destroy(&id);
    sReleaseResources(link);
    if (link->stream) aStream_Destroy(&link->stream);
    link->check = 0;
    delete link;
  }
  delete entry;
  return result;
}

aErr _aLink_GetModuleAddress(uint32_t linkRef, uint8_t* moduleAddress) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link || !moduleAddress) return aErrParam;
  aErr err = aErrNone;
  sPutSimple(link, aLINK_SYNC_ADDRESS, 0, nullptr, &err);
  if (err != aErrNone) return err;
  aPacket* p = aPacketFifo_Await(link->inFifo.load(), kQueryTimeoutMs);
  if (!p) return aErrTimeout;
  err = aErrIO;
  if (p->dataSize == 0 && p->address != 0) {
    *moduleAddress = p->address;
    err = aErrNone;
  }
  aPacket_Destroy(&p);
  return err;
}

aErr _aLink_GetModel(uint32_t linkRef, uint8_t moduleAddress, uint8_t* model) {
  aLinkRecord* link = sValidLink(linkRef);
  if (!link || !model) return aErrParam;
  // A UEI get of the system entity's model option (command 3, option 8, index 0).
  const uint8_t query[3] = {0x03, 0x48, 0x20};
  aErr err = aErrNone;
  sPutSimple(link, moduleAddress, 3, query, &err);
  if (err != aErrNone) return err;
  aPacket* p = aPacketFifo_Await(link->inFifo.load(), kQueryTimeoutMs);
  if (!p) return aErrTimeout;
  err = aErrIO;
  if (p->dataSize == 4 && p->address == moduleAddress && p->data[0] == 0x03) {
    *model = p->data[3];
    err = aErrNone;
  }
  aPacket_Destroy(&p);
  return err;
}
