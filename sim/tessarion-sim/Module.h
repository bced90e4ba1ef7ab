#pragma once
// What the module itself does with a request addressed to it: information
// queries, the echo test, UEIs. Link-level matters (synchronisation,
// heartbeats, route requests, faults) belong to the Session; transports
// belong to their own classes.
#include <cstdint>
#include <vector>

#include "Wire.h"

namespace tsim {

struct ModuleIdentity {
  std::uint8_t address = 2;
  std::uint8_t model = 4;
  std::uint32_t serial = 0x1234ABCD;
  std::uint32_t build = 1000;
};

class Module {
 public:
  explicit Module(ModuleIdentity id) : id_(id) {}

  const ModuleIdentity& identity() const { return id_; }
  std::uint8_t address() const { return id_.address; }

  // Handles one request addressed to this module; answers are appended.
  void handle(const Packet& request, std::vector<Packet>& answers);

  void setRoute(std::uint8_t value) { route_ = value; }
  std::uint8_t route() const { return route_; }

  // Forgets everything a reboot forgets.
  void reboot() { route_ = 0; }

 private:
  void info(const Packet& request, std::vector<Packet>& answers);
  void uei(const Packet& request, std::vector<Packet>& answers);
  Packet reply(std::vector<std::uint8_t> data) const { return Packet{id_.address, std::move(data)}; }

  ModuleIdentity id_;
  std::uint8_t route_ = 0;
};

}  // namespace tsim
