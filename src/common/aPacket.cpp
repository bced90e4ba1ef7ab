#include "common/aPacket.h"

#include <cstring>
#include <new>

namespace {

// Every new packet starts as a copy of this: valid, everything else zero.
constexpr aPacket kPacketTemplate = {aPACKETCHECK, 0, 0, 0, {}};

aErr sGetDataByte(const aPacket* packet, uint8_t* out, uint8_t index, uint8_t mask) {
  if (out == nullptr) return aErrParam;
  if (!aVALIDPACKET(packet) || packet->dataSize <= index) return aErrPacket;
  *out = packet->data[index] & mask;
  return aErrNone;
}

}  // namespace

aPacket* aPacket_Create(void) {
  aPacket* packet = new (std::nothrow) aPacket;
  if (packet != nullptr) *packet = kPacketTemplate;
  return packet;
}

aPacket* aPacket_CreateWithData(uint8_t address, uint8_t length, const uint8_t* data) {
  if (data == nullptr || length > aPACKETMAXDATA) return nullptr;
  aPacket* packet = aPacket_Create();
  if (packet == nullptr) return nullptr;
  packet->address = address;
  packet->dataSize = length;
  std::memcpy(packet->data, data, length);
  packet->received = static_cast<uint8_t>(2 + length);
  return packet;
}

aPacket* aPacket_Copy(const aPacket* packet) {
  if (!aVALIDPACKET(packet)) return nullptr;
  // dataSize of a packet that was assembled with a refused length byte may be
  // above 28; never read past the payload.
  if (packet->dataSize > aPACKETMAXDATA) return nullptr;
  return aPacket_CreateWithData(packet->address, packet->dataSize, packet->data);
}

aErr aPacket_GetCmd(const aPacket* packet, uint8_t* command) {
  return sGetDataByte(packet, command, 0, 0xFF);
}

aErr aPacket_GetOption(const aPacket* packet, uint8_t* option) {
  return sGetDataByte(packet, option, 1, 0x3F);
}

aErr aPacket_GetIndex(const aPacket* packet, uint8_t* index) {
  return sGetDataByte(packet, index, 2, 0x1F);
}

aErr aPacket_Reset(aPacket* packet) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  packet->received = 0;
  packet->address = 0;
  packet->dataSize = 0;
  std::memset(packet->data, 0, sizeof packet->data);
  return aErrNone;
}

aErr aPacket_AddByte(aPacket* packet, uint8_t byte) {
  if (!aVALIDPACKET(packet)) return aErrParam;
  // The count stops one past the largest packet: a caller that keeps feeding
  // an overrun packet must not wrap it round into the payload indexes.
  if (packet->received > aPACKETMAXWIRE) return aErrOverrun;
  packet->received = static_cast<uint8_t>(packet->received + 1);
  if (packet->received > aPACKETMAXWIRE) return aErrOverrun;
  if (packet->address == 0) {
    if (byte == 0 || (byte & 1) != 0) return aErrPacket;
    packet->address = byte;
    return aErrNone;
  }
  if (packet->dataSize == 0) {
    packet->dataSize = byte;
    return byte > aPACKETMAXDATA ? aErrPacket : aErrNone;
  }
  // received is at most aPACKETMAXWIRE here, so the index stays inside the
  // payload even after a refused length byte; below 3 only a record whose
  // fields were set by hand gets here.
  if (packet->received > packet->dataSize + 2 || packet->received < 3) return aErrPacket;
  packet->data[packet->received - 3] = byte;
  return aErrNone;
}

bool aPacket_IsComplete(const aPacket* packet) {
  // A refused length byte stays stored; such a packet is never complete.
  return aVALIDPACKET(packet) && packet->dataSize <= aPACKETMAXDATA &&
         packet->received == packet->dataSize + 2;
}

aErr aPacket_Destroy(aPacket** packet) {
  if (packet == nullptr || *packet == nullptr) return aErrParam;
  (*packet)->check = 0;
  delete *packet;
  *packet = nullptr;
  return aErrNone;
}
