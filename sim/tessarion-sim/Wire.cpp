#include "Wire.h"

#include <cstdio>

namespace tsim {

std::vector<std::uint8_t> Packet::wire() const {
  std::vector<std::uint8_t> out;
  out.reserve(data.size() + 2);
  out.push_back(address);
  out.push_back(static_cast<std::uint8_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::string Packet::describe() const {
  std::string s;
  char buf[8];
  for (std::uint8_t b : wire()) {
    std::snprintf(buf, sizeof buf, s.empty() ? "%02x" : " %02x", b);
    s += buf;
  }
  return s;
}

static bool validHostAddress(std::uint8_t b) {
  return b == kAddrSync || b == kAddrRoute || (b != 0 && (b & 1) == 0);
}

std::optional<Packet> PacketReader::feed(std::uint8_t byte) {
  switch (state_) {
    case State::Address:
      if (!validHostAddress(byte)) {
        ++refused_;
        return std::nullopt;
      }
      current_ = Packet{byte, {}};
      state_ = State::Length;
      return std::nullopt;
    case State::Length:
      if (byte > kMaxData) {
        ++refused_;
        state_ = State::Address;
        return std::nullopt;
      }
      expected_ = byte;
      if (expected_ == 0) {
        state_ = State::Address;
        return current_;
      }
      state_ = State::Data;
      return std::nullopt;
    case State::Data:
      current_.data.push_back(byte);
      if (current_.data.size() == expected_) {
        state_ = State::Address;
        return current_;
      }
      return std::nullopt;
  }
  return std::nullopt;
}

void PacketReader::reset() {
  state_ = State::Address;
  current_ = Packet{};
  expected_ = 0;
}

}  // namespace tsim
