#include "support/TerminalRun.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

extern char** environ;

namespace tstest {

RunResult runOnTerminal(const std::vector<std::string>& argv, const RunOptions& opts) {
  RunResult r;
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return r;
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  int errP[2];
  if (pipe2(errP, O_CLOEXEC) != 0) {
    close(master);
    close(slave);
    return r;
  }
  fcntl(master, F_SETFD, FD_CLOEXEC);

  std::vector<std::string> envStore;
  for (char** e = environ; *e; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const auto& x : opts.env)
      if (x.substr(0, x.find('=')) == name) overridden = true;
    if (!overridden) envStore.push_back(entry);
  }
  for (const auto& x : opts.env) envStore.push_back(x);
  std::vector<char*> envp;
  for (auto& s : envStore) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> cargv;
  for (auto& a : args) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    int nullFd = open("/dev/null", O_RDONLY);
    dup2(nullFd, 0);
    dup2(slave, 1);
    dup2(errP[1], 2);
    if (!opts.cwd.empty() && chdir(opts.cwd.c_str()) != 0) _exit(126);
    execve(cargv[0], cargv.data(), envp.data());
    _exit(127);
  }
  close(slave);
  close(errP[1]);
  if (pid < 0) {
    close(master);
    close(errP[0]);
    return r;
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
    int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count());
    pollfd fds[2];
    int n = 0, outIdx = -1, errIdx = -1;
    if (outOpen) { fds[n] = {master, POLLIN, 0}; outIdx = n++; }
    if (errOpen) { fds[n] = {errP[0], POLLIN, 0}; errIdx = n++; }
    int rc = poll(fds, n, ms);
    if (rc < 0 && errno == EINTR) continue;
    if (outIdx >= 0 && fds[outIdx].revents) {
      ssize_t k = read(master, buf, sizeof buf);
      if (k > 0) r.out.append(buf, k); else outOpen = false;  // EIO once the program closed the terminal
    }
    if (errIdx >= 0 && fds[errIdx].revents) {
      ssize_t k = read(errP[0], buf, sizeof buf);
      if (k > 0) r.err.append(buf, k); else errOpen = false;
    }
  }
  close(master);
  close(errP[0]);
  int st = 0;
  while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {}
  if (r.timedOut) r.status = -1;
  else if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
  else if (WIFSIGNALED(st)) r.status = 128 + WTERMSIG(st);
  return r;
}

}  // namespace tstest
