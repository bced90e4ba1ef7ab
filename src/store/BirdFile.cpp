#include "store/BirdFile.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "app/Log.h"
#include "platform/aFile.h"

namespace {

// The unpacked container is at most 8 times the packed data, and its size is
// kept in 32 bits.
constexpr uint64_t EXPANSION = 8;
constexpr uint64_t MAX_CONTAINER = 0xFFFFFFFFu;

uint32_t readLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void writeLE32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// Image of a loader or firmware block: the payload after its 4-byte address.
// A payload too short to hold the address has no image.
uint32_t imageLength(const BirdBlock& b) { return b.length >= 4 ? b.length - 4 : 0; }
uint8_t* imageData(const BirdBlock& b) { return b.data + 4; }

// Unsigned number at the start of text in the given base, read as the C
// library reads one: white space and a "+" before the digits are passed over,
// and in base 16 a "0x" prefix. A sign "-" or a value that does not fit 32
// bits is no number the field can mean and gives 0.
uint32_t leadingNumber(const std::string& text, int base) {
  size_t i = 0;
  while (i < text.size() && isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (base == 16 && i + 2 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') &&
      isxdigit(static_cast<unsigned char>(text[i + 2]))) {
    i += 2;
  }
  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    int c = static_cast<unsigned char>(text[i]);
    int digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      break;
    }
    if (digit >= base) break;
    value = value * base + digit;
    if (value > 0xFFFFFFFFu) return 0;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

uint32_t BirdFile::GetInt(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

uint16_t BirdFile::GetShort(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const std::string& path) : filename(path) {
  if (!Load()) throw std::runtime_error("Failed to load bird data");
}

BirdFile::~BirdFile() = default;

BirdFile::BirdFile(BirdFile&& other) noexcept { *this = std::move(other); }

BirdFile& BirdFile::operator=(BirdFile&& other) noexcept {
  if (this == &other) return *this;
  filename = std::move(other.filename);
  signature = other.signature;
  version = other.version;
  checksum = other.checksum;
  blockCount = other.blockCount;
  blocks = std::move(other.blocks);  // the payload pointers move with the buffer
  hasSerialBlock = other.hasSerialBlock;
  serialAddress = other.serialAddress;
  descriptorAddress = other.descriptorAddress;
  data = std::move(other.data);
  dataSize = other.dataSize;
  declaredBlockCount = other.declaredBlockCount;
  containerConsistent = other.containerConsistent;
  other.Reset();
  other.filename.clear();
  return *this;
}

void BirdFile::Reset() {
  signature = version = checksum = blockCount = 0;
  blocks.clear();
  hasSerialBlock = false;
  serialAddress = descriptorAddress = 0;
  data.reset();
  dataSize = 0;
  declaredBlockCount = 0;
  containerConsistent = false;
}

bool BirdFile::Load() {
  Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
  Reset();
  if (!aFile_Exists(filename.c_str())) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", filename.c_str());
    return false;
  }
  aFileRef file = aFile_Open(filename.c_str(), aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", filename.c_str());
    return false;
  }
  bool ok = false;
  try {
    size_t size = 0;
    aErr err = aFile_GetSize(file, &size);
    if (err != aErrNone) {
      Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err, filename.c_str());
    } else {
      std::vector<uint8_t> raw(size);
      size_t got = 0;
      err = size ? aFile_Read(file, raw.data(), size, &got) : aErrNone;
      if (err != aErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, filename.c_str());
      } else if (got < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 filename.c_str(), got, size);
      } else {
        if (size >= 4) signature = GetInt(raw.data());
        if (size >= BIRD_FILE_HEADER_SIZE) version = GetShort(raw.data() + 4);
        // A file that ends with its header has nothing to unpack; zlib is
        // still asked, so it fails the same way as any other bad stream.
        uint64_t packed = size > BIRD_FILE_HEADER_SIZE ? size - BIRD_FILE_HEADER_SIZE : 0;
        uLongf room = static_cast<uLongf>(std::min(packed * EXPANSION, MAX_CONTAINER));
        std::unique_ptr<uint8_t[]> out(new uint8_t[room ? room : 1]);
        static const uint8_t empty = 0;
        int zr = uncompress(out.get(), &room, packed ? raw.data() + BIRD_FILE_HEADER_SIZE : &empty,
                            static_cast<uLong>(packed));
        if (zr != Z_OK) {
          Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", zr);
          dataSize = 0;
        } else {
          data = std::move(out);
          dataSize = static_cast<uint32_t>(room);
          ScanBlocks();
          FindSerialNumberOffsets();
          hasSerialBlock = !FindBlocks(BLOCK_SERIAL_LOCATION).empty();
          ok = true;
        }
      }
    }
  } catch (const std::bad_alloc&) {
    // A file too large to hold in memory is a failed load, not a crash.
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", aErrMemory, filename.c_str());
    Reset();
  }
  aFile_Close(&file);
  return ok;
}

