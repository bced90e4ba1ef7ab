// tessarion-sim: a Tessarion module without hardware. It speaks the packet
// wire protocol over TCP and over a pseudo-terminal (serial), and injects
// faults on request, so that host software can be tried and tested.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>

#include "Control.h"
#include "EventLog.h"
#include "EventLoop.h"
#include "Module.h"
#include "PtyTransport.h"
#include "TcpTransport.h"

using namespace tsim;

namespace {

bool splitHostPort(const std::string& spec, std::string& host, std::uint16_t& port) {
  std::string p = spec;
  host = "127.0.0.1";
  auto colon = spec.rfind(':');
  if (colon != std::string::npos) {
    host = spec.substr(0, colon);
    p = spec.substr(colon + 1);
  }
  if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
  unsigned long v = std::stoul(p);
  if (v > 65535) return false;
  port = static_cast<std::uint16_t>(v);
  return !host.empty();
}

struct Sim {
  EventLoop loop;
  Faults faults;
  std::unique_ptr<Module> module;
  std::unique_ptr<TcpTransport> tcp;
  std::unique_ptr<PtyTransport> pty;
  int restartMs = 2000;

  void forEachSession(const std::function<void(Session&, const char*)>& f) {
    if (tcp) f(tcp->session(), "tcp");
    if (pty) f(pty->session(), "pty");
  }

  std::string status() {
    std::ostringstream s;
    s << "ok route=" << unsigned(module->route());
    forEachSession([&](Session& ses, const char* k) {
      SessionStats st = ses.stats();
      s << " " << k << ".connected=" << ses.isConnected() << " " << k << ".in=" << st.packetsIn << " " << k
        << ".out=" << st.packetsOut << " " << k << ".sync=" << st.syncQueries << " " << k
        << ".hb.sent=" << st.heartbeatsSent << " " << k << ".hb.ok=" << st.heartbeatsOk << " " << k
        << ".hb.bad=" << st.heartbeatsBad << " " << k << ".hb.missed=" << st.heartbeatsMissed << " " << k
        << ".refused=" << st.refusedBytes;
    });
    return s.str();
  }

  static bool number(std::istringstream& in, int& v, int lo, int hi) {
    long long x;
    if (!(in >> x) || x < lo || x > hi) return false;
    v = static_cast<int>(x);
    return true;
  }

  static bool onOff(std::istringstream& in, bool& v) {
    std::string w;
    if (!(in >> w)) return false;
    if (w == "on") v = true;
    else if (w == "off") v = false;
    else return false;
    return true;
  }

