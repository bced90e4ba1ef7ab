#include "Module.h"

#include "EventLog.h"

namespace tsim {

namespace {
constexpr std::uint8_t kCmdInfo = 0x49;
constexpr std::uint8_t kCmdEcho = 0x17;
constexpr std::uint8_t kClassSystem = 3;
constexpr std::uint8_t kOptModel = 8;
// Result codes a module sends back in error replies.
constexpr std::uint8_t kErrUnimplemented = 21;
constexpr std::uint8_t kErrInvalidEntity = 28;
}  // namespace

void Module::handle(const Packet& request, std::vector<Packet>& answers) {
  if (request.data.empty()) {
    event("empty packet to module");
    return;
  }
  switch (request.data[0]) {
    case kCmdInfo:
      info(request, answers);
      return;
    case kCmdEcho:
      event("echo %zu", request.data.size() - 1);
      answers.push_back(reply(request.data));
      return;
    default:
      uei(request, answers);
  }
}

void Module::info(const Packet& request, std::vector<Packet>& answers) {
  const auto& d = request.data;
  if (d.size() < 2) {
    event("info malformed");
    return;
  }
  std::uint8_t sub = d[1];
  event("info 0x%02X", sub);
  switch (sub) {
    case 0xFF:
      if (d.size() != 2) break;
      answers.push_back(reply({kCmdInfo, 0xFF, std::uint8_t(id_.build >> 24), std::uint8_t(id_.build >> 16),
                               std::uint8_t(id_.build >> 8), std::uint8_t(id_.build)}));
      return;
    case 0x01: {  // does a UEI exist: command option index flags
      if (d.size() != 6) break;
      bool exists = d[2] == kClassSystem && d[4] == 0;
      answers.push_back(reply({kCmdInfo, 0x01, d[2], d[3], d[4], exists ? std::uint8_t(0) : kErrInvalidEntity}));
      return;
    }
    case 0x04:  // number of entities of a class
      if (d.size() != 3) break;
      answers.push_back(reply({kCmdInfo, 0x04, d[2], std::uint8_t(d[2] == kClassSystem ? 1 : 0)}));
      return;
    case 0x05:  // number of entities of a subclass
      if (d.size() != 4) break;
      answers.push_back(
          reply({kCmdInfo, 0x05, d[2], d[3], std::uint8_t(d[2] == kClassSystem && d[3] == 0 ? 1 : 0)}));
      return;
    case 0x06:  // group of an entity
      if (d.size() != 4) break;
      answers.push_back(reply({kCmdInfo, 0x06, d[2], d[3], 0}));
      return;
    default:
      break;
  }
  event("info unknown 0x%02X length %zu", sub, d.size());
}

void Module::uei(const Packet& request, std::vector<Packet>& answers) {
  const auto& d = request.data;
  if (d.size() < 3) {
    event("uei short %zu", d.size());
    return;
  }
  std::uint8_t cmd = d[0], option = d[1] & 0x3F, index = d[2] & 0x1F;
  bool get = (d[1] & 0x40) != 0;
  if (cmd == kClassSystem && index == 0 && get && option == kOptModel && d.size() == 3) {
    event("model query");
    answers.push_back(reply({cmd, option, index, id_.model}));
    return;
  }
  event("uei unknown %02x %02x %02x", d[0], d[1], d[2]);
  std::uint8_t replyOption = get ? option : std::uint8_t(option | 0xC0);
  answers.push_back(reply({cmd, replyOption, std::uint8_t(index | 0x80), kErrUnimplemented}));
}

}  // namespace tsim
