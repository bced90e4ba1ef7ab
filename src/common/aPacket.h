#pragma once
// One module packet: an address byte, a length byte and up to 28 data bytes,
// plus the bookkeeping used while a packet is assembled byte by byte from a
// stream. Packets live on the heap; whoever receives one from a create, copy,
// get or await operation owns it and releases it with aPacket_Destroy.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/aError.h"

#define aPACKETCHECK ((uint16_t)0xBEEF)
#define aPACKETMAXDATA 28
// Bytes of the largest wire image: address, length and 28 data bytes.
#define aPACKETMAXWIRE (aPACKETMAXDATA + 2)

typedef struct aPacket {
  uint16_t check;                 // aPACKETCHECK while the packet is alive
  uint8_t received;               // wire bytes offered to aPacket_AddByte so far
  uint8_t address;                // module address, even and non-zero when valid
  uint8_t dataSize;               // 0 to aPACKETMAXDATA
  uint8_t data[aPACKETMAXDATA];   // payload
} aPacket;

// The wire image is the dataSize + 2 bytes starting at `address`.
static_assert(offsetof(aPacket, dataSize) == offsetof(aPacket, address) + 1,
              "address and length must be contiguous");
static_assert(offsetof(aPacket, data) == offsetof(aPacket, address) + 2,
              "length and data must be contiguous");

#define aVALIDPACKET(p) ((p) != nullptr && (p)->check == aPACKETCHECK)

// Predicate used by every packet search: non-zero selects the packet. The
// reference is passed through unchanged from the caller.
typedef uint8_t (*aPacketFilter)(const aPacket* packet, const void* reference);

// Predicates written as lambdas or functions answering bool (or any other
// truth value) are accepted by the searching operations too: they are called
// through a trampoline for the length of the one call, so they may even
// capture. An aPacketFilter itself never takes this road.
template <class F>
concept aPacketPredicate = std::invocable<F&, const aPacket*, const void*> &&
                           !std::is_convertible_v<F, aPacketFilter> &&
                           std::convertible_to<std::invoke_result_t<F&, const aPacket*, const void*>, bool>;
template <class F>
struct aPacketPredicateBinding {
  F& predicate;
  const void* reference;
};
template <class F>
uint8_t aPacketPredicateTrampoline(const aPacket* packet, const void* binding) {
  auto* b = static_cast<const aPacketPredicateBinding<F>*>(binding);
  return static_cast<bool>(b->predicate(packet, b->reference)) ? 1 : 0;
}

// A new zeroed valid packet, or null when memory is short.
aPacket* aPacket_Create(void);
// A new packet holding `length` bytes of `data` for `address`; null when
// data is null (even for length 0) or length is above aPACKETMAXDATA.
aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data);
// Byte types other than uint8_t that callers hold data in (text literals,
// char buffers, std::byte): accepted wherever bytes are taken or given.
template <class T>
concept aOtherByte = std::same_as<std::remove_cv_t<T>, char> ||
                     std::same_as<std::remove_cv_t<T>, signed char> ||
                     std::same_as<std::remove_cv_t<T>, std::byte>;
template <aOtherByte T>
inline aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const T* data) {
  return aPacket_CreateWithData(address, length, reinterpret_cast<const uint8_t*>(data));
}
// A new copy of a valid packet, or null.
aPacket* aPacket_Copy(const aPacket* packet);

// UEI fields: command (data[0]), option (data[1] & 0x3F), index (data[2] & 0x1F).
// aErrParam for a null out, aErrPacket for an invalid or too short packet.
aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command);
aErr aPacket_GetOption(const aPacket* packet, uint8_t* option);
aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index);

// Clears everything but the check value, ready for assembly.
aErr aPacket_Reset(aPacket* packet);
// One step of assembly: aErrNone when the byte was accepted, aErrPacket when
// it was refused (zero or odd address, length above 28, byte beyond the
// length), aErrOverrun past 30 bytes, aErrParam for an invalid packet. Every
// byte offered counts, accepted or not. After any error, and after every
// complete packet, the caller resets the packet: while the length is still 0
// the next byte is taken as the length.
aErr aPacket_AddByte(aPacket* packet, uint8_t byte);
// True when valid and every byte announced by the length has arrived.
bool aPacket_IsComplete(const aPacket* packet);

// Frees the packet and clears the caller's pointer; aErrParam when either the
// address or the pointer is null.
aErr aPacket_Destroy(aPacket** packet);
