#pragma once
// The byte stream every transport is used through: four transport callbacks
// around a transport record, plus a put-back ring of bytes that are read
// again before the transport. One reader and one writer may use a stream at
// the same time; the put-back ring belongs to the reading side.
//
// Callback contract: get answers aErrNone with one byte, aErrNotReady when no
// byte is available now (not a failure: poll again, or wait, below), aErrEOF
// when the source has ended; any other code is a transport failure.
//
// Waiting: a transport whose get never waits may supply a wait callback (see
// aStream_SetWaitProc) so that a reader can sleep until input arrives
// instead of polling get in a loop. Waiting never changes what get answers.
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "common/aError.h"

#define aSTREAMCHECK ((uint16_t)0x4321)
#define aSTREAMBUFCHUNK 512

typedef aErr (*aStreamGetProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamPutProc)(const uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteProc)(const uint8_t* bytes, uint64_t count, void* reference);
typedef aErr (*aStreamDeleteProc)(void* reference);
// Waits up to `ms` for input: aErrNone when get may have something to answer
// (a byte, an end, an error), aErrTimeout when nothing came in time, other
// codes for a failure of the wait itself.
typedef aErr (*aStreamWaitProc)(uint64_t ms, void* reference);

typedef struct aStream {
  aStreamGetProc get;          // absent for write-only streams
  aStreamPutProc put;          // absent for read-only streams
  aStreamWriteProc write;      // optional block write
  aStreamDeleteProc deleteProc;  // optional; closes the transport, frees reference
  void* reference;             // the transport's own record
  uint8_t* buffer;             // put-back ring, created on the first put-back
  uint64_t bufferCount;        // bytes held
  uint64_t bufferSize;         // capacity of the ring
  uint64_t bufferRead;         // index of the oldest held byte
  uint64_t bufferWrite;        // index where the next byte goes
  uint16_t check;              // aSTREAMCHECK while alive
  aStreamWaitProc wait;        // optional wait for input
  // Transports whose put or write take the bytes through a non-const
  // pointer; used in place of put or write when set (never both kinds).
  aErr (*putMutable)(uint8_t* byte, void* reference);
  aErr (*writeMutable)(uint8_t* bytes, uint64_t count, void* reference);
} aStream;

typedef aStream* aStreamRef;

#define aVALIDSTREAM(s) ((s) != nullptr && (s)->check == aSTREAMCHECK)

// A new stream over a transport record, or null when memory is short.
aStreamRef aStream_Create(aStreamGetProc get, aStreamPutProc put, aStreamWriteProc write,
                          aStreamDeleteProc deleteProc, void* reference);
// The same for a transport whose put and/or write take their bytes through a
// non-const pointer (they are called with the caller's bytes; they must not
// change them). Null for an absent callback, as above.
typedef aErr (*aStreamPutMutableProc)(uint8_t* byte, void* reference);
typedef aErr (*aStreamWriteMutableProc)(uint8_t* bytes, uint64_t count, void* reference);
aStreamRef aStream_CreateMutable(aStreamGetProc get, aStreamPutProc put, aStreamPutMutableProc putMutable,
                                 aStreamWriteProc write, aStreamWriteMutableProc writeMutable,
                                 aStreamDeleteProc deleteProc, void* reference);
template <class P>
concept aStreamPutArg = std::same_as<P, aStreamPutProc> || std::same_as<P, aStreamPutMutableProc> ||
                        std::same_as<P, std::nullptr_t>;
template <class W>
concept aStreamWriteArg = std::same_as<W, aStreamWriteProc> || std::same_as<W, aStreamWriteMutableProc> ||
                          std::same_as<W, std::nullptr_t>;
template <aStreamPutArg P, aStreamWriteArg W>
  requires(std::same_as<P, aStreamPutMutableProc> || std::same_as<W, aStreamWriteMutableProc>)
inline aStreamRef aStream_Create(aStreamGetProc get, P put, W write, aStreamDeleteProc deleteProc,
                                 void* reference) {
  aStreamPutProc putConst = nullptr;
  aStreamPutMutableProc putMutable = nullptr;
  if constexpr (std::same_as<P, aStreamPutProc>) putConst = put;
  if constexpr (std::same_as<P, aStreamPutMutableProc>) putMutable = put;
  aStreamWriteProc writeConst = nullptr;
  aStreamWriteMutableProc writeMutable = nullptr;
  if constexpr (std::same_as<W, aStreamWriteProc>) writeConst = write;
  if constexpr (std::same_as<W, aStreamWriteMutableProc>) writeMutable = write;
  return aStream_CreateMutable(get, putConst, putMutable, writeConst, writeMutable, deleteProc, reference);
}
// Gives a stream its optional wait callback (null removes it).
aErr aStream_SetWaitProc(aStreamRef stream, aStreamWaitProc wait);

