// bench_link: what one link costs and how fast it answers, against
// tessarion-sim over TCP loopback.
//   idle CPU     CPU time of this process (the link's two threads) while one
//                connected link sits idle, heartbeats answered, over 10 s
//   round trip   one echo request to the simulator and its answer: median
//                and 99th percentile
//   throughput   back-to-back request/answer pairs per second
// Usage: bench_link [--idle-seconds N] [--round-trips N] [--pair-seconds N]
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/aLink.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Sim {
  pid_t pid = -1;
  uint16_t port = 0;
};

std::string binDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = 0;
  std::string p(path);
  return p.substr(0, p.rfind('/'));
}

// Starts the simulator with its output on a pipe and reads its port line.
bool startSim(Sim& sim) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  std::string exe = binDir() + "/tessarion-sim";
  sim.pid = fork();
  if (sim.pid == 0) {
    dup2(out[1], 1);
    execl(exe.c_str(), exe.c_str(), "--tcp", "127.0.0.1:0", "--heartbeat-ms", "1000", "--quiet",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buf[256];
  auto deadline = Clock::now() + std::chrono::seconds(10);
  while (text.find("module serial") == std::string::npos && Clock::now() < deadline) {
    ssize_t n = read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  auto at = text.find("tcp port ");
  if (at == std::string::npos) return false;
  sim.port = static_cast<uint16_t>(std::atoi(text.c_str() + at + 9));
  return sim.port != 0;
}

void stopSim(Sim& sim) {
  if (sim.pid <= 0) return;
  kill(sim.pid, SIGTERM);
  int st = 0;
  waitpid(sim.pid, &st, 0);
}

double cpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

uint8_t sEchoMatch(const aPacket* p, const void* ref) {
  const uint8_t* want = static_cast<const uint8_t*>(ref);
  return p->dataSize == 3 && p->data[0] == 0x17 && p->data[1] == want[0] && p->data[2] == want[1];
}

// One echo request and its answer; false when none came within a second.
bool roundTrip(uint32_t link, uint16_t seq) {
  uint8_t data[3] = {0x17, static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
  aPacket* p = aPacket_CreateWithData(0x02, 3, data);
  aLink_PutPacket(link, p);
  aPacket_Destroy(&p);
  aPacket* answer = aLink_AwaitFirst(link, sEchoMatch, data + 1, 1000);
  bool ok = answer != nullptr;
  aPacket_Destroy(&answer);
  return ok;
}

int argValue(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], name) == 0) return std::max(1, std::atoi(argv[i + 1]));
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  int idleSeconds = argValue(argc, argv, "--idle-seconds", 10);
  int roundTrips = argValue(argc, argv, "--round-trips", 2000);
  int pairSeconds = argValue(argc, argv, "--pair-seconds", 3);

  Sim sim;
  if (!startSim(sim)) {
    std::fprintf(stderr, "bench_link: cannot start tessarion-sim\n");
    stopSim(sim);
    return 1;
  }
  uint32_t link = aLink_CreateTCPIP(htonl(INADDR_LOOPBACK), sim.port);
  if (!link || aLink_Sync(link) != aErrNone) {
    std::fprintf(stderr, "bench_link: no link to the simulator\n");
    if (link) aLink_Destroy(&link);
    stopSim(sim);
    return 1;
  }

  // Idle: the link only answers heartbeats.
  double cpu0 = cpuSeconds();
  auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  double idlePercent = 100.0 * (cpuSeconds() - cpu0) / wall;

  // Round trips, one at a time.
  std::vector<double> us;
  us.reserve(static_cast<size_t>(roundTrips));
  int lost = 0;
  for (int i = 0; i < roundTrips; ++i) {
    auto a = Clock::now();
    if (!roundTrip(link, static_cast<uint16_t>(i))) {
      ++lost;
      continue;
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - a).count());
  }
  std::sort(us.begin(), us.end());
  auto pct = [&](double q) { return us.empty() ? 0.0 : us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };

  // Back-to-back pairs for a fixed time.
  long pairs = 0;
  auto p0 = Clock::now();
  auto pEnd = p0 + std::chrono::seconds(pairSeconds);
  while (Clock::now() < pEnd)
    if (roundTrip(link, static_cast<uint16_t>(pairs))) ++pairs;
  double pairWall = std::chrono::duration<double>(Clock::now() - p0).count();

  aLink_Destroy(&link);
  stopSim(sim);

  std::printf("idle link CPU over %.1f s: %.3f %% of one core\n", wall, idlePercent);
  std::printf("round trip over TCP loopback (%zu requests, %d lost): median %.1f us, p99 %.1f us\n", us.size(),
              lost, pct(0.5), pct(0.99));
  std::printf("request/answer pairs: %.0f per second (%.0f packets per second)\n", pairs / pairWall,
              2 * pairs / pairWall);
  return lost ? 1 : 0;
}