bool BirdFile::VerifyFile(const std::string& path) {
  aFileRef file = aFile_Open(path.c_str(), aFileModeReadOnly);
  if (file == nullptr) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n", path.c_str());
    return false;
  }
  uint8_t header[BIRD_FILE_HEADER_SIZE] = {};
  size_t got = 0;
  aErr err = aFile_Read(file, header, sizeof header, &got);
  aFile_Close(&file);
  return err == aErrNone && got == sizeof header && GetInt(header) == BIRD_FILE_SIGNATURE &&
         header[4] != 0 && header[5] != 0;
}

bool BirdFile::ScanBlocks() {
  blocks.clear();
  blockCount = 0;
  checksum = 0;
  declaredBlockCount = 0;
  containerConsistent = false;
  if (data == nullptr || dataSize < 4) {
    // Not even a block count: nothing to scan, and nothing that adds up.
    // The remainder R (the size less the count's 4 bytes) is reported as
    // R - 4, the same measure as for any other container.
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(dataSize) - 8);
    return false;
  }
  declaredBlockCount = GetInt(data.get());
  Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", declaredBlockCount);
  Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
  Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");

  uint64_t remaining = dataSize - 4;
  uint8_t* p = data.get() + 4;
  while (remaining > 4) {
    BirdBlock b;
    b.type = p[0] & BIRD_FILE_TYPE_MASK;
    b.flags = static_cast<uint8_t>((p[0] & BIRD_FILE_FLAG_MASK) >> 5);
    b.length = GetInt(p + 1);
    if (static_cast<uint64_t>(b.length) + 5 > remaining) break;  // runs past the end
    b.data = p + 5;
    if ((b.type == BLOCK_LOADER || b.type == BLOCK_FIRMWARE) && b.length >= 4) b.address = GetInt(b.data);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", b.type, b.flags, b.length);
    if (b.type == BLOCK_INFO) {
      for (unsigned f = 0; f < 4; ++f) {
        std::string field = std::string(reinterpret_cast<const char*>(b.data) + std::min<uint32_t>(f * 16, b.length),
                                        std::min<uint32_t>(16, b.length > f * 16 ? b.length - f * 16 : 0));
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field.c_str());
      }
    }
    blocks.push_back(b);
    ++blockCount;
    p += static_cast<uint64_t>(b.length) + 5;
    remaining -= static_cast<uint64_t>(b.length) + 5;
  }
  if (remaining >= 4) {
    checksum = GetInt(p);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
  }
  bool consistent = true;
  if (remaining != 4) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
             static_cast<int>(static_cast<int64_t>(remaining) - 4));
    consistent = false;
  }
  if (blockCount != declaredBlockCount) {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n", blockCount,
             declaredBlockCount);
    consistent = false;
  }
  containerConsistent = consistent;
  return consistent;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const { return FindBlocks(static_cast<uint8_t>(type)); }

std::vector<BirdBlock> BirdFile::FindBlocks(uint8_t type) const {
  std::vector<BirdBlock> out;
  for (const auto& b : blocks) {
    if (b.type == type) out.push_back(b);
  }
  return out;
}

bool BirdFile::FindSerialNumberOffsets() {
  if (blockCount == 0) return false;
  for (const auto& b : blocks) {
    if (b.type != BLOCK_SERIAL_LOCATION) continue;
    // A short block gives 0 ("none") for the location it does not hold.
    serialAddress = b.length >= 4 ? GetInt(b.data) : 0;
    descriptorAddress = b.length >= 8 ? GetInt(b.data + 4) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n", serialAddress,
             descriptorAddress);
    return true;
  }
  return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
  char digits[9];
  snprintf(digits, sizeof digits, "%08X", serial);
  bool anyFirmware = false;
  bool descriptorWritten = false;
  for (const auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE) continue;
    anyFirmware = true;
    const uint64_t start = b.address;
    const uint64_t end = start + imageLength(b);  // 64 bits: no wrap at the top of the address space
    uint8_t* image = imageData(b);
    if (serialAddress != 0 && start <= serialAddress && uint64_t(serialAddress) + 4 <= end) {
      uint8_t* at = image + (serialAddress - start);
      Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n", readLE32(at), serial);
      writeLE32(at, serial);
    }
    if (descriptorAddress != 0 && start <= descriptorAddress && uint64_t(descriptorAddress) + 16 <= end) {
      uint8_t* at = image + (descriptorAddress - start);
      for (int i = 0; i < 8; ++i) at[2 * i] = static_cast<uint8_t>(digits[i]);
      descriptorWritten = true;
    }
  }
  return (anyFirmware && serialAddress != 0) || descriptorWritten;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t key[4]) {
  uint8_t k[16];
  for (int w = 0; w < 4; ++w) {
    for (int i = 0; i < 4; ++i) k[w * 4 + i] = static_cast<uint8_t>(key[w] >> (24 - 8 * i));
  }
  for (const auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE) continue;
    uint8_t* image = imageData(b);
    const uint32_t n = imageLength(b);
    uint8_t prev = 0;
    for (uint32_t i = 0; i < n; ++i) {
      uint8_t clear = static_cast<uint8_t>(image[i] ^ k[i % 16] ^ prev);
      image[i] = clear;
      prev = clear;
    }
  }
  return true;
}

