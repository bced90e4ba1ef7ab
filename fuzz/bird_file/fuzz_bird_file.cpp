// Fuzzes the BIRD file loader and every operation on a loaded file.
//
// The first input byte chooses how the rest is used: with its low bit clear
// the rest is the file itself; with it set the rest is the unpacked block
// container, which the harness packs behind a valid header, so the block
// scanner is reached without the fuzzer having to forge zlib streams.
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "store/BirdFile.h"

namespace {

const std::string& scratchPath() {
  static const std::string path = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/fuzz_bird_file." + std::to_string(getpid()) + ".bird";
  }();
  return path;
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode = input[0];
  const uint8_t* body = input + 1;
  size_t bodySize = size - 1;

  std::vector<uint8_t> file;
  if (mode & 1) {
    file = {'b', 'i', 'r', 'd', 1, 1};
    uLongf packed = compressBound(bodySize);
    file.resize(6 + packed);
    if (compress2(file.data() + 6, &packed, body, bodySize, (mode >> 1) % 10) != Z_OK) return 0;
    file.resize(6 + packed);
  } else {
    file.assign(body, body + bodySize);
  }
  FILE* f = fopen(scratchPath().c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(file.data(), 1, file.size(), f);
  fclose(f);

  BirdFile::VerifyFile(scratchPath());
  BirdFile bird;
  bird.filename = scratchPath();
  bool loaded = bird.Load();
  remove(scratchPath().c_str());  // the object holds everything it needs; leave nothing behind
  if (!loaded) return 0;

  // Everything parsed lies inside the unpacked buffer.
  check(bird.blockCount == bird.blocks.size());
  for (const auto& b : bird.blocks) {
    check(b.data >= bird.data.get());
    check(b.data + b.length <= bird.data.get() + bird.dataSize);
  }
  check(bird.hasSerialBlock == !bird.FindBlocks(BirdFile::BLOCK_SERIAL_LOCATION).empty());

  bird.GetBuild();
  bird.GetSerialNumber();
  bird.GetLoaderEntry();
  std::string version = bird.GetVersion();
  check(version.size() <= 15);
  std::string model = bird.GetModel();
  check(model.size() <= 16);
  if (!bird.FindBlocks(BirdFile::BLOCK_INFO).empty()) {
    check(bird.ValidateModel(model.c_str()));
    check(bird.ValidateModel(""));
  }
  bird.ValidateSerialNumber(0x12345678);

  uint32_t serial = 0xACCFABBE;
  if (bodySize >= 4) memcpy(&serial, body, 4);
  bird.ReplaceSerialNumber(serial);
  uint32_t key[4] = {serial, ~serial, 0x01234567, static_cast<uint32_t>(bodySize)};
  bird.DecodeFirmwareBlocks(key);
  bird.ReplaceVectorChecksum();
  bird.ValidateData(body, bodySize < 3 ? bodySize : 3);

  BirdFile moved(std::move(bird));
  check(moved.blockCount == moved.blocks.size());
  return 0;
}
