#include "common/aStream.h"

#include <cstring>
#include <new>
#include <vector>

#include "platform/aFile.h"

namespace {

// Creates the ring on first use, and grows it by one chunk when it holds
// capacity - 1 bytes, unwrapping the held bytes to the start, oldest first.
aErr sMakeRoom(aStream* stream) {
  if (stream->buffer == nullptr) {
    stream->buffer = new (std::nothrow) uint8_t[aSTREAMBUFCHUNK];
    if (stream->buffer == nullptr) return aErrMemory;
    stream->bufferSize = aSTREAMBUFCHUNK;
    stream->bufferCount = stream->bufferRead = stream->bufferWrite = 0;
  }
  if (stream->bufferCount >= stream->bufferSize - 1) {
    uint64_t newSize = stream->bufferSize + aSTREAMBUFCHUNK;
    uint8_t* grown = new (std::nothrow) uint8_t[newSize];
    if (grown == nullptr) return aErrMemory;
    for (uint64_t i = 0; i < stream->bufferCount; i++)
      grown[i] = stream->buffer[(stream->bufferRead + i) % stream->bufferSize];
    delete[] stream->buffer;
    stream->buffer = grown;
    stream->bufferSize = newSize;
    stream->bufferRead = 0;
    stream->bufferWrite = stream->bufferCount;
  }
  return aErrNone;
}

// Returns a byte to the front of the ring: it is read next.
aErr sPushFront(aStream* stream, uint8_t byte) {
  aErr err = sMakeRoom(stream);
  if (err != aErrNone) return err;
  stream->bufferRead = (stream->bufferRead + stream->bufferSize - 1) % stream->bufferSize;
  stream->buffer[stream->bufferRead] = byte;
  stream->bufferCount++;
  return aErrNone;
}

// Takes the oldest byte of the put-back ring; false when it holds none.
bool sTakeBuffered(aStream* stream, uint8_t* byte) {
  if (stream->buffer == nullptr || stream->bufferCount == 0) return false;
  *byte = stream->buffer[stream->bufferRead];
  stream->bufferRead = (stream->bufferRead + 1) % stream->bufferSize;
  stream->bufferCount--;
  return true;
}

// Returns bytes taken by a read that cannot complete to the put-back ring, in
// order, so that the next read sees them first. The ring is always empty when
// the transport is asked for a byte, so appending keeps the stream's order.
void sPutBack(aStream* stream, const uint8_t* bytes, uint64_t count) {
  for (uint64_t i = 0; i < count; i++) {
    if (aStreamBufferChar(stream, bytes[i]) != aErrNone) break;
  }
}

// One byte: from the put-back ring, else from the transport.
aErr sNextByte(aStream* stream, uint8_t* byte) {
  if (sTakeBuffered(stream, byte)) return aErrNone;
  return stream->get(byte, stream->reference);
}

bool sHasPut(const aStream* stream) { return stream->put != nullptr || stream->putMutable != nullptr; }
bool sHasWrite(const aStream* stream) { return stream->write != nullptr || stream->writeMutable != nullptr; }

aErr sPut(aStream* stream, const uint8_t* byte) {
  if (stream->put != nullptr) return stream->put(byte, stream->reference);
  return stream->putMutable(const_cast<uint8_t*>(byte), stream->reference);
}

aErr sWrite(aStream* stream, const uint8_t* bytes, uint64_t count) {
  if (stream->write != nullptr) return stream->write(bytes, count, stream->reference);
  return stream->writeMutable(const_cast<uint8_t*>(bytes), count, stream->reference);
}

}  // namespace

aStreamRef aStream_CreateMutable(aStreamGetProc get, aStreamPutProc put, aStreamPutMutableProc putMutable,
                                 aStreamWriteProc write, aStreamWriteMutableProc writeMutable,
                                 aStreamDeleteProc deleteProc, void* reference) {
  if ((put != nullptr && putMutable != nullptr) || (write != nullptr && writeMutable != nullptr)) return nullptr;
  aStream* stream = aStream_Create(get, put, write, deleteProc, reference);
  if (stream == nullptr) return nullptr;
  stream->putMutable = putMutable;
  stream->writeMutable = writeMutable;
  return stream;
}

aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc deleteProc, void* reference) {
  aStream* stream = new (std::nothrow) aStream{};
  if (stream == nullptr) return nullptr;
  stream->get = get;
  stream->put = put;
  stream->write = write;
  stream->deleteProc = deleteProc;
  stream->reference = reference;
  stream->check = aSTREAMCHECK;
  return stream;
}

aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc wait) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  stream->wait = wait;
  return aErrNone;
}

