#include "Repository.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace updsrv {

namespace {

constexpr uintmax_t MAX_FILE = 64u * 1024u * 1024u;
constexpr uint8_t BLOCK_INFO = 4;

uint32_t _be32(const unsigned char* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

bool _readAll(const std::string& path, std::vector<unsigned char>& out, uintmax_t limit) {
  std::error_code ec;
  uintmax_t size = fs::file_size(path, ec);
  if (ec || size > limit) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out.resize(static_cast<size_t>(size));
  in.read(reinterpret_cast<char*>(out.data()), static_cast<std::streamsize>(size));
  return static_cast<uintmax_t>(in.gcount()) == size;
}

// A serial number folder name: exactly 8 hexadecimal digits.
std::optional<uint32_t> _serialName(const std::string& name) {
  if (name.size() != 8 || name.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
    return std::nullopt;
  return static_cast<uint32_t>(std::stoul(name, nullptr, 16));
}

// A build file name: decimal digits (at most 10, fitting 32 bits) + ".bird".
std::optional<uint32_t> _buildName(const std::string& name) {
  const std::string ext = ".bird";
  if (name.size() <= ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0)
    return std::nullopt;
  std::string digits = name.substr(0, name.size() - ext.size());
  if (digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
  unsigned long long v = std::stoull(digits);
  if (v > 0xFFFFFFFFull) return std::nullopt;
  return static_cast<uint32_t>(v);
}

std::string _firstLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  if (!in || !std::getline(in, line)) return {};
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
  return line;
}

}  // namespace

std::optional<std::string> ReadBirdVersion(const std::string& path) {
  std::vector<unsigned char> file;
  if (!_readAll(path, file, MAX_FILE) || file.size() <= 6 || std::memcmp(file.data(), "bird", 4) != 0)
    return std::nullopt;
  uLong compressed = static_cast<uLong>(file.size() - 6);
  uLongf room = static_cast<uLongf>(std::min<uintmax_t>(uintmax_t(compressed) * 8, MAX_FILE));
  std::vector<unsigned char> data(room);
  if (uncompress(data.data(), &room, file.data() + 6, compressed) != Z_OK) return std::nullopt;
  data.resize(room);
  if (data.size() < 4) return std::nullopt;
  size_t pos = 4;
  while (data.size() - pos > 4) {
    if (data.size() - pos < 5) break;
    uint8_t type = data[pos] & 0x1F;
    uint32_t length = _be32(&data[pos + 1]);
    if (length > data.size() - pos - 5) break;
    if (type == BLOCK_INFO && length >= 32) {
      const char* field = reinterpret_cast<const char*>(&data[pos + 5 + 16]);
      // Cut at the first blank or NUL, and at anything that would break the
      // answer's layout: a line break or other control byte would start a
      // new answer line, a ";" would end the version in a build list line.
      std::string version(field, 15);
      size_t end = 0;
      while (end < version.size()) {
        unsigned char c = static_cast<unsigned char>(version[end]);
        if (c <= 0x20 || c == 0x7F || c == ';') break;
        ++end;
      }
      return version.substr(0, end);
    }
    pos += 5 + length;
  }
  return std::string();  // a BIRD file without an information block
}

std::string Repository::DeviceFolder(uint32_t serial) const {
  char name[16];
  std::snprintf(name, sizeof name, "%08X", serial);
  return root_ + "/" + name;
}

std::string Repository::VersionOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {};
  long long mtime = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  {
    std::lock_guard<std::mutex> lock(cacheMutex_);
    auto it = cache_.find(path);
    if (it != cache_.end() && it->second.size == st.st_size && it->second.mtime == mtime) return it->second.version;
  }
  std::string version = ReadBirdVersion(path).value_or("");
  std::lock_guard<std::mutex> lock(cacheMutex_);
  cache_[path] = Cached{static_cast<long long>(st.st_size), mtime, version};
  return version;
}

std::optional<std::map<uint32_t, Build>> Repository::Builds(uint32_t serial) {
  std::string folder = DeviceFolder(serial);
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return std::nullopt;
  std::map<uint32_t, Build> builds;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    std::string name = entry.path().filename().string();
    auto number = _buildName(name);
    if (!number || !entry.is_regular_file(ec)) continue;
    std::string path = entry.path().string();
    builds.emplace(*number, Build{*number, VersionOf(path), path});
  }
  return builds;
}

std::optional<Build> Repository::Latest(uint32_t serial) {
  auto builds = Builds(serial);
  if (!builds || builds->empty()) return std::nullopt;
  std::string named = _firstLine(DeviceFolder(serial) + "/latest");
  if (!named.empty() && named.find_first_not_of("0123456789") == std::string::npos && named.size() <= 10) {
    auto it = builds->find(static_cast<uint32_t>(std::stoull(named)));
    if (it != builds->end()) return it->second;
  }
  return builds->rbegin()->second;
}

std::optional<std::string> Repository::Token(uint32_t serial) {
  std::string path = DeviceFolder(serial) + "/token.jwt";
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) return std::nullopt;
  std::string token = _firstLine(path);
  if (token.empty()) return std::nullopt;
  return token;
}

std::optional<std::pair<uint32_t, uint32_t>> Repository::Recovery(const uint32_t fingerprint[4]) {
  std::ifstream in(root_ + "/recovery.txt");
  std::string line;
  while (in && std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string w[4], serialText, buildText;
    if (!(fields >> w[0] >> w[1] >> w[2] >> w[3] >> serialText)) continue;
    fields >> buildText;
    bool match = true;
    for (int i = 0; i < 4 && match; ++i) {
      if (w[i].empty() || w[i].size() > 8 || w[i].find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
        match = false;
      else
        match = static_cast<uint32_t>(std::stoul(w[i], nullptr, 16)) == fingerprint[i];
    }
    if (!match) continue;
    auto serial = _serialName(serialText);
    if (!serial) continue;
    uint32_t build = 0;
    if (!buildText.empty() && buildText.size() <= 10 &&
        buildText.find_first_not_of("0123456789") == std::string::npos) {
      unsigned long long b = std::stoull(buildText);
      if (b <= 0xFFFFFFFFull) build = static_cast<uint32_t>(b);
    }
    return std::make_pair(*serial, build);
  }
  return std::nullopt;
}

}  // namespace updsrv
