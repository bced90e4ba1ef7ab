// Fuzzes the settings-file loader: any file loads, and whatever it loads is
// saved and read back to the same entries.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "store/KeyValueStore.h"

namespace {

std::string scratch(const char* name) {
  const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(dir) + "/fuzz_settings_file." + std::to_string(getpid()) + "." + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string in = scratch("in"), out = scratch("out");
  FILE* f = fopen(in.c_str(), "wb");
  if (f == nullptr) return 0;
  fwrite(data, 1, size, f);
  fclose(f);

  KeyValueStore kv(in);
  if (kv.IsDirty()) __builtin_trap();  // a load leaves the store unchanged
  for (const auto& [key, value] : kv.Entries()) {
    if (key.find('=') != std::string::npos) __builtin_trap();
    if (key.find('\n') != std::string::npos || value.find('\n') != std::string::npos) __builtin_trap();
  }

  remove(out.c_str());
  kv.Save(out.c_str());
  KeyValueStore back(out);
  // Every entry reads back, but for an empty key with an empty value: its
  // line "=" is too short to be read.
  auto expected = kv.Entries();
  auto empty = expected.find("");
  if (empty != expected.end() && empty->second.empty()) expected.erase(empty);
  if (back.Entries() != expected) __builtin_trap();

  // The typed getters on every key, and on a key that is not there.
  for (const auto& entry : kv.Entries()) {
    const std::string key = entry.first;
    back.GetInt(key, 1);
    back.GetHex(key, 2);
    back.GetBOOL(key, true);
    back.GetDouble(key, 3.0);
    back.GetString(key, "x");
  }
  back.GetInt("NOT_THERE", 5);
  back.Add("LATEST_DOWNLOAD", std::string(reinterpret_cast<const char*>(data), size));
  back.Save();
  remove(in.c_str());
  remove(out.c_str());
  return 0;
}
