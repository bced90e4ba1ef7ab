#pragma once
// Builds BIRD files byte by byte, including deliberately broken ones, so that
// tests and engineers can make any file the loader may meet.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace birdtool {

using Bytes = std::vector<uint8_t>;

struct BlockSpec {
  uint8_t type = 0;   // low 5 bits
  uint8_t flags = 0;  // 0..7, stored in the top 3 bits of the type byte
  Bytes payload;
};

enum class Compression { Zlib, None, Corrupt };

struct FileSpec {
  std::string signature = "bird";  // first four bytes (shorter texts are padded with NULs)
  uint16_t version = 0x0101;
  std::vector<BlockSpec> blocks;
  std::optional<uint32_t> declaredCount;  // default: the number of blocks
  bool withChecksum = true;
  std::optional<uint32_t> checksum;       // default: CRC-32 of the block bytes
  uint32_t overrun = 0;                   // the last block claims this many bytes more
  uint32_t trailing = 0;                  // bytes of junk after the checksum
  std::optional<size_t> containerSize;    // cut the container to this many bytes before packing
  Compression compression = Compression::Zlib;
  std::optional<size_t> truncate;         // cut the finished file to this many bytes
};

struct SpecError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Payload makers.
Bytes addressed(uint32_t address, const Bytes& image);  // 4-byte big-endian address + image
Bytes infoPayload(const std::string& build, const std::string& version, const std::string& serial,
                  const std::string& model);  // four 16-character fields padded with blanks
Bytes serialLocationPayload(uint32_t serialAddress, uint32_t descriptorAddress);
Bytes loaderEntryPayload(uint32_t address);

// Scrambles an image for a chip's four-word fingerprint: each byte becomes
// clear XOR key[k] XOR the previous clear byte (0 for the first), k cycling
// through the 16 key bytes (each word most significant byte first).
Bytes scramble(const Bytes& image, const uint32_t key[4]);

// Image bytes from a source text:
//   @PATH            the bytes of a file
//   hex=0102AB       the given bytes
//   text=ABC         the characters
//   fill=SIZE[,BYTE] SIZE copies of BYTE (default 0)
//   pattern=SIZE[,SEED]  SIZE pseudo-random bytes, the same for the same seed
Bytes imageFromSource(const std::string& source);

// Parses a number in C notation (decimal, 0x hexadecimal, 0 octal) within max.
uint64_t parseNumber(const std::string& text, uint64_t max, const char* what);

Bytes buildContainer(const FileSpec& spec);
Bytes buildFile(const FileSpec& spec);

// Writes through a temporary file in the same folder and renames it into place.
void writeFileAtomically(const std::string& path, const Bytes& data);
Bytes readWholeFile(const std::string& path);

}  // namespace birdtool
