#include "common/aLinkManagerInternal.h"

#include <mutex>
#include <new>

#include "common/aDebugging.h"

int debugging = -1;

namespace {

struct LinkTable {
  aLinkEntry* head = nullptr;
  uint32_t nextReference = 1;
  aMutexRef mutex = nullptr;
};

LinkTable _links;

// Created on the table's first use; lives as long as the process.
aMutexRef sTableMutex() {
  static std::once_flag once;
  std::call_once(once, [] { _links.mutex = aMutex_Create("aLink_Managed"); });
  return _links.mutex;
}

class TableLock {
 public:
  TableLock() : m_(sTableMutex()) { aMutex_Lock(m_); }
  ~TableLock() { aMutex_Unlock(m_); }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  aMutexRef m_;
};

}  // namespace

uint32_t sCreate2(uint32_t identifier, uint32_t port, uint32_t clientIndex, uint32_t kind) {
  aLinkEntry* entry = new (std::nothrow) aLinkEntry();
  aLinkRecord* link = new (std::nothrow) aLinkRecord();
  if (!entry || !link) {
    delete entry;
    delete link;
    return 0;
  }
  TableLock lock;
  entry->reference = _links.nextReference++;
  entry->identifier = identifier;
  entry->port = port;
  entry->clientIndex = clientIndex;
  entry->kind = kind;
  entry->useCount = 0;
  entry->link = link;
  link->linkRef = entry->reference;
  entry->next = _links.head;
  _links.head = entry;
  aTRACE(aDEBUG_LINK, "link table: created %u (identifier %08X port %u kind %u)\n", entry->reference,
         identifier, port, kind);
  return entry->reference;
}

uint32_t sCreate(uint32_t identifier, uint32_t port, uint32_t kind) {
  return sCreate2(identifier, port, 0, kind);
}

aLinkEntry* sLookupEntryByID(uint32_t reference) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next)
    if (e->reference == reference) return e;
  return nullptr;
}

aLinkEntry* sLookupEntryByIdentifier(uint32_t identifier) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next)
    if (e->identifier == identifier) return e;
  return nullptr;
}

aLinkEntry* sLookupEntryByTrident(uint32_t identifier, uint32_t port, uint32_t clientIndex) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next)
    if (e->identifier == identifier && e->port == port && e->clientIndex == clientIndex) return e;
  return nullptr;
}

aLinkEntry* sLookupEntryByKind(uint32_t identifier, uint32_t port, bool anyPort, uint32_t kind) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next)
    if (e->kind == kind && e->identifier == identifier && (anyPort || e->port == port)) return e;
  return nullptr;
}

uint32_t sShareEntry(uint32_t identifier, uint32_t port, bool anyPort, uint32_t kindMask) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next) {
    if (e->kind >= 32 || !(kindMask & aLINK_KINDBIT(e->kind))) continue;
    if (e->identifier != identifier || (!anyPort && e->port != port)) continue;
    e->useCount = static_cast<int16_t>(e->useCount + 1);
    aTRACE(aDEBUG_LINK, "link table: %u shared, use count %d\n", e->reference, e->useCount);
    return e->reference;
  }
  return 0;
}

namespace {

// Unlinks the entry of `reference`; the table lock is held by the caller.
aLinkEntry* sUnlinkLocked(uint32_t reference) {
  aLinkEntry** at = &_links.head;
  while (*at && (*at)->reference != reference) at = &(*at)->next;
  aLinkEntry* found = *at;
  if (found) {
    *at = found->next;
    found->next = nullptr;
  }
  if (debugging && aDebugging_IsOn(aDEBUG_LINK)) {
    unsigned left = 0;
    for (aLinkEntry* e = _links.head; e; e = e->next) ++left;
    aDebugging_Trace(aDEBUG_LINK, "link table: extracted %u, %u left\n", reference, left);
  }
  return found;
}

}  // namespace

aLinkEntry* sExtractEntry(uint32_t reference) {
  TableLock lock;
  return sUnlinkLocked(reference);
}

bool sReleaseEntry(uint32_t reference, aLinkEntry** extracted) {
  *extracted = nullptr;
  TableLock lock;
  aLinkEntry* e = _links.head;
  while (e && e->reference != reference) e = e->next;
  if (!e) return false;
  e->useCount = static_cast<int16_t>(e->useCount - 1);
  aTRACE(aDEBUG_LINK, "link table: %u released, use count %d\n", reference, e->useCount);
  if (e->useCount <= 0) *extracted = sUnlinkLocked(reference);
  return true;
}

void sChangeUseCount(aLinkEntry* entry, int16_t delta) {
  if (!entry) return;
  TableLock lock;
  entry->useCount = static_cast<int16_t>(entry->useCount + delta);
}

bool sChangeUseCountByID(uint32_t reference, int16_t delta, int16_t* newCount) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next) {
    if (e->reference != reference) continue;
    e->useCount = static_cast<int16_t>(e->useCount + delta);
    if (newCount) *newCount = e->useCount;
    return true;
  }
  return false;
}

aLinkRecord* sGetLink(uint32_t reference) {
  TableLock lock;
  for (aLinkEntry* e = _links.head; e; e = e->next)
    if (e->reference == reference) return e->link;
  return nullptr;
}

uint32_t sEntryCount(void) {
  TableLock lock;
  uint32_t n = 0;
  for (aLinkEntry* e = _links.head; e; e = e->next) ++n;
  return n;
}
