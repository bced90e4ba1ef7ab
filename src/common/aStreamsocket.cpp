#include "common/aStreamsocket.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <new>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/aTime.h"

namespace {

constexpr uint32_t kConnected = 0x1;

struct SocketStream {
  uint16_t port = 0;
  struct sockaddr_in address {};
  // The reader and the writer each load the socket per call; a reconnection
  // by either side replaces it under reconnectMutex.
  std::atomic<int> socket{-1};
  // Held shared around each receive and send, exclusive while a
  // reconnection closes the socket: the other side's call never meets a
  // descriptor closed, or already reused for something else, under it.
  std::shared_mutex socketUse;
  std::atomic<uint32_t> flags{0};
  uint16_t check = 0;

  std::mutex reconnectMutex;
  // Counts connections, so a side that saw the old connection fail can tell
  // whether the other side has already replaced it.
  std::atomic<uint64_t> generation{0};
  // Set when the reader met the peer's orderly close with every byte before
  // it consumed; cleared by the next connection.
  std::atomic<bool> peerClosed{false};
  // Signalled on every new connection so that a waiting reader looks again.
  int wakeFd = -1;

  // Reading side only.
  uint8_t buffer[aSOCKET_RECEIVE_BUFFER];
  size_t bufferPos = 0;
  size_t bufferLen = 0;

  std::atomic<uint64_t> receiveCalls{0};
  std::atomic<uint64_t> sendCalls{0};
  std::atomic<uint64_t> pollCalls{0};
  std::atomic<uint64_t> connects{0};
};

SocketStream* sRecord(void* reference) {
  auto* s = static_cast<SocketStream*>(reference);
  return (s != nullptr && s->check == aSOCKET_CHECK) ? s : nullptr;
}

int sPoll(SocketStream* s, struct pollfd* fds, nfds_t count, uint64_t ms) {
  s->pollCalls++;
  return poll(fds, count, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
}

// Closes the current socket (a reset, as linger is 0). reconnectMutex held,
// or the stream being deleted.
void sSocketStreamClose(SocketStream* s) {
  s->flags &= ~kConnected;
  int fd = -1;
  {
    std::unique_lock<std::shared_mutex> use(s->socketUse);
    fd = s->socket.exchange(-1);
    if (fd >= 0) close(fd);
  }
  if (fd >= 0) aTime_MSSleep(10);
}

aErr sConnectError(int error) {
  switch (error) {
    case EAGAIN:
    case ECONNRESET:
    case ETIMEDOUT:
    case ECONNREFUSED:
      return aErrConnection;
    default:
      return aErrIO;
  }
}

aErr sSocketStreamSetOptions(int fd) {
  int on = 1;
  if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) return aErrIO;
  struct timeval zero = {0, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &zero, sizeof zero) != 0) return aErrIO;
  struct linger lg = {1, 0};
  if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) != 0) return aErrIO;
  if (ioctl(fd, FIONBIO, &on) != 0) return aErrIO;
  return aErrNone;
}

// Connects, or reconnects in place of the connection of generation
// `seenGeneration`. When the other side has already replaced that one, its
// connection is kept and the call succeeds.
aErr sSocketStreamReset(SocketStream* s, uint64_t seenGeneration) {
  if (s == nullptr || s->check != aSOCKET_CHECK) return aErrInitialization;
  std::lock_guard<std::mutex> lock(s->reconnectMutex);
  if (s->generation.load() != seenGeneration && (s->flags & kConnected)) return aErrNone;
  sSocketStreamClose(s);

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return aErrIO;
  // Non-blocking connect so that a host that never answers costs at most
  // aSOCKET_CONNECT_TIMEOUT_MS.
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&s->address), sizeof s->address) != 0) {
    error = errno;
    if (error == EINPROGRESS) {
      struct pollfd p = {fd, POLLOUT, 0};
      int n = sPoll(s, &p, 1, aSOCKET_CONNECT_TIMEOUT_MS);
      socklen_t len = sizeof error;
      if (n == 0)
        error = ETIMEDOUT;
      else if (n < 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    }
  }
  if (error != 0) {
    close(fd);
    return sConnectError(error);
  }
  aErr err = sSocketStreamSetOptions(fd);
  if (err != aErrNone) {
    close(fd);
    return err;
  }
  s->socket = fd;
  s->peerClosed = false;
  s->flags |= kConnected;
  s->connects++;
  uint64_t one = 1;
  if (++s->generation > 1 && write(s->wakeFd, &one, sizeof one) < 0) {
    // The counter is saturated: a reader is already due to look again.
  }
  return aErrNone;
}