// Waits up to `ms` for input to read. aErrNone at once when bytes are held in
// the put-back ring, else when the transport reports input (or an end or
// error that get will report); aErrTimeout when nothing came in time;
// aErrUnimplemented when the transport has no wait (its get does its own
// waiting, or the caller must pace itself); aErrParam for an invalid stream;
// aErrMode for a stream without get.
aErr aStream_Wait(aStreamRef stream, uint64_t ms);

// Reads exactly `count` bytes. aErrNotReady when fewer were available: the
// bytes taken are put back, the destination is untouched. aErrEOF when the
// source ended: the destination holds the bytes before the end.
aErr aStream_Read(aStreamRef stream, uint8_t* destination, uint64_t count);
// Writes `count` bytes: one write call for more than one byte when the
// transport has one, else put byte by byte.
aErr aStream_Write(aStreamRef stream, const uint8_t* bytes, uint64_t count);
// Appends a byte to the put-back ring (read again before the transport).
aErr aStreamBufferChar(aStreamRef stream, uint8_t byte);

// Reads until the delimiter (not stored) or until `capacity` bytes are stored.
// aErrNotReady (or any failure) leaves every byte taken, delimiter bytes
// included, in the stream; aErrEOF when the input ended before any byte.
// `stored` (optional) receives the number stored on aErrNone and aErrEOF
// only. A partly matched delimiter that breaks off, or that the end of input
// cuts short, is data.
aErr aStream_ReadRecord(aStreamRef stream, uint8_t* destination, uint64_t* stored,
                        uint64_t capacity, const uint8_t* delimiter, uint64_t delimiterLength);
aErr aStream_WriteRecord(aStreamRef stream, const uint8_t* bytes, uint64_t count,
                         const uint8_t* delimiter, uint64_t delimiterLength);
// Zero-terminated text up to a zero byte; at most size - 1 characters.
aErr aStream_ReadCString(aStreamRef stream, char* destination, uint64_t size);
// Writes the text, then its terminating zero (two writes).
aErr aStream_WriteCString(aStreamRef stream, const char* text);
// Zero-terminated text up to the delimiter text; at most size - 1 characters.
aErr aStream_ReadCStringRecord(aStreamRef stream, char* destination, uint64_t size,
                               const char* delimiter);
// Writes the text, then the delimiter text including its terminating zero.
aErr aStream_WriteCStringRecord(aStreamRef stream, const char* text, const char* delimiter);

// Copies the input's transport into the output until the input ends
// (aErrNone) or a get or put fails (its code, aErrNotReady included). Bytes
// put back into the input are not part of the copy; they stay in the input.
aErr aStream_Flush(aStreamRef input, aStreamRef output);

// Runs the delete callback (its code is the result), frees the stream and
// clears the caller's reference; aErrParam for an invalid stream.
aErr aStream_Destroy(aStreamRef* stream);

// The byte operations also take char, signed char and std::byte buffers
// (a text literal to write, a char array to read into).
template <class T>
concept aStreamByte = std::same_as<std::remove_cv_t<T>, uint8_t> ||
                      std::same_as<std::remove_cv_t<T>, char> ||
                      std::same_as<std::remove_cv_t<T>, signed char> ||
                      std::same_as<std::remove_cv_t<T>, std::byte>;
template <class T>
concept aStreamOtherByte = aStreamByte<T> && !std::same_as<std::remove_cv_t<T>, uint8_t>;

template <aStreamOtherByte T>
inline aErr aStream_Read(aStreamRef stream, T* destination, uint64_t count) {
  return aStream_Read(stream, reinterpret_cast<uint8_t*>(destination), count);
}
template <aStreamOtherByte T>
inline aErr aStream_Write(aStreamRef stream, const T* bytes, uint64_t count) {
  return aStream_Write(stream, reinterpret_cast<const uint8_t*>(bytes), count);
}
template <aStreamByte D, aStreamByte L>
  requires(!std::same_as<std::remove_cv_t<D>, uint8_t> || !std::same_as<std::remove_cv_t<L>, uint8_t>)
inline aErr aStream_ReadRecord(aStreamRef stream, D* destination, uint64_t* stored, uint64_t capacity,
                               const L* delimiter, uint64_t delimiterLength) {
  return aStream_ReadRecord(stream, reinterpret_cast<uint8_t*>(destination), stored, capacity,
                            reinterpret_cast<const uint8_t*>(delimiter), delimiterLength);
}
template <aStreamByte B, aStreamByte L>
  requires(!std::same_as<std::remove_cv_t<B>, uint8_t> || !std::same_as<std::remove_cv_t<L>, uint8_t>)
inline aErr aStream_WriteRecord(aStreamRef stream, const B* bytes, uint64_t count, const L* delimiter,
                                uint64_t delimiterLength) {
  return aStream_WriteRecord(stream, reinterpret_cast<const uint8_t*>(bytes), count,
                             reinterpret_cast<const uint8_t*>(delimiter), delimiterLength);
}

// File streams. aErrResource and no stream when the path or out is null or
// the file cannot be opened.
aErr aStream_CreateFileInput(const char* path, aStreamRef* stream);
aErr aStream_CreateFileOutput(const char* path, aStreamRef* stream);
