#include "support/NamedPipe.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>
#include <memory>
#include <thread>

namespace tstest {

bool makeNamedPipe(const std::string& path) { return mkfifo(path.c_str(), 0600) == 0; }

bool finishesWithin(std::chrono::milliseconds timeout, const std::vector<std::string>& pipes,
                    const std::function<void()>& body) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  std::thread worker([done, body] {
    body();
    done->set_value();
  });
  if (finished.wait_for(timeout) == std::future_status::ready) {
    worker.join();
    return true;
  }
  // Both ends at once: a blocked reader gets a writer, a blocked writer a
  // reader whose buffer takes what it writes.
  std::vector<int> fds;
  for (const auto& p : pipes) {
    int fd = open(p.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) fds.push_back(fd);
  }
  const bool released = finished.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready;
  for (int fd : fds) close(fd);
  if (released || finished.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    worker.join();
  } else {
    worker.detach();
  }
  return false;
}

}  // namespace tstest