aErr aStream_Wait(aStreamRef stream, uint64_t ms) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  if (stream->get == nullptr) return aErrMode;
  if (stream->bufferCount > 0) return aErrNone;
  if (stream->wait == nullptr) return aErrUnimplemented;
  return stream->wait(ms, stream->reference);
}

aErr aStreamBufferChar(aStreamRef stream, uint8_t byte) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  aErr err = sMakeRoom(stream);
  if (err != aErrNone) return err;
  stream->buffer[stream->bufferWrite] = byte;
  stream->bufferWrite = (stream->bufferWrite + 1) % stream->bufferSize;
  stream->bufferCount++;
  return aErrNone;
}

aErr aStream_Read(aStreamRef stream, uint8_t* destination, uint64_t count) {
  if (!aVALIDSTREAM(stream)) return aErrParam;
  // A stream that cannot be read is refused as such, whatever else is wrong.
  if (stream->get == nullptr) return aErrMode;
  if (destination == nullptr) return aErrParam;
  if (count == 0) return aErrNone;
  std::vector<uint8_t> taken;
  try {
    taken.reserve(count);
  } catch (...) {
    return aErrResource;
  }
  aErr err = aErrNone;
  while (err == aErrNone && taken.size() < count) {
    uint8_t byte = 0;
    err = sNextByte(stream, &byte);
    if (err == aErrNone) taken.push_back(byte);
  }
  if (err == aErrNone || err == aErrEOF) {
    if (!taken.empty()) std::memcpy(destination, taken.data(), taken.size());
    return err;
  }
  // Not ready, or a transport failure part way: the bytes already taken stay
  // in the stream for the next read and never reach the destination.
  sPutBack(stream, taken.data(), taken.size());
  return err;
}

aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, uint64_t count) {
  if (!aVALIDSTREAM(stream) || bytes == nullptr) return aErrParam;
  if (!sHasWrite(stream) && !sHasPut(stream)) return aErrMode;
  // A transport with only a block write takes single bytes through it too.
  if (sHasWrite(stream) && (count > 1 || !sHasPut(stream))) {
    if (count == 0) return aErrNone;
    return sWrite(stream, bytes, count);
  }
  for (uint64_t i = 0; i < count; i++) {
    aErr err = sPut(stream, &bytes[i]);
    if (err != aErrNone) return err;
  }
  return aErrNone;
}

aErr aStream_ReadRecord(aStreamRef stream, uint8_t* destination, uint64_t* stored,
                        uint64_t capacity, const uint8_t* delimiter, uint64_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || destination == nullptr || delimiter == nullptr ||
      delimiterLength == 0 || capacity == 0)
    return aErrParam;
  std::vector<uint8_t> record;  // stored bytes
  std::vector<uint8_t> taken;   // bytes consumed from the stream by this call
  try {
    record.reserve(capacity);
    uint64_t match = 0;  // delimiter bytes matched so far
    aErr err = aErrNone;
    for (;;) {
      uint8_t byte = 0;
      err = aStream_Read(stream, &byte, 1);
      if (err == aErrEOF) {
        // A partly matched delimiter at the end is data after all; what does
        // not fit stays in the stream.
        uint64_t i = 0;
        for (; i < match && record.size() < capacity; i++) record.push_back(delimiter[i]);
        sPutBack(stream, delimiter + i, match - i);
        err = record.empty() ? aErrEOF : aErrNone;
        break;
      }
      if (err != aErrNone) {
        // Nothing of the record is lost: every byte this call consumed,
        // delimiter bytes included, goes back into the stream. The ring is
        // empty here (the transport was asked), so appending keeps the order.
        sPutBack(stream, taken.data(), taken.size());
        return err;
      }
      taken.push_back(byte);
      if (byte == delimiter[match]) {
        if (++match == delimiterLength) break;
        continue;
      }
      if (match > 0) {
        // The delimiter broke off. Its first byte is data; the rest and the
        // breaking byte are read again, as any of them may begin a delimiter.
        if (sPushFront(stream, byte) != aErrNone) return aErrMemory;
        for (uint64_t i = match - 1; i >= 1; i--) {
          if (sPushFront(stream, delimiter[i]) != aErrNone) return aErrMemory;
        }
        taken.resize(taken.size() - match);
        byte = delimiter[0];
        match = 0;
      }
      record.push_back(byte);
      if (record.size() >= capacity) break;
    }
    if (!record.empty()) std::memcpy(destination, record.data(), record.size());
    if (stored != nullptr) *stored = record.size();
    return err;
  } catch (...) {
    return aErrResource;
  }
}

aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, uint64_t count,
                         const uint8_t* delimiter, uint64_t delimiterLength) {
  if (!aVALIDSTREAM(stream) || bytes == nullptr || delimiter == nullptr || delimiterLength == 0)
    return aErrParam;
  aErr err = aStream_Write(stream, bytes, count);
  if (err != aErrNone) return err;
  return aStream_Write(stream, delimiter, delimiterLength);
}

aErr aStream_ReadCString(aStreamRef stream, char* destination, uint64_t size) {
  if (size == 0) return aErrParam;
  static const uint8_t kZero = 0;
  uint64_t stored = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &stored,
                                size - 1, &kZero, 1);
  if (err == aErrNone) destination[stored] = '\0';
  return err;
}

aErr aStream_WriteCString(aStreamRef stream, const char* text) {
  if (text == nullptr) return aErrParam;
  static const uint8_t kZero = 0;
  aErr err = aStream_Write(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text));
  if (err != aErrNone) return err;
  return aStream_Write(stream, &kZero, 1);
}

aErr aStream_ReadCStringRecord(aStreamRef stream, char* destination, uint64_t size,
                               const char* delimiter) {
  if (size == 0 || delimiter == nullptr) return aErrParam;
  uint64_t stored = 0;
  aErr err = aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), &stored,
                                size - 1, reinterpret_cast<const uint8_t*>(delimiter),
                                std::strlen(delimiter));
  if (err == aErrNone) destination[stored] = '\0';
  return err;
}

aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* delimiter) {
  if (text == nullptr || delimiter == nullptr) return aErrParam;
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(text), std::strlen(text),
                             reinterpret_cast<const uint8_t*>(delimiter),
                             std::strlen(delimiter) + 1);
}

aErr aStream_Flush(aStreamRef input, aStreamRef output) {
  if (!aVALIDSTREAM(input) || !aVALIDSTREAM(output)) return aErrParam;
  if (input->get == nullptr || !sHasPut(output)) return aErrMode;
  for (;;) {
    uint8_t byte = 0;
    // Straight from the transport: bytes put back stay in the input for
    // its next read.
    aErr err = input->get(&byte, input->reference);
    if (err == aErrEOF) return aErrNone;
    if (err != aErrNone) return err;
    err = sPut(output, &byte);
    if (err != aErrNone) return err;
  }
}

aErr aStream_Destroy(aStreamRef* stream) {
  if (stream == nullptr) return aErrParam;
  if (!aVALIDSTREAM(*stream)) {
    *stream = nullptr;
    return aErrParam;
  }
  aStream* s = *stream;
  aErr err = s->deleteProc != nullptr ? s->deleteProc(s->reference) : aErrNone;
  delete[] s->buffer;
  s->buffer = nullptr;
  s->check = 0;
  delete s;
  *stream = nullptr;
  return err;
}

namespace {

aErr sFileGet(uint8_t* byte, void* reference) {
  if (reference == nullptr || byte == nullptr) return aErrIO;
  size_t read = 0;
  return aFile_Read(static_cast<aFileRef>(reference), byte, 1, &read);
}

aErr sFilePut(const uint8_t* byte, void* reference) {
  if (reference == nullptr || byte == nullptr) return aErrIO;
  size_t written = 0;
  return aFile_Write(static_cast<aFileRef>(reference), byte, 1, &written);
}

aErr sFileWrite(const uint8_t* bytes, uint64_t count, void* reference) {
  if (reference == nullptr || bytes == nullptr) return aErrIO;
  size_t written = 0;
  return aFile_Write(static_cast<aFileRef>(reference), bytes, count, &written);
}

aErr sFileDelete(void* reference) {
  if (reference == nullptr) return aErrIO;
  aFileRef file = static_cast<aFileRef>(reference);
  return aFile_Close(&file);
}

aErr sCreateFileStream(const char* path, aStreamRef* out, bool output) {
  if (out == nullptr) return aErrResource;
  *out = nullptr;
  if (path == nullptr) return aErrResource;
  aFileRef file = aFile_Open(path, output ? aFileModeWriteOnly : aFileModeReadOnly);
  if (file == nullptr) return aErrResource;
  aStreamRef stream = output ? aStream_Create(nullptr, sFilePut, sFileWrite, sFileDelete, file)
                             : aStream_Create(sFileGet, nullptr, nullptr, sFileDelete, file);
  if (stream == nullptr) {
    aFile_Close(&file);
    return aErrResource;
  }
  *out = stream;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateFileInput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, stream, false);
}

aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream) {
  return sCreateFileStream(path, stream, true);
}