bool BirdFile::ReplaceVectorChecksum() {
  // The LPC17xx boot ROM accepts an image when the first eight vector words
  // sum to zero, so word 7 is the two's complement of the sum of words 0 to 6.
  bool replaced = false;
  for (const auto& b : blocks) {
    if (b.type != BLOCK_FIRMWARE || b.address != 0 || imageLength(b) < 32) continue;
    uint8_t* image = imageData(b);
    uint32_t sum = 0;
    for (int i = 0; i < 7; ++i) sum += readLE32(image + 4 * i);
    uint32_t value = 0u - sum;
    Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n", readLE32(image + 28), value);
    writeLE32(image + 28, value);
    replaced = true;
  }
  return replaced;
}

const BirdBlock* BirdFile::InfoBlock() const {
  for (const auto& b : blocks) {
    if (b.type == BLOCK_INFO) return &b;
  }
  return nullptr;
}

std::string BirdFile::InfoField(unsigned index, size_t limit) const {
  const BirdBlock* info = InfoBlock();
  if (info == nullptr) return std::string();
  const size_t offset = static_cast<size_t>(index) * INFO_FIELD_SIZE;
  if (info->length <= offset) return std::string();
  size_t n = std::min<size_t>({limit, INFO_FIELD_SIZE, info->length - offset});
  return std::string(reinterpret_cast<const char*>(info->data) + offset, n);
}

uint32_t BirdFile::GetSerialNumber() const { return leadingNumber(InfoField(2, 8), 16); }

uint32_t BirdFile::GetBuild() const { return leadingNumber(InfoField(0, 15), 10); }

std::string BirdFile::GetVersion() const {
  std::string v = InfoField(1, 15);
  auto cut = v.find_first_of(std::string(" \0", 2));
  if (cut != std::string::npos) v.resize(cut);
  return v;
}

std::string BirdFile::GetModel() const {
  std::string m = InfoField(3, INFO_FIELD_SIZE);
  auto nul = m.find('\0');
  if (nul != std::string::npos) m.resize(nul);
  while (!m.empty() && m.back() == ' ') m.pop_back();
  return m;
}

uint32_t BirdFile::GetLoaderEntry() const {
  for (const auto& b : blocks) {
    if (b.type == BLOCK_LOADER_ENTRY && b.length >= 4) return GetInt(b.data);
  }
  return DEFAULT_LOADER_ENTRY;
}

bool BirdFile::ValidateModel(const char* name) const {
  if (InfoBlock() == nullptr || name == nullptr) return false;
  std::string field = GetModel();
  size_t n = strlen(name);
  if (n > field.size() || field.compare(0, n, name, n) != 0) return false;
  Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field.c_str(), name);
  return true;
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const { return serial == GetSerialNumber(); }

bool BirdFile::DumpBlocks(uint8_t type) const {
  printf("BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
  for (const auto& b : blocks) {
    if (b.type != type) continue;
    std::string printable;
    for (uint32_t i = 0; i < b.length; ++i) {
      if (i % 50 == 0) {
        printf(" %s\r\n%06d: ", printable.c_str(), static_cast<int>(i));
        printable.clear();
      }
      uint8_t c = b.data[i];
      printf("%02X ", c);
      printable += isprint(c) ? static_cast<char>(c) : ' ';
    }
    printf(" %s\n", printable.c_str());
  }
  printf("\n");
  return true;
}

bool BirdFile::ValidateData(const void* pattern, size_t length) const {
  Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
  bool found = false;
  if (pattern != nullptr && length > 0) {
    for (const auto& b : blocks) {
      if (b.type != BLOCK_FIRMWARE || b.length < length) continue;
      // Every start position, the last one (pattern ending with the payload) included.
      for (size_t i = 0; i <= b.length - length; ++i) {
        if (memcmp(b.data + i, pattern, length) == 0) {
          Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
          found = true;
        }
      }
    }
  }
  Log::log(DEBUG_BirdFile, "\n");
  return found;
}