  std::string command(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    int n = 0;
    if (cmd == "status") return status();
    if (cmd == "garbage") {
      if (!number(in, n, 1, 64)) n = 3;
      forEachSession([&](Session& s, const char*) { s.sendGarbage(static_cast<std::size_t>(n)); });
      return "ok";
    }
    if (cmd == "odd") {
      forEachSession([](Session& s, const char*) { s.sendOddByte(); });
      return "ok";
    }
    if (cmd == "silence") return onOff(in, faults.silent) ? "ok" : "error usage: silence on|off";
    if (cmd == "mismatch") return onOff(in, faults.syncMismatch) ? "ok" : "error usage: mismatch on|off";
    if (cmd == "odd-address") return onOff(in, faults.oddAddress) ? "ok" : "error usage: odd-address on|off";
    if (cmd == "slow") return number(in, faults.slowMs, 0, 60000) ? "ok" : "error usage: slow MS";
    if (cmd == "garbage-every")
      return number(in, faults.garbageEvery, 0, 1000000) ? "ok" : "error usage: garbage-every N";
    if (cmd == "drop-after") return number(in, faults.dropAfter, 0, 1000000) ? "ok" : "error usage: drop-after N";
    if (cmd == "heartbeat") {
      if (!number(in, n, 0, 600000)) return "error usage: heartbeat MS";
      forEachSession([&](Session& s, const char*) { s.setHeartbeatMs(n); });
      return "ok";
    }
    if (cmd == "drop") {
      if (tcp) tcp->drop();
      if (pty) pty->drop();
      return "ok";
    }
    if (cmd == "restart") {
      if (!number(in, n, 0, 600000)) n = restartMs;
      if (tcp) tcp->restart(n);
      if (pty) pty->restart(n);
      return "ok";
    }
    if (cmd == "quit") {
      loop.stop();
      return "ok";
    }
    return "error unknown command: " + cmd;
  }
};

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"tessarion-sim: a simulated Tessarion module over TCP and a serial pseudo-terminal"};
  std::string tcpSpec, ptyLink;
  bool usePty = false, quiet = false;
  int controlPort = -1;
  ModuleIdentity id;
  int address = 2, model = 4, heartbeatMs = 1000;
  std::string serialText = "1234ABCD";
  std::uint32_t build = 1000;
  Sim sim;

  app.add_option("--tcp", tcpSpec, "Listen for a host on ADDRESS:PORT (port 0 picks a free port)");
  app.add_flag("--pty", usePty, "Offer the module on a pseudo-terminal (a serial line)");
  app.add_option("--pty-link", ptyLink, "Also make a symbolic link to the pseudo-terminal here");
  app.add_option("--control-port", controlPort, "Accept control commands on this loopback port (0: any)")
      ->check(CLI::Range(0, 65535));
  app.add_option("--address", address, "Module address (even, 2 to 254)")->check(CLI::Range(2, 254));
  app.add_option("--model", model, "Model code answered to the model query")->check(CLI::Range(0, 255));
  app.add_option("--serial", serialText, "Serial number, hexadecimal");
  app.add_option("--build", build, "Firmware build number");
  app.add_option("--heartbeat-ms", heartbeatMs, "Heartbeat period; 0 sends none")->check(CLI::Range(0, 600000));
  app.add_option("--restart-ms", sim.restartMs, "How long a restart keeps the module unreachable")
      ->check(CLI::Range(0, 600000));
  app.add_flag("--silent", sim.faults.silent, "Fault: answer nothing");
  app.add_option("--slow-ms", sim.faults.slowMs, "Fault: delay every answer")->check(CLI::Range(0, 60000));
  app.add_option("--garbage-every", sim.faults.garbageEvery, "Fault: garbage bytes before every Nth answer")
      ->check(CLI::Range(0, 1000000));
  app.add_flag("--odd-address", sim.faults.oddAddress, "Fault: answer synchronisation with an odd address byte");
  app.add_flag("--sync-mismatch", sim.faults.syncMismatch,
               "Fault: answer synchronisation from alternating addresses");
  app.add_option("--drop-after", sim.faults.dropAfter, "Fault: drop the connection after N packets")
      ->check(CLI::Range(0, 1000000));
  app.add_flag("-q,--quiet", quiet, "Print only the port and path announcements");
  CLI11_PARSE(app, argc, argv);

  if (address % 2 != 0) {
    std::fprintf(stderr, "tessarion-sim: the module address must be even\n");
    return 2;
  }
  if (serialText.empty() || serialText.size() > 8 ||
      serialText.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    std::fprintf(stderr, "tessarion-sim: the serial number must be 1 to 8 hexadecimal digits\n");
    return 2;
  }
  if (tcpSpec.empty() && !usePty) {
    std::fprintf(stderr, "tessarion-sim: give --tcp ADDRESS:PORT, --pty, or both\n");
    return 2;
  }
  id.address = static_cast<std::uint8_t>(address);
  id.model = static_cast<std::uint8_t>(model);
  id.serial = static_cast<std::uint32_t>(std::stoul(serialText, nullptr, 16));
  id.build = build;
  setQuiet(quiet);
  sim.module = std::make_unique<Module>(id);

  std::string error;
  if (!tcpSpec.empty()) {
    std::string host;
    std::uint16_t port = 0;
    if (!splitHostPort(tcpSpec, host, port)) {
      std::fprintf(stderr, "tessarion-sim: --tcp wants ADDRESS:PORT, not \"%s\"\n", tcpSpec.c_str());
      return 2;
    }
    sim.tcp = std::make_unique<TcpTransport>(sim.loop, *sim.module, sim.faults, heartbeatMs);
    if (!sim.tcp->listenOn(host, port, error)) {
      std::fprintf(stderr, "tessarion-sim: %s\n", error.c_str());
      return 1;
    }
  }
  if (usePty) {
    sim.pty = std::make_unique<PtyTransport>(sim.loop, *sim.module, sim.faults, heartbeatMs);
    if (!sim.pty->open(ptyLink, error)) {
      std::fprintf(stderr, "tessarion-sim: %s\n", error.c_str());
      return 1;
    }
  }
  std::unique_ptr<Control> control;
  if (controlPort >= 0) {
    control = std::make_unique<Control>(sim.loop, [&sim](const std::string& line) { return sim.command(line); });
    if (!control->listenOn(static_cast<std::uint16_t>(controlPort), error)) {
      std::fprintf(stderr, "tessarion-sim: %s\n", error.c_str());
      return 1;
    }
  }
  announce("module serial %08X address %u model %u build %u", id.serial, id.address, id.model, id.build);
  sim.loop.run();
  control.reset();
  sim.pty.reset();
  sim.tcp.reset();
  return 0;
}
