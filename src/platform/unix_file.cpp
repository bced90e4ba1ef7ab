// Files over the standard buffered streams.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/aFile.h"

namespace {
constexpr uint32_t FILE_CHECK = 0xFEED;

enum class LastOp { None, Read, Write };
}  // namespace

struct aFile {
  FILE* stream = nullptr;
  uint32_t mode = aFileModeUnknown;
  uint32_t check = 0;
  // A "+" stream must be repositioned between reading and writing.
  LastOp last = LastOp::None;
};

namespace {

bool canRead(const aFile* f) { return f->mode == aFileModeReadOnly || f->mode == aFileModeAppend; }
bool canWrite(const aFile* f) { return f->mode == aFileModeWriteOnly || f->mode == aFileModeAppend; }

void switchTo(aFile* f, LastOp op) {
  if (f->mode == aFileModeAppend && f->last != LastOp::None && f->last != op)
    fseeko(f->stream, 0, SEEK_CUR);
  f->last = op;
}

bool pathOk(const char* path) {
  return path != nullptr && *path != '\0' && strlen(path) <= aFILE_NAMEMAXCHARS;
}

}  // namespace

bool aFile_IsValid(aFileRef file) { return file != nullptr && file->check == FILE_CHECK; }

bool aFile_Exists(const char* path) {
  if (!pathOk(path)) return false;
  struct stat st;
  return stat(path, &st) == 0 && !S_ISDIR(st.st_mode);
}

aFileRef aFile_Open(const char* path, aFileMode mode) {
  if (!pathOk(path)) return nullptr;
  int flags;
  const char* how;
  switch (mode) {
    case aFileModeReadOnly: flags = O_RDONLY; how = "rb"; break;
    case aFileModeWriteOnly: flags = O_WRONLY | O_CREAT | O_TRUNC; how = "wb"; break;
    case aFileModeAppend: flags = O_RDWR | O_CREAT | O_APPEND; how = "ab+"; break;
    default: return nullptr;
  }
  aFile* file = new (std::nothrow) aFile;
  if (file == nullptr) return nullptr;
  // Opened without blocking: a named pipe or a device waiting for its other
  // side would otherwise hold the open for ever. The type is judged on the
  // opened descriptor, so the name cannot be swapped in between.
  const int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    delete file;
    return nullptr;
  }
  // Regular files, and character devices that a user names on purpose
  // (/dev/null, a terminal). A directory opens for reading on Linux but
  // yields nothing; pipes, sockets and block devices are no files to read
  // or write whole.
  struct stat st;
  int refused = 0;
  if (fstat(fd, &st) != 0) {
    refused = errno;
  } else if (S_ISDIR(st.st_mode)) {
    refused = EISDIR;
  } else if (!S_ISREG(st.st_mode) && !S_ISCHR(st.st_mode)) {
    refused = ENXIO;
  } else {
    // Back to ordinary blocking reads and writes once open.
    const int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) refused = errno;
  }
  if (refused == 0) {
    file->stream = fdopen(fd, how);
    if (file->stream == nullptr) refused = errno;
  }
  if (refused != 0) {
    close(fd);
    delete file;
    errno = refused;
    return nullptr;
  }
  if (mode == aFileModeAppend && fseeko(file->stream, 0, SEEK_END) != 0) {
    const int err = errno;
    fclose(file->stream);
    delete file;
    errno = err;
    return nullptr;
  }
  file->mode = mode;
  file->check = FILE_CHECK;
  return file;
}

aErr aFile_Close(aFileRef* file) {
  if (file == nullptr) return aErrParam;
  aFile* f = *file;
  *file = nullptr;
  if (!aFile_IsValid(f)) return aErrParam;
  const bool flushed = fclose(f->stream) == 0;
  f->check = 0;
  delete f;
  return flushed ? aErrNone : aErrIO;
}

aErr aFile_Read(aFileRef file, void* buffer, size_t count, size_t* read) {
  if (read) *read = 0;
  if (!aFile_IsValid(file) || buffer == nullptr) return aErrParam;
  if (!canRead(file)) return aErrMode;
  if (count == 0) return aErrNone;
  switchTo(file, LastOp::Read);
  const size_t n = fread(buffer, 1, count, file->stream);
  if (read) *read = n;
  if (n == 0) {
    const bool error = ferror(file->stream);
    clearerr(file->stream);
    return error ? aErrIO : aErrEOF;
  }
  clearerr(file->stream);
  return aErrNone;
}

