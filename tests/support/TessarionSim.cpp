#include "support/TessarionSim.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>
#include <thread>

namespace tstest {

namespace {

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

// The value after `key` on the first line that begins with it.
std::string announced(const std::string& text, const std::string& key) {
  for (const std::string& l : lines(text))
    if (l.rfind(key, 0) == 0) return l.substr(key.size());
  return "";
}

}  // namespace

TessarionSim::TessarionSim(const SimOptions& options) {
  std::vector<std::string> argv{binPath("tessarion-sim"), "--control-port", "0"};
  if (options.tcp) argv.insert(argv.end(), {"--tcp", "127.0.0.1:0"});
  if (options.pty) argv.push_back("--pty");
  argv.insert(argv.end(), options.args.begin(), options.args.end());
  process_ = Background(argv);
  // The identity line comes last, after every port and path.
  if (!process_.waitForOutput("module serial", std::chrono::seconds(10))) return;
  std::string text = process_.out();
  controlPort_ = static_cast<std::uint16_t>(std::stoi("0" + announced(text, "control port ")));
  if (options.tcp) tcpPort_ = static_cast<std::uint16_t>(std::stoi("0" + announced(text, "tcp port ")));
  if (options.pty) ptyPath_ = announced(text, "pty ");
  ready_ = controlPort_ != 0 && (!options.tcp || tcpPort_ != 0) && (!options.pty || !ptyPath_.empty());
}

std::uint32_t TessarionSim::loopback() { return htonl(INADDR_LOOPBACK); }

std::string TessarionSim::control(const std::string& command) const {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "";
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(controlPort_);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) {
    std::string line = command + "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (answer.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[512];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        answer.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  close(fd);
  auto nl = answer.find('\n');
  return nl == std::string::npos ? "" : answer.substr(0, nl);
}

std::size_t TessarionSim::count(const std::string& needle) const {
  std::size_t n = 0;
  for (const std::string& l : lines(out()))
    if (l.rfind(needle, 0) == 0) ++n;
  return n;
}

bool TessarionSim::waitForCount(const std::string& needle, std::size_t n, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (count(needle) >= n) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

long TessarionSim::lineOf(const std::string& needle, long from) const {
  std::vector<std::string> all = lines(out());
  for (long i = from < 0 ? 0 : from; i < static_cast<long>(all.size()); ++i)
    if (all[static_cast<std::size_t>(i)].rfind(needle, 0) == 0) return i;
  return -1;
}

}  // namespace tstest
