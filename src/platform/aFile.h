#pragma once
// Files: a thin layer over buffered streams that checks its arguments and
// turns system failures into aErr codes.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "common/aError.h"

// Longest accepted path, in characters.
#define aFILE_NAMEMAXCHARS 4096

// Fixed underlying types: a value outside the list is a defined (refused) value.
typedef enum : int32_t {
  aFileModeReadOnly = 0,   // "rb"
  aFileModeWriteOnly = 1,  // "wb", truncates
  aFileModeAppend = 2,     // "ab+": reads anywhere, writes at the end
  aFileModeUnknown = 3     // count of modes; refused
} aFileMode;

typedef enum : int32_t { aSeekStart = 0, aSeekCurrent = 1, aSeekEnd = 2 } aFileSeekMode;

typedef struct aFile aFile;
typedef aFile* aFileRef;

// True when the handle is open (not null and its check word is set).
bool aFile_IsValid(aFileRef file);
#define aVALIDFILE(f) aFile_IsValid(f)

// True when the path exists, is at most aFILE_NAMEMAXCHARS long and is not a directory.
bool aFile_Exists(const char* path);
// New handle, or null: null/empty/too long path, bad mode, no memory, the
// stream cannot be opened, or the path is a directory, named pipe, socket or
// block device (opening those could block or read what is not a file).
aFileRef aFile_Open(const char* path, aFileMode mode);
// The same with the mode given as its number (0 read, 1 write, 2 append).
inline aFileRef aFile_Open(const char* path, int mode) {
  return aFile_Open(path, static_cast<aFileMode>(mode));
}
// Closes and frees the handle and always clears *file. aErrParam for a null
// address or an invalid handle; aErrIO when buffered data could not be
// written out (the file is then incomplete).
aErr aFile_Close(aFileRef* file);
// Reads up to count bytes; a short read is success. aErrParam (invalid
// handle, null buffer), aErrMode (write-only), aErrEOF when nothing was read
// although count was not 0, aErrIO on a read error with nothing read.
aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read);
// Writes count bytes. aErrParam, aErrMode (read-only), aErrIO when not all
// could be written (*written tells how many were).
aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written);
// Moves to base + offset, base being 0, the current position or the size by
// origin. aErrRange (position unchanged) when the target is below 0 or
// beyond the size; aErrIO when the position cannot be read or moved.
aErr aFile_Seek(aFileRef file, long offset, aFileSeekMode origin);
// The same with the origin given as its number (0 start, 1 current, 2 end).
inline aErr aFile_Seek(aFileRef file, long offset, int origin) {
  return aFile_Seek(file, offset, static_cast<aFileSeekMode>(origin));
}
// Size in bytes, the position left where it was. aErrParam for a null
// address; aErrIO (size 0) when it cannot be found.
aErr aFile_GetSize(aFileRef file, size_t* size);
// Reads one line (its line end included when it fits) into buffer, at most
// size - 1 characters, always terminated; *length gets the text's length.
// aErrEOF at the end of the file, aErrIO on a read error, aErrOverrun when
// the line is longer than the buffer (the rest stays unread); a last line
// without a line end that exactly fills the buffer is complete (aErrNone).
// aErrParam for an invalid handle, then aErrMode (write-only), then
// aErrParam for a null buffer or size 0.
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length);
// Formatted write. aErrMode unless writable, aErrIO when it fails.
aErr aFile_Printf(aFileRef file, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Makes the stream unbuffered; aErrMode unless writable or when refused.
aErr aFile_SetUnbuffered(aFileRef file);
// Current position (0 included). aErrParam for a null address, aErrIO when
// it cannot be read.
aErr aFile_GetPosition(aFileRef file, size_t* position);
// Removes a file. aErrParam (null), aErrFileNameLength (too long),
// aErrNotFound, aErrPermission, aErrIO otherwise (a directory included).
aErr aFile_Delete(const char* path);

// The operations that report a count, size or position also take the
// address of any other integer type (uint32_t, long, ...). A value that does
// not fit that type gives aErrRange and 0.
namespace aFileDetail {
template <typename N>
concept OtherCount = std::is_integral_v<N> && !std::is_same_v<N, size_t> && !std::is_same_v<N, bool>;
template <typename N>
aErr store(aErr result, size_t value, N* out) {
  if (out == nullptr) return result;
  if (value > static_cast<std::make_unsigned_t<N>>(std::numeric_limits<N>::max())) {
    *out = 0;
    return result == aErrNone ? aErrRange : result;
  }
  *out = static_cast<N>(value);
  return result;
}
}  // namespace aFileDetail

template <aFileDetail::OtherCount N>
aErr aFile_Read(aFileRef file, void* buffer, size_t count, N* read) {
  size_t n = 0;
  const aErr result = aFile_Read(file, buffer, count, &n);
  return aFileDetail::store(result, n, read);
}
template <aFileDetail::OtherCount N>
aErr aFile_Write(aFileRef file, const void* data, size_t count, N* written) {
  size_t n = 0;
  const aErr result = aFile_Write(file, data, count, &n);
  return aFileDetail::store(result, n, written);
}
template <aFileDetail::OtherCount N>
aErr aFile_GetSize(aFileRef file, N* size) {
  if (size == nullptr) return aFile_GetSize(file, static_cast<size_t*>(nullptr));
  size_t n = 0;
  const aErr result = aFile_GetSize(file, &n);
  return aFileDetail::store(result, n, size);
}
template <aFileDetail::OtherCount N>
aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, N* length) {
  size_t n = 0;
  const aErr result = aFile_ReadLine(file, buffer, size, &n);
  return aFileDetail::store(result, n, length);
}
template <aFileDetail::OtherCount N>
aErr aFile_GetPosition(aFileRef file, N* position) {
  if (position == nullptr) return aFile_GetPosition(file, static_cast<size_t*>(nullptr));
  size_t n = 0;
  const aErr result = aFile_GetPosition(file, &n);
  if (result != aErrNone) return result;
  return aFileDetail::store(result, n, position);
}