aErr aFile_Write(aFileRef file, const void* data, size_t count, size_t* written) {
  if (written) *written = 0;
  if (!aFile_IsValid(file) || data == nullptr) return aErrParam;
  if (!canWrite(file)) return aErrMode;
  if (count == 0) return aErrNone;
  switchTo(file, LastOp::Write);
  const size_t n = fwrite(data, 1, count, file->stream);
  if (written) *written = n;
  if (n < count) {
    clearerr(file->stream);
    return aErrIO;  // a short write lost data; never report it as success
  }
  return aErrNone;
}

static bool currentAndSize(aFile* f, off_t* position, off_t* size) {
  *position = ftello(f->stream);
  if (*position < 0) return false;
  if (fseeko(f->stream, 0, SEEK_END) != 0) return false;
  *size = ftello(f->stream);
  const bool back = fseeko(f->stream, *position, SEEK_SET) == 0;
  return *size >= 0 && back;
}

aErr aFile_Seek(aFileRef file, long offset, aFileSeekMode origin) {
  if (!aFile_IsValid(file)) return aErrParam;
  off_t position, size;
  if (!currentAndSize(file, &position, &size)) return aErrIO;
  off_t base = origin == aSeekCurrent ? position : origin == aSeekEnd ? size : 0;
  off_t target;
  if (__builtin_add_overflow(base, static_cast<off_t>(offset), &target) || target < 0 ||
      target > size)
    return aErrRange;
  if (fseeko(file->stream, target, SEEK_SET) != 0 || ftello(file->stream) < 0) return aErrIO;
  file->last = LastOp::None;
  return aErrNone;
}

aErr aFile_GetSize(aFileRef file, size_t* size) {
  if (!aFile_IsValid(file) || size == nullptr) return aErrParam;
  *size = 0;
  off_t position, total;
  if (!currentAndSize(file, &position, &total)) return aErrIO;
  file->last = LastOp::None;
  *size = static_cast<size_t>(total);
  return aErrNone;
}

aErr aFile_ReadLine(aFileRef file, char* buffer, size_t size, size_t* length) {
  if (length) *length = 0;
  if (buffer != nullptr && size != 0) buffer[0] = '\0';
  if (!aFile_IsValid(file)) return aErrParam;
  if (!canRead(file)) return aErrMode;
  if (buffer == nullptr || size == 0) return aErrParam;
  if (size > static_cast<size_t>(INT32_MAX)) size = INT32_MAX;
  switchTo(file, LastOp::Read);
  if (fgets(buffer, static_cast<int>(size), file->stream) == nullptr) {
    buffer[0] = '\0';
    const bool eof = feof(file->stream);
    clearerr(file->stream);
    return eof ? aErrEOF : aErrIO;
  }
  const size_t n = strlen(buffer);
  if (length) *length = n;
  if (n == size - 1 && (n == 0 || buffer[n - 1] != '\n')) {
    // The buffer is full without a line end: more of the line follows unless
    // the file ends right here.
    const int next = fgetc(file->stream);
    if (next == EOF) {
      clearerr(file->stream);
      return n == 0 ? aErrEOF : aErrNone;
    }
    ungetc(next, file->stream);
    return aErrOverrun;
  }
  return aErrNone;
}

aErr aFile_Printf(aFileRef file, const char* format, ...) {
  if (!aFile_IsValid(file) || format == nullptr) return aErrParam;
  if (!canWrite(file)) return aErrMode;
  switchTo(file, LastOp::Write);
  va_list args;
  va_start(args, format);
  const int n = vfprintf(file->stream, format, args);
  va_end(args);
  return n < 0 ? aErrIO : aErrNone;
}

aErr aFile_SetUnbuffered(aFileRef file) {
  if (!aFile_IsValid(file)) return aErrParam;
  if (!canWrite(file)) return aErrMode;
  // setvbuf is only allowed before other use; flush first so nothing is lost.
  fflush(file->stream);
  return setvbuf(file->stream, nullptr, _IONBF, 0) == 0 ? aErrNone : aErrMode;
}

aErr aFile_GetPosition(aFileRef file, size_t* position) {
  if (!aFile_IsValid(file) || position == nullptr) return aErrParam;
  const off_t at = ftello(file->stream);
  if (at < 0) return aErrIO;
  *position = static_cast<size_t>(at);
  return aErrNone;
}

aErr aFile_Delete(const char* path) {
  if (path == nullptr) return aErrParam;
  if (strlen(path) > aFILE_NAMEMAXCHARS) return aErrFileNameLength;
  if (unlink(path) == 0) return aErrNone;
  switch (errno) {
    case ENOENT: return aErrNotFound;
    case EACCES:
    case EPERM: return aErrPermission;
    default: return aErrIO;
  }
}
