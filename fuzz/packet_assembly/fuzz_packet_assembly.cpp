// Bytes received from a module are outside input. They reach packet assembly
// through a stream read (with reads cut short by "not ready" and put back),
// complete packets go into a packet FIFO and come out again. Nothing may
// crash, read or write out of bounds, lose or reorder bytes, or hand out a
// packet that breaks the record's limits.
//
// The first byte sets the run: bit 0 keeps feeding a packet after an error
// without a reset (callers should reset, but assembly must stay safe when
// they do not); bits 1-3 make every n-th transport answer "not ready" (n = 2 to 8); bits
// 4-6 set how many bytes each stream read asks for. The rest is the bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/aPacket.h"
#include "common/aStream.h"
#include "common/packetfifo.h"

namespace {

struct Source {
  const uint8_t* bytes;
  size_t size;
  size_t next = 0;
  unsigned notReadyEvery;  // 0: never
  unsigned calls = 0;
};

aErr sGet(uint8_t* byte, void* reference) {
  auto* src = static_cast<Source*>(reference);
  if (src->notReadyEvery != 0 && ++src->calls % src->notReadyEvery == 0) return aErrNotReady;
  if (src->next >= src->size) return aErrEOF;
  *byte = src->bytes[src->next++];
  return aErrNone;
}

void sCheck(bool ok) {
  if (!ok) std::abort();
}

// Limits every packet record keeps, whatever it was fed.
void sCheckRecord(const aPacket* p) {
  sCheck(aVALIDPACKET(p));
  sCheck(p->received <= aPACKETMAXWIRE + 1);
  sCheck(p->address == 0 || (p->address % 2 == 0));
  if (aPacket_IsComplete(p)) sCheck(p->dataSize <= aPACKETMAXDATA);
}

uint8_t sSameAddress(const aPacket* packet, const void* reference) {
  return packet->address == *static_cast<const uint8_t*>(reference);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = data[0];
  const bool resetAfterError = (mode & 1) == 0;
  // Every 2nd to 8th answer "not ready" (never every one: the reads must
  // make progress), or none.
  const unsigned every = (mode >> 1) & 7;
  Source src{data + 1, size - 1, 0, every == 0 ? 0u : every + 1, 0};
  const uint64_t chunk = ((mode >> 4) & 7) + 1;

  aStreamRef stream = aStream_Create(sGet, nullptr, nullptr, nullptr, &src);
  aPacket* assembly = aPacket_Create();
  aPacketFifoId fifo = aPacketFifo_Create();
  sCheck(stream != nullptr && assembly != nullptr && fifo != 0);

  std::vector<uint8_t> seen;  // every byte the reads delivered, in order
  std::vector<std::vector<uint8_t>> queued;  // wire images put into the FIFO
  for (;;) {
    uint8_t buffer[8];
    aErr err = aStream_Read(stream, buffer, chunk);
    if (err == aErrNotReady) continue;  // the bytes taken were put back
    sCheck(err == aErrNone || err == aErrEOF);
    // At the end a short read hands over the bytes before it, uncounted; the
    // put-back ring is empty then, so the source's position tells how many.
    const size_t got = err == aErrNone ? chunk : src.next - seen.size();
    sCheck(got <= chunk);
    for (size_t i = 0; i < got; i++) {
      const uint8_t byte = buffer[i];
      seen.push_back(byte);
      aErr added = aPacket_AddByte(assembly, byte);
      sCheckRecord(assembly);
      if (added != aErrNone) {
        // Fed as a receiver should, a refused byte never leaves a packet
        // that looks complete.
        sCheck(!resetAfterError || !aPacket_IsComplete(assembly));
        if (resetAfterError) aPacket_Reset(assembly);
        continue;
      }
      if (!aPacket_IsComplete(assembly)) continue;
      aPacket* copy = aPacket_Copy(assembly);
      sCheck(copy != nullptr);
      sCheck(copy->received == copy->dataSize + 2);
      sCheck(std::memcmp(&copy->address, &assembly->address, assembly->dataSize + 2u) == 0);
      aPacket_Destroy(&copy);
      sCheck(aPacketFifo_Put(fifo, assembly) == aErrNone);
      queued.emplace_back(&assembly->address, &assembly->address + assembly->dataSize + 2);
      if (queued.size() > aPACKETFIFO_CAPACITY) queued.clear();  // the FIFO drops them all
      aPacket_Reset(assembly);
    }
    if (err == aErrEOF) break;
  }
  // Nothing lost or reordered on the way through the stream.
  sCheck(seen.size() == src.size && std::memcmp(seen.data(), src.bytes, src.size) == 0);

  // Out of the FIFO in order: the first packet by filter, then the rest.
  sCheck(aPacketFifo_GetLength(fifo) == queued.size());
  size_t taken = 0;
  if (!queued.empty()) {
    uint8_t address = queued.front()[0];
    aPacket* first = aPacketFifo_GetFirst(fifo, sSameAddress, &address);
    sCheck(first != nullptr && first->address == address);
    sCheck(std::memcmp(&first->address, queued.front().data(), queued.front().size()) == 0);
    aPacket_Destroy(&first);
    taken = 1;
  }
  for (; taken < queued.size(); taken++) {
    aPacket* p = aPacketFifo_Get(fifo);
    sCheck(p != nullptr);
    sCheck(std::memcmp(&p->address, queued[taken].data(), queued[taken].size()) == 0);
    aPacket_Destroy(&p);
  }
  sCheck(aPacketFifo_Get(fifo) == nullptr);

  aPacketFifo_Destroy(&fifo);
  aPacket_Destroy(&assembly);
  aStream_Destroy(&stream);
  return 0;
}
