#include "EventLoop.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace tsim {

EventLoop::EventLoop() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  // Writing to a host that just went away must not end the simulator.
  signal(SIGPIPE, SIG_IGN);
  if (sigprocmask(SIG_BLOCK, &set, nullptr) == 0) {
    signalFd_ = signalfd(-1, &set, SFD_CLOEXEC);
    // Without the descriptor the signals must keep their default action.
    if (signalFd_ < 0) sigprocmask(SIG_UNBLOCK, &set, nullptr);
  }
}

EventLoop::~EventLoop() {
  if (signalFd_ >= 0) close(signalFd_);
}

void EventLoop::watch(int fd, short events, FdHandler handler) {
  watches_[fd] = Watch{events, std::move(handler)};
}

void EventLoop::setEvents(int fd, short events) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) it->second.events = events;
}

void EventLoop::unwatch(int fd) { watches_.erase(fd); }

EventLoop::TimerId EventLoop::after(std::chrono::milliseconds delay, std::function<void()> f) {
  TimerId id = nextTimer_++;
  Clock::time_point due = Clock::now() + delay;
  timers_.emplace(std::make_pair(due, id), std::move(f));
  timerDue_[id] = due;
  return id;
}

void EventLoop::cancel(TimerId id) {
  auto it = timerDue_.find(id);
  if (it == timerDue_.end()) return;
  timers_.erase(std::make_pair(it->second, id));
  timerDue_.erase(it);
}

void EventLoop::run() {
  while (!stopping_) {
    // Timers that are due run first; each may set new timers or watches.
    Clock::time_point now = Clock::now();
    while (!timers_.empty() && timers_.begin()->first.first <= now && !stopping_) {
      auto node = timers_.extract(timers_.begin());
      timerDue_.erase(node.key().second);
      node.mapped()();
    }
    if (stopping_) break;

    int timeoutMs = -1;
    if (!timers_.empty()) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first.first - Clock::now());
      timeoutMs = wait.count() < 0 ? 0 : static_cast<int>(std::min<long long>(wait.count(), 60000));
    }

    std::vector<pollfd> fds;
    for (const auto& [fd, w] : watches_) fds.push_back(pollfd{fd, w.events, 0});
    if (signalFd_ >= 0) fds.push_back(pollfd{signalFd_, POLLIN, 0});
    int n = poll(fds.data(), fds.size(), timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (const pollfd& p : fds) {
      if (!p.revents) continue;
      if (p.fd == signalFd_) {
        stopping_ = true;
        break;
      }
      // A handler may have removed this watch (or another) meanwhile.
      auto it = watches_.find(p.fd);
      if (it == watches_.end()) continue;
      FdHandler h = it->second.handler;
      h(p.revents);
      if (stopping_) break;
    }
  }
}

}  // namespace tsim
