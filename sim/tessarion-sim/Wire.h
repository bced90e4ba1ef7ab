#pragma once
// The packet form on the wire: address, length (0 to 28), data. No framing
// bytes and no checksum; a receiver finds its way back after garbage by
// refusing bytes that cannot start or continue a packet.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tsim {

constexpr std::size_t kMaxData = 28;
// Host-to-module addresses with a meaning of their own (both odd, so they
// can never be a module's address).
constexpr std::uint8_t kAddrSync = 0xAD;
constexpr std::uint8_t kAddrRoute = 0xAF;

struct Packet {
  std::uint8_t address = 0;
  std::vector<std::uint8_t> data;

  std::vector<std::uint8_t> wire() const;
  std::string describe() const;  // "02 03 49 ff 01" style, for the event log
};

// Assembles packets the host sends, one byte at a time.
class PacketReader {
 public:
  // A complete packet, or nothing yet. Refused bytes are counted and dropped.
  std::optional<Packet> feed(std::uint8_t byte);
  void reset();
  std::uint64_t refused() const { return refused_; }

 private:
  enum class State { Address, Length, Data } state_ = State::Address;
  Packet current_;
  std::size_t expected_ = 0;
  std::uint64_t refused_ = 0;
};

}  // namespace tsim
