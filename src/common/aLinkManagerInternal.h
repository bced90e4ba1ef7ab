#pragma once
// Inside the link engine: the link record that the pipes run on, and the
// process-wide link table that hands out link references, shares links
// between holders and owns each link record. Not for use outside the link
// engine and its tests.
#include <atomic>
#include <cstdint>

#include "common/aError.h"
#include "common/aPacket.h"
#include "common/aPacketDebug.h"
#include "common/aStream.h"
#include "common/packetfifo.h"
#include "platform/aMutex.h"
#include "platform/aThread.h"

#define aLINKCHECK ((uint16_t)0xCEED)

// Link status values.
enum : uint32_t {
  aLINK_STATUS_STOPPED = 0,
  aLINK_STATUS_STARTING = 1,
  aLINK_STATUS_RUNNING = 2,
  aLINK_STATUS_STOPPING = 3,
  aLINK_STATUS_SYNCING = 4,
  aLINK_STATUS_NOSTREAM = 5,
  aLINK_STATUS_STREAMERROR = 6,
  aLINK_STATUS_PACKETERROR = 8,
};

// Link kinds kept in the table (the linkType values; 0 for a wrapped stream).
enum : uint32_t {
  aLINK_KIND_STREAM = 0,
  aLINK_KIND_USB = 1,
  aLINK_KIND_TCPIP = 2,
  aLINK_KIND_SERIAL = 3,
  aLINK_KIND_CLIENT = 4,
};

// One link. Fields that one thread writes while another reads are atomics;
// the FIFO ids, stream and packet in assembly change only while the pipes
// are stopped (init, reset, destroy).
struct aLinkRecord {
  uint16_t check = 0;
  uint32_t linkRef = 0;
  std::atomic<uint8_t> running{0};
  std::atomic<uint32_t> status{aLINK_STATUS_NOSTREAM};
  std::atomic<aPacketFifoId> inFifo{0};
  aPacket* assembly = nullptr;  // in-pipe only
  std::atomic<aPacketFifoId> outFifo{0};
  aThreadRef inPipe = nullptr;
  aThreadRef outPipe = nullptr;
  std::atomic<uint8_t> inStarted{0};
  std::atomic<uint8_t> outStarted{0};
  aStreamRef stream = nullptr;
  std::atomic<uint32_t> syncState{0};
  std::atomic<uint8_t> syncAddress{0};
  uint64_t lastSyncTick = 0;  // in-pipe only: when synchronisation last began
  std::atomic<aPacketLog*> packetLog{nullptr};
  std::atomic<uint32_t> packetLogSize{0};
  std::atomic<aMutexRef> packetLogMutex{nullptr};
  aPacketFilter userFilter = nullptr;  // guarded by userFilterMutex
  const void* userFilterRef = nullptr;  // guarded by userFilterMutex
  aMutexRef userFilterMutex = nullptr;
  std::atomic<uint8_t> pooled{0};
};

#define aVALIDLINK(l) ((l) != nullptr && (l)->check == aLINKCHECK)

// One table entry.
struct aLinkEntry {
  uint32_t reference = 0;
  uint32_t peerLink = 0;       // destroyed together with this link
  void* server = nullptr;      // link server sharing this link, when there is one
  uint32_t identifier = 0xFFFFFFFF;  // serial number, IPv4 address, or 0xFFFFFFFF
  uint32_t port = 0;
  uint32_t clientIndex = 0;
  uint32_t kind = aLINK_KIND_STREAM;
  int16_t useCount = 0;        // guarded by the table mutex
  aLinkRecord* link = nullptr;
  aLinkEntry* next = nullptr;
};

// Trace switch of the table: when non-zero, extraction counts the entries left.
extern int debugging;

// Link table. Each operation holds the table mutex for its whole duration.
uint32_t sCreate2(uint32_t identifier, uint32_t port, uint32_t clientIndex, uint32_t kind);
uint32_t sCreate(uint32_t identifier, uint32_t port, uint32_t kind);
aLinkEntry* sLookupEntryByID(uint32_t reference);
aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier);
aLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint32_t port, uint32_t clientIndex);
// Newest entry of the kind with that identifier (and port, unless port is
// compared as "any" with anyPort set).
aLinkEntry* sLookupEntryByKind(uint32_t identifier, uint32_t port, bool anyPort, uint32_t kind);
// Bit of a kind in the kind masks below.
#define aLINK_KINDBIT(kind) (1u << (kind))
// Identifiers of these kinds are serial numbers: a serial link and a USB
// link with the same number reach the same module.
#define aLINK_KINDS_BYSERIAL (aLINK_KINDBIT(aLINK_KIND_USB) | aLINK_KINDBIT(aLINK_KIND_SERIAL))
// Finds the newest entry whose kind is in kindMask, with that identifier (and
// port, unless anyPort), and adds one holder to it, in one locked step so that
// a last destroy running at the same time cannot free it in between. Returns
// its reference, or 0 when there is none.
uint32_t sShareEntry(uint32_t identifier, uint32_t port, bool anyPort, uint32_t kindMask);
aLinkEntry* sExtractEntry(uint32_t reference);
// Drops one holder of the entry of `reference`; when none is left the entry
// is taken out of the table in the same locked step and returned through
// *extracted (else *extracted is null). False when there is no such entry.
bool sReleaseEntry(uint32_t reference, aLinkEntry** extracted);
void sChangeUseCount(aLinkEntry* entry, int16_t delta);
// Adds delta to the use count of the entry of `reference` and returns the new
// count; false when there is no such entry. One locked step, so that two
// holders releasing at once cannot both see the count above zero.
bool sChangeUseCountByID(uint32_t reference, int16_t delta, int16_t* newCount);
aLinkRecord* sGetLink(uint32_t reference);
// Number of entries in the table.
uint32_t sEntryCount(void);

// Stops the pipes of a link (route release first); aErrNone for a link
// already stopped or stopping.
aErr aLink_Stop(aLinkRecord* link);
