#pragma once
// Running the built program, simulators and tools from tests.
#include <chrono>
#include <string>
#include <vector>
#include <sys/types.h>

namespace tstest {

// Absolute path of an executable in the build's bin folder.
std::string binPath(const std::string& name);

struct RunResult {
  int status = -1;        // exit status, or 128 + signal, or -1 if it could not start
  bool timedOut = false;  // killed because it outlived the time-out
  std::string out;        // everything written to stdout
  std::string err;        // everything written to stderr
};

struct RunOptions {
  std::vector<std::string> env;  // extra "NAME=value" entries added to the environment
  std::string input;             // written to stdin, which is then closed
  std::string cwd;               // working directory, empty for the current one
  std::chrono::milliseconds timeout{20000};
};

// Runs argv[0] (a path) with the arguments, waits for it within the time-out
// (killing it past that) and returns its exit status and output.
RunResult run(const std::vector<std::string>& argv, const RunOptions& opts = {});

// The parts run() is made of, for running a program with other descriptors
// (a pseudo-terminal, say). spawn starts argv with the three descriptors as
// its stdin, stdout and stderr (inFd may be -1 to leave stdin as it is);
// collect gathers the output from the read ends outFd and errFd, writes
// opts.input to inFd (-1 for none), waits within opts.timeout and closes the
// descriptors it was given.
pid_t spawn(const std::vector<std::string>& argv, const RunOptions& opts, int inFd, int outFd, int errFd);
RunResult collect(pid_t pid, int outFd, int errFd, int inFd, const RunOptions& opts);

// A process running in the background for the length of a test; the
// destructor ends it (SIGTERM, then SIGKILL) by its pid if it still runs.
class Background {
 public:
  Background() = default;
  explicit Background(const std::vector<std::string>& argv, const RunOptions& opts = {});
  ~Background();
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;
  Background(Background&& other) noexcept;
  Background& operator=(Background&& other) noexcept;

  pid_t pid() const { return pid_; }
  bool running();
  // Sends a signal to the process.
  void signal(int sig);
  // Ends the process and returns its status (as in RunResult::status).
  int stop();
  // Waits for the process to exit by itself within the time-out; -1 if it did not.
  int wait(std::chrono::milliseconds timeout);
  // Output so far (stdout and stderr go to files under a temporary folder).
  std::string out() const;
  std::string err() const;
  // Waits until `needle` appears in stdout (or stderr if fromErr), within the time-out.
  bool waitForOutput(const std::string& needle, std::chrono::milliseconds timeout,
                     bool fromErr = false) const;

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string outPath_, errPath_;
};

// A temporary folder removed with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& data);

}  // namespace tstest