// One receive into the reading buffer: > 0 bytes, 0 at the peer's orderly
// close, -1 with errno (EBADF while a reconnection has no socket yet).
ssize_t sReceive(SocketStream* s) {
  s->receiveCalls++;
  ssize_t n = -1;
  int error = 0;
  {
    std::shared_lock<std::shared_mutex> use(s->socketUse);
    n = recv(s->socket, s->buffer, sizeof s->buffer, MSG_DONTWAIT);
    error = errno;
  }
  errno = error;  // as recv left it, whatever unlocking did
  if (n > 0) {
    s->bufferPos = 0;
    s->bufferLen = static_cast<size_t>(n);
  } else if (n == 0) {
    s->peerClosed = true;
  }
  return n;
}

// True when connected. A connection being replaced by the other side is
// waited for (bounded by the connect time-out) rather than reported lost.
bool sSettled(SocketStream* s) {
  if ((s->flags & kConnected) && s->socket >= 0) return true;
  std::lock_guard<std::mutex> lock(s->reconnectMutex);
  return (s->flags & kConnected) != 0;
}

// The socket was closed under a call by the other side's reconnection:
// waits until that reconnection is over and tells whether it succeeded.
bool sAwaitReplacement(SocketStream* s) {
  std::lock_guard<std::mutex> lock(s->reconnectMutex);
  return (s->flags & kConnected) != 0;
}

bool sLostConnection(int error) {
  return error == ECONNRESET || error == ENOTCONN || error == ETIMEDOUT;
}

aErr sSocketGet(uint8_t* byte, void* reference) {
  SocketStream* s = sRecord(reference);
  if (s == nullptr || byte == nullptr) return aErrParam;
  if (s->bufferPos < s->bufferLen) {
    *byte = s->buffer[s->bufferPos++];
    return aErrNone;
  }
  if (!sSettled(s)) return aErrConnection;
  uint64_t generation = s->generation;
  ssize_t n = sReceive(s);
  // The writer is replacing, or has replaced, the socket under this call:
  // nothing of the new connection has been missed.
  if (n < 0 && errno == EBADF) return sAwaitReplacement(s) ? aErrNotReady : aErrConnection;
  if (n < 0 && sLostConnection(errno)) {
    aErr err = sSocketStreamReset(s, generation);
    if (err != aErrNone) return err;
    n = sReceive(s);
    // The new connection lost as well, or replaced again by the writer: no
    // byte now; the next get deals with it.
    if (n < 0 && (sLostConnection(errno) || errno == EBADF)) return aErrNotReady;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return aErrConnection;
  }
  if (n > 0) {
    *byte = s->buffer[s->bufferPos++];
    return aErrNone;
  }
  // Nothing waiting, or the peer closed in an orderly way: the next write
  // finds out and reconnects.
  if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return aErrNotReady;
  return aErrConnection;
}

aErr sSocketWait(uint64_t ms, void* reference) {
  SocketStream* s = sRecord(reference);
  if (s == nullptr) return aErrParam;
  if (s->bufferPos < s->bufferLen) return aErrNone;
  if (!(s->flags & kConnected)) return aErrNone;  // get reports it
  struct pollfd fds[2] = {{s->wakeFd, POLLIN, 0}, {s->socket, POLLIN, 0}};
  // A socket the peer has closed is always readable; until a new
  // connection comes only the wake-up is worth waiting for.
  nfds_t count = s->peerClosed ? 1 : 2;
  int n = sPoll(s, fds, count, ms);
  if (n == 0) return aErrTimeout;
  if (n < 0) return errno == EINTR ? aErrNone : aErrIO;
  if (fds[0].revents & POLLIN) {
    uint64_t value = 0;
    if (read(s->wakeFd, &value, sizeof value) < 0) {
      // Another wait drained it first.
    }
  }
  return aErrNone;
}

