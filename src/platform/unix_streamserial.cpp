#include "platform/aStreamSerial.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/aTime.h"

namespace {

struct SerialStream {
  int32_t baudIndex = 0;
  char path[aSERIAL_PATHMAX] = {};
  int fd = -1;               // -1 when closed
  bool haveSaved = false;    // saved holds the attributes found at open
  struct termios saved {};   // restored on close
  struct termios working {};
  uint16_t check = 0;
};

constexpr speed_t kSpeeds[] = {B2400, B4800, B9600, B19200, B38400, B57600, B115200, B230400};

SerialStream* sRecord(void* reference) {
  auto* s = static_cast<SerialStream*>(reference);
  return (s != nullptr && s->check == aSERIAL_CHECK) ? s : nullptr;
}

void sClose(SerialStream* s) {
  if (s->fd < 0) return;
  if (s->haveSaved) tcsetattr(s->fd, TCSANOW, &s->saved);
  close(s->fd);
  s->fd = -1;
  s->haveSaved = false;
  std::memset(&s->saved, 0, sizeof s->saved);
}

aErr sOpen(SerialStream* s, uint8_t parity, uint8_t charSize, uint8_t stopBits) {
  // Non-blocking stays on: reads never wait anyway (VMIN = VTIME = 0), and a
  // write to a port whose far side stops reading must not block for ever.
  int fd = open(s->path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return aErrNotFound;
    if (errno == EACCES) return aErrPermission;
    return aErrIO;
  }
  s->fd = fd;
  if (tcgetattr(fd, &s->saved) != 0) return aErrIO;
  s->haveSaved = true;
  s->working = s->saved;
  struct termios& t = s->working;
  t.c_iflag = IGNBRK | (parity ? IGNPAR : 0);
  t.c_oflag = 0;
  t.c_cflag = CLOCAL | CREAD | (parity ? PARENB : 0) | (charSize == 1 ? CS7 : CS8) |
              (stopBits == 1 ? CSTOPB : 0);
  t.c_lflag = 0;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  speed_t speed = kSpeeds[s->baudIndex];
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return aErrIO;
  if (tcsetattr(fd, TCSANOW, &t) != 0) return aErrIO;
  if (tcflush(fd, TCIOFLUSH) != 0) return aErrIO;
  return aErrNone;
}

aErr sSerialGet(uint8_t* byte, void* reference) {
  SerialStream* s = sRecord(reference);
  if (s == nullptr || byte == nullptr) return aErrParam;
  ssize_t n = read(s->fd, byte, 1);
  if (n == 1) return aErrNone;
  if (n == 0 || errno == EAGAIN || errno == EINTR) return aErrNotReady;
  return aErrIO;
}

aErr sSerialWrite(const uint8_t* bytes, uint64_t count, void* reference) {
  SerialStream* s = sRecord(reference);
  if (s == nullptr || (bytes == nullptr && count > 0)) return aErrParam;
  // Bounded by progress: the write gives up (a short write) once the port
  // has taken nothing for aSERIAL_WRITE_TIMEOUT_MS.
  uint64_t deadline = aTime_GetMSTicks() + aSERIAL_WRITE_TIMEOUT_MS;
  uint64_t sent = 0;
  while (sent < count) {
    ssize_t n = write(s->fd, bytes + sent, count - sent);
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      deadline = aTime_GetMSTicks() + aSERIAL_WRITE_TIMEOUT_MS;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return aErrIO;
    uint64_t now = aTime_GetMSTicks();
    if (now >= deadline) return aErrIO;
    struct pollfd p = {s->fd, POLLOUT, 0};
    uint64_t left = deadline - now;
    if (poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left)) < 0 && errno != EINTR)
      return aErrIO;
  }
  // Wait until the bytes have left the port, as a write promises.
  if (tcdrain(s->fd) != 0 && errno != EINTR) return aErrIO;
  return aErrNone;
}

aErr sSerialPut(const uint8_t* byte, void* reference) { return sSerialWrite(byte, 1, reference); }

aErr sSerialWait(uint64_t ms, void* reference) {
  SerialStream* s = sRecord(reference);
  if (s == nullptr) return aErrParam;
  struct pollfd p = {s->fd, POLLIN, 0};
  int n = poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
  if (n > 0) return aErrNone;  // input, or a hang-up or error that get reports
  if (n == 0) return aErrTimeout;
  return errno == EINTR ? aErrNone : aErrIO;
}

aErr sSerialDelete(void* reference) {
  SerialStream* s = sRecord(reference);
  if (s == nullptr) return aErrParam;
  sClose(s);
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSerial(const char* path, int32_t baudIndex, uint8_t parity, uint8_t charSize,
                          uint8_t stopBits, aStreamRef* stream) {
  if (stream != nullptr) *stream = nullptr;
  if (path == nullptr || stream == nullptr || charSize > 1 || stopBits > 1) return aErrResource;
  // An unknown rate would program B0, which hangs the line up.
  if (baudIndex < 0 || baudIndex > 7) return aErrResource;
  if (std::strlen(path) >= aSERIAL_PATHMAX) return aErrResource;
  auto* record = new (std::nothrow) SerialStream;
  if (record == nullptr) return aErrResource;
  record->baudIndex = baudIndex;
  std::strcpy(record->path, path);
  record->check = aSERIAL_CHECK;
  aStreamRef s = aStream_Create(sSerialGet, sSerialPut, sSerialWrite, sSerialDelete, record);
  if (s == nullptr) {
    delete record;
    return aErrResource;
  }
  aStream_SetWaitProc(s, sSerialWait);
  aErr err = sOpen(record, parity, charSize, stopBits);
  if (err != aErrNone) {
    aStream_Destroy(&s);
    return err;
  }
  *stream = s;
  return aErrNone;
}
