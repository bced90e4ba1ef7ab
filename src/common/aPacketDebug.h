#pragma once
// Packet log: an optional per-link byte ring of the packets that went out
// and came in, and of text notes. Records are [type, length, data...] back to
// back; when the ring is full the oldest records make room for the newest.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/aError.h"
#include "common/aStream.h"
#include "platform/aFile.h"

// Record types.
#define aPACKETLOG_OUT ((uint8_t)1)   // a packet sent to the module (wire bytes)
#define aPACKETLOG_IN ((uint8_t)2)    // a packet received from the module (wire bytes)
#define aPACKETLOG_TEXT ((uint8_t)3)  // a text note
// Largest log a link accepts (64 MiB) and the size used when none was chosen.
#define aPACKETLOG_MAXSIZE 0x4000000u
#define aPACKETLOG_DEFAULTSIZE 0x10000u

typedef struct aPacketLog aPacketLog;

// A new empty log of `capacity` bytes (enabled flag clear), or null for a
// capacity of 0 or when memory is short. A record needs its length + 3 bytes,
// so a log of 1 or 2 bytes refuses every record.
aPacketLog* aPacketLog_Create(uint32_t capacity);
// Appends one record of `length` (0 to 255) bytes, dropping the oldest
// records as needed. aErrOverrun when the record could never fit (length + 2
// not below the capacity); aErrParam for a null log, null bytes with a
// non-zero length, or a length above 255. Not locked: callers serialise.
aErr aPacketLog_Put(aPacketLog* log, uint8_t type, size_t length, const uint8_t* bytes);
// Takes the oldest record. On entry *length is the destination's capacity; on
// return it is the record's data length. aErrNotFound when empty;
// aErrOverrun (record kept) when the record is longer than the capacity.
aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, uint32_t* length, uint8_t* destination);
// Releases the log and clears the reference.
aErr aPacketLog_Destroy(aPacketLog** log);
// Enabled flag (set by enable, cleared by disable).
bool aPacketLog_IsEnabled(const aPacketLog* log);
void aPacketLog_SetEnabled(aPacketLog* log, bool enabled);

// Link operations on the log of a link.
// aErrParam (unknown link, size above 64 MiB), aErrBusy once the log exists.
aErr aLink_PacketDebug_SetLogSize(uint32_t linkRef, int64_t size);
// Creates the log on first use (64 KiB unless a size was set) and sets its
// flag. aErrParam (unknown link), aErrResource (no memory).
aErr aLink_PacketDebug_Enable(uint32_t linkRef);
// Clears the flag; aErrParam (unknown link), aErrNotReady (no log).
aErr aLink_PacketDebug_Disable(uint32_t linkRef);
// aLink_PacketDebug_Read takes the oldest record (as aPacketLog_Get), under
// the log mutex; aErrParam (unknown link), aErrNotReady (no log).
aErr aLink_PacketDebug_Read(uint32_t linkRef, uint8_t* type, uint32_t* length, uint8_t* destination);
// Appends a record under the log mutex; aErrParam, aErrNotReady as above.
aErr aLink_PacketDebug_Write(uint32_t linkRef, uint8_t type, size_t length, const uint8_t* bytes);

// Writes the oldest record of the link's log as one text line, "N > 0xAD 0x0 "
// for outgoing, "N < ..." for incoming and "N < TEXT" for text records, each
// ended by "\r\n" (records above 64 bytes are cut to 64). When the log is
// empty it sleeps 5 ms, so a logger thread calling it in a loop does not
// spin. Suitable as the formatter of a packet logger (aLogger).
void aPacketDebug_FormatRecord(aFileRef file, uint32_t linkRef);

// The same operations for callers holding text or other byte types, and any
// integer for the capacity and length (clamped to 32 bits on the way in).
template <aStreamOtherByte T>
inline aErr aPacketLog_Put(aPacketLog* log, uint8_t type, size_t length, const T* bytes) {
  return aPacketLog_Put(log, type, length, reinterpret_cast<const uint8_t*>(bytes));
}
template <aStreamOtherByte T>
inline aErr aLink_PacketDebug_Write(uint32_t linkRef, uint8_t type, size_t length, const T* bytes) {
  return aLink_PacketDebug_Write(linkRef, type, length, reinterpret_cast<const uint8_t*>(bytes));
}
template <std::integral N>
inline uint32_t aPacketLog_ClampLength(N n) {
  if (std::cmp_less(n, 0)) return 0;
  if (std::cmp_greater(n, UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(n);
}
template <std::integral N, aStreamByte T>
  requires(!std::same_as<N, uint32_t> || !std::same_as<std::remove_cv_t<T>, uint8_t>)
inline aErr aPacketLog_Get(aPacketLog* log, uint8_t* type, N* length, T* destination) {
  uint32_t n = length ? aPacketLog_ClampLength(*length) : 0;
  aErr err = aPacketLog_Get(log, type, length ? &n : nullptr, reinterpret_cast<uint8_t*>(destination));
  if (length) *length = static_cast<N>(n);
  return err;
}
template <std::integral N, aStreamByte T>
  requires(!std::same_as<N, uint32_t> || !std::same_as<std::remove_cv_t<T>, uint8_t>)
inline aErr aLink_PacketDebug_Read(uint32_t linkRef, uint8_t* type, N* length, T* destination) {
  uint32_t n = length ? aPacketLog_ClampLength(*length) : 0;
  aErr err = aLink_PacketDebug_Read(linkRef, type, length ? &n : nullptr, reinterpret_cast<uint8_t*>(destination));
  if (length) *length = static_cast<N>(n);
  return err;
}