aErr sSocketWrite(const uint8_t* bytes, uint64_t count, void* reference) {
  SocketStream* s = sRecord(reference);
  if (s == nullptr || (bytes == nullptr && count > 0)) return aErrParam;
  if (!sSettled(s)) return aErrConnection;
  if (s->peerClosed) {
    // The peer has closed and nothing it sent is left unread: sending would
    // only lose the bytes, so connect again first.
    aErr err = sSocketStreamReset(s, s->generation);
    if (err != aErrNone) return err;
  }
  uint64_t sent = 0;
  int retries = 0;
  while (sent < count) {
    uint64_t generation = s->generation;
    s->sendCalls++;
    ssize_t n = -1;
    int error = 0;
    {
      std::shared_lock<std::shared_mutex> use(s->socketUse);
      n = send(s->socket, bytes + sent, count - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      error = errno;
    }
    errno = error;
    if (n > 0) {
      sent += static_cast<uint64_t>(n);
      if (sent == count) break;
      retries = 1;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      retries++;
    } else if (n < 0 && errno == EBADF) {
      // The reader is replacing, or has replaced, the socket under this call.
      if (!sAwaitReplacement(s)) return aErrConnection;
      sent = 0;  // the new connection has seen none of these bytes
      retries++;
    } else if (n < 0 && (errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN)) {
      aErr err = sSocketStreamReset(s, generation);
      if (err != aErrNone) return err;
      // The new connection has seen none of these bytes; a tail alone would
      // reach the module as garbage.
      sent = 0;
      retries++;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return aErrIO;
    }
    if (retries >= aSOCKET_MAX_SEND_RETRY) return aErrWrite;
    // Wait for room instead of sleeping blindly; a buffer that stays full
    // costs the whole delay, as a sleep would.
    struct pollfd p = {s->socket, POLLOUT, 0};
    sPoll(s, &p, 1, aSOCKET_RETRY_DELAY_MS);
  }
  return aErrNone;
}

aErr sSocketPut(const uint8_t* byte, void* reference) { return sSocketWrite(byte, 1, reference); }

aErr sSocketDelete(void* reference) {
  SocketStream* s = sRecord(reference);
  if (s == nullptr) return aErrIO;
  sSocketStreamClose(s);
  s->flags = 0;
  if (s->wakeFd >= 0) close(s->wakeFd);
  s->check = 0;
  delete s;
  return aErrNone;
}

}  // namespace

aErr aStream_CreateSocket(uint32_t address, uint16_t port, aStreamRef* stream) {
  if (stream == nullptr) return aErrResource;
  *stream = nullptr;
  auto* s = new (std::nothrow) SocketStream;
  if (s == nullptr) return aErrResource;
  s->port = port;
  s->address.sin_family = AF_INET;
  s->address.sin_port = htons(port);
  s->address.sin_addr.s_addr = address;
  s->check = aSOCKET_CHECK;
  s->wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  aStreamRef created = nullptr;
  if (s->wakeFd >= 0 && sSocketStreamReset(s, 0) == aErrNone)
    created = aStream_Create(sSocketGet, sSocketPut, sSocketWrite, sSocketDelete, s);
  if (created == nullptr) {
    sSocketDelete(s);
    return aErrResource;
  }
  aStream_SetWaitProc(created, sSocketWait);
  *stream = created;
  return aErrNone;
}

aErr aStreamSocket_GetCounters(aStreamRef stream, aStreamSocketCounters* counters) {
  if (!aVALIDSTREAM(stream) || stream->get != sSocketGet || counters == nullptr)
    return aErrParam;
  SocketStream* s = sRecord(stream->reference);
  if (s == nullptr) return aErrParam;
  counters->receiveCalls = s->receiveCalls;
  counters->sendCalls = s->sendCalls;
  counters->pollCalls = s->pollCalls;
  counters->connects = s->connects;
  return aErrNone;
}
