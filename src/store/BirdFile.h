#pragma once
// A BIRD firmware file: a "bird" header, a format version and one zlib stream
// holding the block container (declared block count, the blocks, a trailing
// checksum). The object unpacks the file once and answers questions about its
// blocks; the block records point into the unpacked buffer it owns.
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct BirdBlock {
  uint8_t type = 0;
  uint8_t flags = 0;
  uint32_t length = 0;          // payload length as stored
  uint32_t address = 0;         // load address of loader and firmware blocks, else 0
  uint8_t* data = nullptr;  // first payload byte inside the owner's buffer
};

class BirdFile {
 public:
  enum BLOCK_TYPE : uint8_t {
    BLOCK_LOADER = 0,
    BLOCK_FIRMWARE = 1,
    BLOCK_SERIAL_LOCATION = 2,
    BLOCK_INFO = 4,
    BLOCK_LOADER_ENTRY = 5,
  };

  static constexpr uint32_t BIRD_FILE_SIGNATURE = 0x62697264;  // "bird"
  static constexpr uint32_t BIRD_FILE_VERSION = 0x0101;
  static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
  static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
  static constexpr uint32_t BIRD_FILE_HEADER_SIZE = 6;
  static constexpr uint32_t INFO_FIELD_SIZE = 16;
  static constexpr uint32_t INFO_BLOCK_SIZE = 64;
  // Where an i.MX recovery starts the loader when the file does not say.
  static constexpr uint32_t DEFAULT_LOADER_ENTRY = 0x20000400;

  BirdFile();
  // Loads the file; throws std::runtime_error("Failed to load bird data").
  explicit BirdFile(const std::string& path);
  ~BirdFile();
  BirdFile(BirdFile&& other) noexcept;
  BirdFile& operator=(BirdFile&& other) noexcept;
  BirdFile(const BirdFile&) = delete;
  BirdFile& operator=(const BirdFile&) = delete;

  bool Load();
  // True when the file starts with the signature and a version with two
  // nonzero bytes; the rest of the file is not examined.
  static bool VerifyFile(const std::string& path);

  std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
  // Any type number, listed ones or not.
  std::vector<BirdBlock> FindBlocks(uint8_t type) const;
  bool FindSerialNumberOffsets();
  bool ReplaceSerialNumber(uint32_t serial);
  bool DecodeFirmwareBlocks(const uint32_t key[4]);
  bool DecodeFirmwareBlocks(const std::array<uint32_t, 4>& key) { return DecodeFirmwareBlocks(key.data()); }
  bool DecodeFirmwareBlocks(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3) {
    const uint32_t words[4] = {w0, w1, w2, w3};
    return DecodeFirmwareBlocks(words);
  }
  // Any record holding the four words as `words` (a chip's fingerprint).
  template <typename Key>
    requires requires(const Key& k) { { k.words[3] } -> std::convertible_to<uint32_t>; }
  bool DecodeFirmwareBlocks(const Key& key) {
    const uint32_t words[4] = {key.words[0], key.words[1], key.words[2], key.words[3]};
    return DecodeFirmwareBlocks(words);
  }
  bool ReplaceVectorChecksum();
  bool ValidateModel(const char* name) const;
  bool ValidateModel(const std::string& name) const { return ValidateModel(name.c_str()); }
  bool ValidateSerialNumber(uint32_t serial) const;
  uint32_t GetSerialNumber() const;
  uint32_t GetBuild() const;
  std::string GetVersion() const;
  // Model field with its trailing blanks removed; empty without an information block.
  std::string GetModel() const;
  // Entry address of the loader: the first loader-entry block, or DEFAULT_LOADER_ENTRY.
  uint32_t GetLoaderEntry() const;
  bool DumpBlocks(BLOCK_TYPE type) const { return DumpBlocks(static_cast<uint8_t>(type)); }
  bool DumpBlocks(uint8_t type) const;
  bool ValidateData(const void* pattern, size_t length) const;

  // Big-endian readers of the container.
  static uint32_t GetInt(const uint8_t* p);
  static uint16_t GetShort(const uint8_t* p);
  static uint32_t GetInt(const char* p) { return GetInt(reinterpret_cast<const uint8_t*>(p)); }
  static uint16_t GetShort(const char* p) { return GetShort(reinterpret_cast<const uint8_t*>(p)); }

  std::string filename;
  uint32_t signature = 0;
  uint32_t version = 0;
  uint32_t checksum = 0;
  uint32_t blockCount = 0;
  std::vector<BirdBlock> blocks;
  bool hasSerialBlock = false;
  uint32_t serialAddress = 0;
  uint32_t descriptorAddress = 0;
  std::unique_ptr<uint8_t[]> data;
  uint32_t dataSize = 0;

  // What the last scan found: the declared block count and whether the
  // container added up (count and sizes). A file that does not add up still loads.
  uint32_t declaredBlockCount = 0;
  bool containerConsistent = false;

 private:
  bool ScanBlocks();
  const BirdBlock* InfoBlock() const;
  // Field `index` (0..3) of the information block, cut to `limit` characters
  // and to the block's payload; empty when absent.
  std::string InfoField(unsigned index, size_t limit) const;
  void Reset();
};
