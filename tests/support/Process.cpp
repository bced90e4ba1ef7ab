#include "support/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tstest {

std::string binPath(const std::string& name) { return std::string(TS_BIN_DIR) + "/" + name; }

static int decodeStatus(int st) {
  if (WIFEXITED(st)) return WEXITSTATUS(st);
  if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
  return -1;
}

static std::vector<char*> makeEnv(const std::vector<std::string>& extra, std::vector<std::string>& store) {
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& x : extra)
      if (x.substr(0, x.find('=')) == name) overridden = true;
    if (!overridden) store.push_back(entry);
  }
  for (const auto& x : extra) store.push_back(x);
  std::vector<char*> out;
  for (auto& s : store) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

pid_t spawn(const std::vector<std::string>& argv, const RunOptions& opts, int inFd, int outFd,
            int errFd) {
  std::vector<std::string> envStore;
  std::vector<char*> envp = makeEnv(opts.env, envStore);
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    if (inFd >= 0) dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), envp.data());
    _exit(127);
  }
  return pid;
}

RunResult collect(pid_t pid, int outFd, int errFd, int inFd, const RunOptions& opts) {
  RunResult r;
  signal(SIGPIPE, SIG_IGN);
  size_t written = 0;
  if (inFd >= 0 && opts.input.empty()) {
    close(inFd);
    inFd = -1;
  } else if (inFd >= 0) {
    fcntl(inFd, F_SETFL, O_NONBLOCK);
  }
  auto deadline = std::chrono::steady_clock::now() + opts.timeout;
  bool outOpen = true, errOpen = true;
  char buf[65536];
  while (outOpen || errOpen) {
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      r.timedOut = true;
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      break;
    }
    int ms = (int)std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
    pollfd fds[3];
    int n = 0;
    int outIdx = -1, errIdx = -1, inIdx = -1;
    if (outOpen) { fds[n] = {outFd, POLLIN, 0}; outIdx = n++; }
    if (errOpen) { fds[n] = {errFd, POLLIN, 0}; errIdx = n++; }
    if (inFd >= 0) { fds[n] = {inFd, POLLOUT, 0}; inIdx = n++; }
    int rc = poll(fds, n, ms);
    if (rc < 0 && errno == EINTR) continue;
    // A read of 0, or an error (a terminal gives EIO once the program closed
    // it), ends that output.
    if (outIdx >= 0 && fds[outIdx].revents) {
      ssize_t k = read(outFd, buf, sizeof buf);
      if (k > 0) r.out.append(buf, k); else outOpen = false;
    }
    if (errIdx >= 0 && fds[errIdx].revents) {
      ssize_t k = read(errFd, buf, sizeof buf);
      if (k > 0) r.err.append(buf, k); else errOpen = false;
    }
    if (inIdx >= 0 && fds[inIdx].revents) {
      ssize_t k = write(inFd, opts.input.data() + written, opts.input.size() - written);
      if (k > 0) written += k;
      if (k < 0 || written >= opts.input.size()) { close(inFd); inFd = -1; }
    }
  }
  if (inFd >= 0) close(inFd);
  close(outFd);
  close(errFd);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
  r.status = r.timedOut ? -1 : decodeStatus(st);
  return r;
}

RunResult run(const std::vector<std::string>& argv, const RunOptions& opts) {
  int inP[2], outP[2], errP[2];
  if (pipe2(inP, O_CLOEXEC) || pipe2(outP, O_CLOEXEC) || pipe2(errP, O_CLOEXEC)) return {};
  pid_t pid = spawn(argv, opts, inP[0], outP[1], errP[1]);
  close(inP[0]);
  close(outP[1]);
  close(errP[1]);
  if (pid < 0) {
    close(inP[1]);
    close(outP[0]);
    close(errP[0]);
    return {};
  }
  return collect(pid, outP[0], errP[0], inP[1], opts);
}

Background::Background(const std::vector<std::string>& argv, const RunOptions& opts) {
  char tmpl[] = "/tmp/tsbgXXXXXX";
  std::string dir = mkdtemp(tmpl) ? tmpl : "/tmp";
  outPath_ = dir + "/out";
  errPath_ = dir + "/err";
  int outFd = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int errFd = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  pid_ = spawn(argv, opts, nullFd, outFd, errFd);
  close(outFd);
  close(errFd);
  close(nullFd);
}

Background::~Background() {
  if (pid_ > 0) stop();
  if (!outPath_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(std::filesystem::path(outPath_).parent_path(), ec);
  }
}

Background::Background(Background&& o) noexcept { *this = std::move(o); }

Background& Background::operator=(Background&& o) noexcept {
  if (this != &o) {
    if (pid_ > 0) stop();
    pid_ = o.pid_;
    status_ = o.status_;
    outPath_ = std::move(o.outPath_);
    errPath_ = std::move(o.errPath_);
    o.pid_ = -1;
    o.outPath_.clear();
    o.errPath_.clear();
  }
  return *this;
}

bool Background::running() {
  if (pid_ <= 0) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = decodeStatus(st);
    pid_ = -1;
    return false;
  }
  return r == 0;
}

void Background::signal(int sig) {
  if (pid_ > 0) kill(pid_, sig);
}

int Background::wait(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (running()) {
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

int Background::stop() {
  if (pid_ <= 0) return status_;
  kill(pid_, SIGTERM);
  if (wait(std::chrono::milliseconds(2000)) < 0 && pid_ > 0) {
    kill(pid_, SIGKILL);
    int st;
    if (waitpid(pid_, &st, 0) == pid_) status_ = decodeStatus(st);
    pid_ = -1;
  }
  return status_;
}

std::string Background::out() const { return readFile(outPath_); }
std::string Background::err() const { return readFile(errPath_); }

bool Background::waitForOutput(const std::string& needle, std::chrono::milliseconds timeout,
                               bool fromErr) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if ((fromErr ? err() : out()).find(needle) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/tstestXXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << data;
}

}  // namespace tstest
