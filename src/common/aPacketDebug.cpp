#include "common/aPacketDebug.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/aLinkManagerInternal.h"
#include "platform/aTime.h"

struct aPacketLog {
  std::atomic<uint8_t> enabled{0};
  uint8_t* storage = nullptr;
  uint32_t capacity = 0;
  uint32_t readPos = 0;
  uint32_t writePos = 0;
};

namespace {

uint32_t sUsed(const aPacketLog* log) {
  return (log->writePos + log->capacity - log->readPos) % log->capacity;
}

uint8_t sAt(const aPacketLog* log, uint32_t offset) {
  return log->storage[(log->readPos + offset) % log->capacity];
}

void sDropOldest(aPacketLog* log) {
  uint32_t n = sAt(log, 1);
  log->readPos = (log->readPos + 2 + n) % log->capacity;
}

class LogLock {
 public:
  explicit LogLock(aMutexRef m) : m_(m) {
    if (m_) aMutex_Lock(m_);
  }
  ~LogLock() {
    if (m_) aMutex_Unlock(m_);
  }
  LogLock(const LogLock&) = delete;
  LogLock& operator=(const LogLock&) = delete;

 private:
  aMutexRef m_;
};

}  // namespace

aPacketLog* aPacketLog_Create(uint32_t capacity) {
  if (capacity == 0) return nullptr;
  aPacketLog* log = new (std::nothrow) aPacketLog();
  if (!log) return nullptr;
  log->storage = new (std::nothrow) uint8_t[capacity];
  if (!log->storage) {
    delete log;
    return nullptr;
  }
  log->capacity = capacity;
  return log;
}

aErr aPacketLog_Put(aPacketLog* log, uint8_t type, size_t length, const uint8_t* bytes) {
  if (!log || length > 255 || (length && !bytes)) return aErrParam;
  uint64_t need = length + 2;
  // Make room by dropping the oldest records, but only for a record that can
  // fit at all; one byte always stays free so that full and empty differ.
  while (need < log->capacity && need >= log->capacity - sUsed(log)) sDropOldest(log);
  if (need >= log->capacity) return aErrOverrun;
  auto push = [log](uint8_t b) {
    log->storage[log->writePos] = b;
    log->writePos = (log->writePos + 1) % log->capacity;
  };
  push(type);
  push(static_cast<uint8_t>(length));
  for (size_t i = 0; i < length; ++i) push(bytes[i]);
  return aErrNone;
}

aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* destination) {
  if (!log || !type || !length) return aErrParam;
  if (log->readPos == log->writePos) return aErrNotFound;
  uint32_t n = sAt(log, 1);
  *type = sAt(log, 0);
  uint32_t room = *length;
  *length = n;
  if (n > room) return aErrOverrun;
  if (n && !destination) return aErrParam;
  for (uint32_t i = 0; i < n; ++i) destination[i] = sAt(log, 2 + i);
  log->readPos = (log->readPos + 2 + n) % log->capacity;
  return aErrNone;
}

aErr aPacketLog_Destroy(aPacketLog** log) {
  if (!log || !*log) return aErrParam;
  delete[](*log)->storage;
  delete *log;
  *log = nullptr;
  return aErrNone;
}

bool aPacketLog_IsEnabled(const aPacketLog* log) { return log && log->enabled.load() != 0; }

void aPacketLog_SetEnabled(aPacketLog* log, bool enabled) {
  if (log) log->enabled = enabled ? 1 : 0;
}

aErr aLink_PacketDebug_SetLogSize(uint32_t linkRef, int64_t size) {
  aLinkRecord* link = sGetLink(linkRef);
  if (!aVALIDLINK(link) || size > static_cast<int64_t>(aPACKETLOG_MAXSIZE)) return aErrParam;
  if (link->packetLog.load()) return aErrBusy;
  link->packetLogSize = size < 0 ? 0 : static_cast<uint32_t>(size);
  return aErrNone;
}

aErr aLink_PacketDebug_Enable(uint32_t linkRef) {
  aLinkRecord* link = sGetLink(linkRef);
  if (!aVALIDLINK(link)) return aErrParam;
  if (link->packetLogSize.load() == 0) link->packetLogSize = aPACKETLOG_DEFAULTSIZE;
  if (!link->packetLog.load()) {
    // The mutex first: the pipes take it as soon as they see the log.
    if (!link->packetLogMutex.load()) {
      char name[64];
      std::snprintf(name, sizeof name, "LOG_SEMA_%p", static_cast<void*>(link));
      link->packetLogMutex = aMutex_Create(name);
    }
    aPacketLog* log = aPacketLog_Create(link->packetLogSize.load());
    if (!log || !link->packetLogMutex.load()) {
      if (log) aPacketLog_Destroy(&log);
      return aErrResource;
    }
    aPacketLog* expected = nullptr;
    if (!link->packetLog.compare_exchange_strong(expected, log)) aPacketLog_Destroy(&log);
  }
  aPacketLog_SetEnabled(link->packetLog.load(), true);
  return aErrNone;
}

aErr aLink_PacketDebug_Disable(uint32_t linkRef) {
  aLinkRecord* link = sGetLink(linkRef);
  if (!aVALIDLINK(link)) return aErrParam;
  aPacketLog* log = link->packetLog.load();
  if (!log) return aErrNotReady;
  aPacketLog_SetEnabled(log, false);
  return aErrNone;
}

aErr aLink_PacketDebug_Read(uint32_t linkRef, uint8_t* type, uint32_t* length, uint8_t* destination) {
  aLinkRecord* link = sGetLink(linkRef);
  if (!aVALIDLINK(link)) return aErrParam;
  aPacketLog* log = link->packetLog.load();
  if (!log) return aErrNotReady;
  // The reader moves the read position that a full ring's appenders move
  // too, so it takes the same lock.
  LogLock lock(link->packetLogMutex.load());
  return aPacketLog_Get(log, type, length, destination);
}

aErr aLink_PacketDebug_Write(uint32_t linkRef, uint8_t type, size_t length, const uint8_t* bytes) {
  aLinkRecord* link = sGetLink(linkRef);
  if (!aVALIDLINK(link)) return aErrParam;
  aPacketLog* log = link->packetLog.load();
  if (!log) return aErrNotReady;
  LogLock lock(link->packetLogMutex.load());
  return aPacketLog_Put(log, type, length, bytes);
}

void aPacketDebug_FormatRecord(aFileRef file, uint32_t linkRef) {
  uint8_t type = 0;
  uint8_t data[64];
  uint32_t length = sizeof data;
  aErr err = aLink_PacketDebug_Read(linkRef, &type, &length, data);
  if (err == aErrOverrun) {
    // Too long for one line: show the first 64 bytes and drop the record.
    uint8_t big[255];
    uint32_t all = sizeof big;
    err = aLink_PacketDebug_Read(linkRef, &type, &all, big);
    if (err == aErrNone) {
      // An appender may have dropped that record meanwhile; this one can be
      // shorter.
      length = all < sizeof data ? all : static_cast<uint32_t>(sizeof data);
      std::memcpy(data, big, length);
    }
  }
  if (err != aErrNone) {
    aTime_MSSleep(5);
    return;
  }
  aFile_Printf(file, "%d %s ", static_cast<int>(length), type == aPACKETLOG_OUT ? ">" : "<");
  for (uint32_t i = 0; i < length; ++i) {
    if (type == aPACKETLOG_TEXT)
      aFile_Printf(file, "%c", data[i]);
    else
      aFile_Printf(file, "0x%X ", data[i]);
  }
  aFile_Printf(file, "\r\n");
}
