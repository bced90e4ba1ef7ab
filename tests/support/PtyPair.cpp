#include "support/PtyPair.h"

#include <chrono>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace tstest {

PtyPair::PtyPair() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master_ < 0) return;
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) return;
  const char* name = ptsname(master_);
  if (name == nullptr) return;
  slavePath_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

PtyPair::~PtyPair() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
}

bool PtyPair::send(const std::string& bytes) {
  size_t done = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (done < bytes.size()) {
    ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    struct pollfd p = {master_, POLLOUT, 0};
    poll(&p, 1, 50);
  }
  return true;
}

void PtyPair::closeMaster() {
  if (master_ >= 0) close(master_);
  master_ = -1;
}

std::string PtyPair::receive(size_t count, int timeoutMs) {
  std::string out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0) break;
    struct pollfd p = {master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[256];
    ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

}  // namespace tstest
