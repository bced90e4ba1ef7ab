#include "BirdWriter.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace birdtool {

namespace {

void putInt(Bytes& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void putField(Bytes& out, const std::string& text) {
  for (size_t i = 0; i < 16; ++i) {
    out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : ' ');
  }
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

uint64_t parseNumber(const std::string& text, uint64_t max, const char* what) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || isspace(static_cast<unsigned char>(text[0]))) {
    throw SpecError(std::string("invalid ") + what + ": '" + text + "'");
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long v = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || end == text.c_str() || *end != '\0' || v > max) {
    throw SpecError(std::string("invalid ") + what + ": '" + text + "'");
  }
  return v;
}

Bytes addressed(uint32_t address, const Bytes& image) {
  Bytes out;
  out.reserve(image.size() + 4);
  putInt(out, address);
  out.insert(out.end(), image.begin(), image.end());
  return out;
}

Bytes infoPayload(const std::string& build, const std::string& version, const std::string& serial,
                  const std::string& model) {
  Bytes out;
  putField(out, build);
  putField(out, version);
  putField(out, serial);
  putField(out, model);
  return out;
}

Bytes serialLocationPayload(uint32_t serialAddress, uint32_t descriptorAddress) {
  Bytes out;
  putInt(out, serialAddress);
  putInt(out, descriptorAddress);
  return out;
}

Bytes loaderEntryPayload(uint32_t address) {
  Bytes out;
  putInt(out, address);
  return out;
}

Bytes scramble(const Bytes& image, const uint32_t key[4]) {
  uint8_t k[16];
  for (int w = 0; w < 4; ++w) {
    for (int b = 0; b < 4; ++b) k[w * 4 + b] = static_cast<uint8_t>(key[w] >> (24 - 8 * b));
  }
  Bytes out(image.size());
  uint8_t prev = 0;
  for (size_t i = 0; i < image.size(); ++i) {
    out[i] = static_cast<uint8_t>(image[i] ^ k[i % 16] ^ prev);
    prev = image[i];
  }
  return out;
}

Bytes imageFromSource(const std::string& source) {
  // Images are bounded so a typing slip cannot fill the disk.
  constexpr uint64_t MAX_IMAGE = 64u << 20;
  if (!source.empty() && source[0] == '@') {
    return readWholeFile(source.substr(1));
  }
  auto eq = source.find('=');
  if (eq == std::string::npos) {
    throw SpecError("invalid image source '" + source +
                    "' (use @PATH, hex=..., text=..., fill=SIZE[,BYTE] or pattern=SIZE[,SEED])");
  }
  std::string kind = source.substr(0, eq);
  std::string arg = source.substr(eq + 1);
  if (kind == "hex") {
    if (arg.size() % 2 != 0) throw SpecError("hex source needs an even number of digits");
    Bytes out;
    for (size_t i = 0; i < arg.size(); i += 2) {
      int hi = hexDigit(arg[i]), lo = hexDigit(arg[i + 1]);
      if (hi < 0 || lo < 0) throw SpecError("invalid hex digits in '" + arg + "'");
      out.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return out;
  }
  if (kind == "text") {
    return Bytes(arg.begin(), arg.end());
  }
  std::string first = arg, second;
  auto comma = arg.find(',');
  if (comma != std::string::npos) {
    first = arg.substr(0, comma);
    second = arg.substr(comma + 1);
  }
  size_t size = parseNumber(first, MAX_IMAGE, "image size");
  if (kind == "fill") {
    uint8_t byte = second.empty() ? 0 : static_cast<uint8_t>(parseNumber(second, 255, "fill byte"));
    return Bytes(size, byte);
  }
  if (kind == "pattern") {
    uint32_t state = second.empty() ? 1 : static_cast<uint32_t>(parseNumber(second, 0xFFFFFFFFu, "seed"));
    Bytes out(size);
    for (auto& b : out) {
      state = state * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(state >> 24);
    }
    return out;
  }
  throw SpecError("unknown image source kind '" + kind + "'");
}

Bytes buildContainer(const FileSpec& spec) {
  Bytes out;
  putInt(out, spec.declaredCount ? *spec.declaredCount : static_cast<uint32_t>(spec.blocks.size()));
  for (size_t i = 0; i < spec.blocks.size(); ++i) {
    const auto& b = spec.blocks[i];
    if (b.type > 0x1F) throw SpecError("block type must be 0..31");
    if (b.flags > 7) throw SpecError("block flags must be 0..7");
    out.push_back(static_cast<uint8_t>(b.type | (b.flags << 5)));
    uint64_t length = b.payload.size();
    if (i + 1 == spec.blocks.size()) length += spec.overrun;
    if (length > 0xFFFFFFFFu) throw SpecError("block too long");
    putInt(out, static_cast<uint32_t>(length));
    out.insert(out.end(), b.payload.begin(), b.payload.end());
  }
  if (spec.withChecksum) {
    uint32_t sum = spec.checksum ? *spec.checksum
                                 : static_cast<uint32_t>(crc32(0L, out.data() + 4, static_cast<uInt>(out.size() - 4)));
    putInt(out, sum);
  }
  uint32_t state = 0x5EED;
  for (uint32_t i = 0; i < spec.trailing; ++i) {
    state = state * 1664525u + 1013904223u;
    out.push_back(static_cast<uint8_t>(state >> 24));
  }
  if (spec.containerSize && *spec.containerSize < out.size()) out.resize(*spec.containerSize);
  return out;
}

Bytes buildFile(const FileSpec& spec) {
  Bytes container = buildContainer(spec);
  Bytes out;
  for (size_t i = 0; i < 4; ++i) out.push_back(i < spec.signature.size() ? static_cast<uint8_t>(spec.signature[i]) : 0);
  out.push_back(static_cast<uint8_t>(spec.version >> 8));
  out.push_back(static_cast<uint8_t>(spec.version));
  if (spec.compression == Compression::None) {
    out.insert(out.end(), container.begin(), container.end());
  } else {
    uLongf size = compressBound(container.size());
    Bytes packed(size);
    int rc = compress2(packed.data(), &size, container.data(), container.size(), Z_BEST_COMPRESSION);
    if (rc != Z_OK) throw SpecError("zlib compress failed (" + std::to_string(rc) + ")");
    packed.resize(size);
    if (spec.compression == Compression::Corrupt) {
      // Damage the Adler-32 trailer: the stream still inflates, but zlib
      // rejects it as a data error, however the deflate data happened to look.
      packed.back() ^= 0xFF;
    }
    out.insert(out.end(), packed.begin(), packed.end());
  }
  if (spec.truncate && *spec.truncate < out.size()) out.resize(*spec.truncate);
  return out;
}

void writeFileAtomically(const std::string& path, const Bytes& data) {
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  FILE* f = fopen(tmp.c_str(), "wb");
  if (!f) throw SpecError("cannot create " + tmp + ": " + strerror(errno));
  bool ok = data.empty() || fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = (fflush(f) == 0) && ok;
  ok = (fsync(fileno(f)) == 0) && ok;
  ok = (fclose(f) == 0) && ok;
  if (!ok || rename(tmp.c_str(), path.c_str()) != 0) {
    std::string why = strerror(errno);
    unlink(tmp.c_str());
    throw SpecError("cannot write " + path + ": " + why);
  }
}

Bytes readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw SpecError("cannot read " + path);
  Bytes out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw SpecError("cannot read " + path);
  return out;
}

}  // namespace birdtool
