#pragma once
// A single-threaded poll loop with descriptor watches and one-shot timers.
// Everything in the simulator runs on it, so no state needs a lock.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>

namespace tsim {

using Clock = std::chrono::steady_clock;

class EventLoop {
 public:
  using FdHandler = std::function<void(short revents)>;
  using TimerId = std::uint64_t;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Watches fd for the poll events given; a second call replaces the handler.
  void watch(int fd, short events, FdHandler handler);
  void setEvents(int fd, short events);
  void unwatch(int fd);

  // Runs f once after the delay; timers with equal due times run in the
  // order they were set.
  TimerId after(std::chrono::milliseconds delay, std::function<void()> f);
  void cancel(TimerId id);

  // Runs until stop() or SIGINT/SIGTERM.
  void run();
  void stop() { stopping_ = true; }

 private:
  struct Watch {
    short events;
    FdHandler handler;
  };
  std::map<int, Watch> watches_;
  // Keyed by (due time, id) so that ties keep their order.
  std::map<std::pair<Clock::time_point, TimerId>, std::function<void()>> timers_;
  std::map<TimerId, Clock::time_point> timerDue_;
  TimerId nextTimer_ = 1;
  bool stopping_ = false;
  int signalFd_ = -1;
};

}  // namespace tsim
